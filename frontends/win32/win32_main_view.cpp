#include "win32/win32_main_view.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <system_error>
#include <utility>

#include "app/main_window.h"
#include "app/text/display_text.h"
#include "app/text/win32/wide_text.h"

namespace corvel::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"CorvelMainWindow";
constexpr wchar_t kFieldsClass[] = L"CorvelEditorFields";
constexpr UINT kFirstPaintMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;
constexpr int kTabsId = 90;
constexpr int kMailListId = 91;
constexpr int kLogMemoId = 92;
constexpr int kUpDownId = 93;
constexpr std::size_t kTraceLines = 100;
constexpr std::int64_t kMinInterval = 10;

constexpr const wchar_t* kTabCaptions[5] = {L"Accounts", L"Settings", L"New mail", L"Log",
                                            L"About"};

// What a screen shows for the program's bytes, in UTF-16, with the line
// ends an edit control wants.
std::wstring Shown(std::string_view bytes) {
  std::wstring text = WideText(DisplayText(bytes));
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
    out += text[i];
  }
  return out;
}

// The editor's drop-down lists: the security, the protocol and the login.
bool IsDropDown(Control control) {
  return control == Control::SecurityBox || control == Control::ProtocolBox ||
         control == Control::LoginBox;
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<Win32MainView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (view == nullptr || view->Handle() == nullptr) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return view->HandleMessage(message, wParam, lParam);
}

LRESULT CALLBACK FieldsProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<Win32MainView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (view == nullptr || view->Handle() == nullptr) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return view->HandleFieldsMessage(hwnd, message, wParam, lParam);
}

// Rows of the editor's fields that are a check box across the row.
bool IsWideBox(Control control) {
  return control == Control::EnableAccChkBx || control == Control::LeaveMailChkBx ||
         control == Control::QuietChkBx;
}

constexpr int kRowHeight = 23;
constexpr int kRowGap = 4;

// What Windows 10 (1607) and later tell; looked up, so the program still
// starts where they are missing.
template <typename Function>
Function User32Function(const char* name) {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// The DPI of the screen as a whole (what a program that is not aware of
// monitors gets).
UINT ScreenDpi() {
  UINT dpi = 96;
  if (HDC dc = GetDC(nullptr); dc != nullptr) {
    dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(nullptr, dc);
  }
  return dpi > 0 ? dpi : 96;
}

UINT WindowDpi(HWND hwnd) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
  if (getDpiForWindow != nullptr) {
    if (const UINT dpi = getDpiForWindow(hwnd); dpi > 0) return dpi;
  }
  return ScreenDpi();
}

BOOL CALLBACK SetFontOfChild(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

struct ControlSpec {
  Control control;
  const wchar_t* windowClass;
  const wchar_t* text;
  DWORD style;
};

}  // namespace

Win32MainView::Win32MainView(HINSTANCE instance, HICON icon, HICON smallIcon)
    : instance_(instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
  windowClass.lpfnWndProc = FieldsProcedure;
  windowClass.hIcon = nullptr;
  windowClass.hIconSm = nullptr;
  windowClass.hbrBackground = nullptr;
  windowClass.lpszClassName = kFieldsClass;
  RegisterClassExW(&windowClass);

  // System menu and minimise button, no maximise button.
  const DWORD style =
      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_CLIPCHILDREN;
  HWND hwnd =
      CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, L"Corvel!", style, CW_USEDEFAULT,
                      CW_USEDEFAULT, kMinWidth, kMinHeight, nullptr, nullptr, instance, this);
  if (hwnd == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateWindowEx");
  }
  hwnd_ = hwnd;
  // The layout is drawn at 96 DPI and scaled to the monitor's.
  dpi_ = WindowDpi(hwnd_);
  MakeFont(dpi_);
  if (dpi_ != 96) {
    SetWindowPos(hwnd_, nullptr, 0, 0, Scaled(kMinWidth), Scaled(kMinHeight),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  BuildControls();
  Layout();
  ShowPage(0);
}

Win32MainView::~Win32MainView() {
  if (hwnd_ != nullptr) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (font_ != nullptr && font_ != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(font_);
  if (pageBrush_ != nullptr) DeleteObject(pageBrush_);
}

int Win32MainView::Scaled(int length) const { return MulDiv(length, static_cast<int>(dpi_), 96); }

int Win32MainView::Unscaled(int length) const { return MulDiv(length, 96, static_cast<int>(dpi_)); }

void Win32MainView::MakeFont(UINT dpi) {
  // The message font of the system (not the bitmap "System" font that
  // controls get by default), at the monitor's DPI.
  using ForDpiFunction = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto forDpi = User32Function<ForDpiFunction>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  HFONT font = nullptr;
  if (forDpi != nullptr &&
      forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi) != FALSE) {
    font = CreateFontIndirectW(&metrics.lfMessageFont);
  } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    // Given for the screen's DPI.
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                            static_cast<int>(ScreenDpi()));
    font = CreateFontIndirectW(&metrics.lfMessageFont);
  }
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  const HFONT old = std::exchange(font_, font);
  if (hwnd_ != nullptr) {
    EnumChildWindows(hwnd_, &SetFontOfChild, reinterpret_cast<LPARAM>(font_));
  }
  if (old != nullptr && old != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(old);
}

void Win32MainView::DpiChanged(UINT dpi, const RECT& suggested) {
  if (dpi == 0 || dpi == dpi_) return;
  // The columns keep their widths as at 100 %.
  std::array<int, kMailColumnCount> widths{};
  for (int column = 0; column < static_cast<int>(kMailColumnCount); ++column) {
    widths[column] = ColumnWidth(column);
  }
  dpi_ = dpi;
  MakeFont(dpi_);
  for (int column = 0; column < static_cast<int>(kMailColumnCount); ++column) {
    SetColumnWidth(column, widths[column]);
  }
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
}

HWND Win32MainView::Make(const wchar_t* windowClass, const wchar_t* text, DWORD style, int id,
                         DWORD exStyle, HWND parent) {
  HWND control =
      CreateWindowExW(exStyle, windowClass, text, WS_CHILD | style, 0, 0, 10, 10,
                      parent != nullptr ? parent : hwnd_,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return control;
}

void Win32MainView::BuildControls() {
  // The tab control lies under the pages' controls and must not paint over
  // them.
  tabs_ = Make(WC_TABCONTROLW, L"", WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, kTabsId);
  for (int i = 0; i < 5; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(kTabCaptions[i]);
    SendMessageW(tabs_, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
  }
  const auto make = [this](Control control, const wchar_t* windowClass, const wchar_t* text,
                           DWORD style, int page) {
    HWND handle = Make(windowClass, text, style, kFirstControlId + Index(control));
    controls_[Index(control)] = handle;
    pages_[page].push_back(handle);
    return handle;
  };
  const DWORD checkBox = BS_AUTOCHECKBOX | WS_TABSTOP;

  // "Accounts": the editor. Closed at start: every field and button but
  // "Open accts." is disabled.
  BuildFields();
  const std::pair<Control, const wchar_t*> kButtons[9] = {{Control::OpenButton, L"Open accts."},
                                                          {Control::btnNew, L"New"},
                                                          {Control::btnDelete, L"Delete"},
                                                          {Control::btnPrev, L"Previous"},
                                                          {Control::btnClearAuth, L"Clear AUTH"},
                                                          {Control::btnNext, L"Next"},
                                                          {Control::btnFirst, L"First"},
                                                          {Control::btnUpdate, L"Update"},
                                                          {Control::btnLast, L"Last"}};
  for (const auto& [control, caption] : kButtons) {
    make(control, WC_BUTTONW, caption, BS_PUSHBUTTON | WS_TABSTOP, 0);
  }
  make(Control::lblNOTE, WC_STATICW, L"", SS_CENTER, 0);
  for (Control control : kEditorFieldsAndButtons) {
    SetControlEnabled(control, false);
  }

  // "Settings".
  const std::pair<Control, const wchar_t*> kBoxes[5] = {
      {Control::StartupChkBx, L"Start with Windows"},
      {Control::ConnErrChkBx, L"Tell me once when I can't connect"},
      {Control::LogChkBx, L"Log stuff that's going on"},
      {Control::AllMailChkBx,
       L"Show me all the new mail and not just an overview in the \"New mail\" tab"},
      {Control::BalloonChkBx, L"Pop up balloon box when you've got mail"}};
  for (const auto& [control, caption] : kBoxes) {
    make(control, WC_BUTTONW, caption, checkBox | BS_MULTILINE | BS_TOP, 1);
  }

  // "New mail".
  mailList_ = Make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL | WS_TABSTOP,
                   kMailListId, WS_EX_CLIENTEDGE);
  SendMessageW(mailList_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_LABELTIP);
  const wchar_t* captions[kMailColumnCount] = {L"Account", L"From",  L"Subject",
                                               L"Date",    L"Bytes", L"UIDL"};
  const int widths[kMailColumnCount] = {70, 60, 100, 50, 50, 50};
  for (int column = 0; column < static_cast<int>(kMailColumnCount); ++column) {
    LVCOLUMNW item{};
    item.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    item.fmt = column == 4 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    item.cx = Scaled(widths[column]);
    item.pszText = const_cast<wchar_t*>(captions[column]);
    SendMessageW(mailList_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&item));
  }
  pages_[2].push_back(mailList_);

  // "Log": read-only, both scroll bars, no word wrap.
  logMemo_ = Make(WC_EDITW, L"",
                  ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_HSCROLL |
                      WS_VSCROLL | WS_TABSTOP,
                  kLogMemoId, WS_EX_CLIENTEDGE);
  SendMessageW(logMemo_, EM_SETLIMITTEXT, 0, 0);
  pages_[3].push_back(logMemo_);

  // "About".
  make(Control::lblAbout, WC_STATICW, L"", SS_CENTER, 4);

  // The tab control at the bottom of the order: the pages' controls lie on
  // top of it.
  SetWindowPos(tabs_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Win32MainView::BuildFields() {
  fields_ = CreateWindowExW(WS_EX_CONTROLPARENT, kFieldsClass, L"",
                            WS_CHILD | WS_VSCROLL | WS_CLIPCHILDREN, 0, 0, 10, 10, hwnd_, nullptr,
                            instance_, this);
  pages_[0].push_back(fields_);
  const DWORD checkBox = BS_AUTOCHECKBOX | BS_MULTILINE | WS_TABSTOP;
  const DWORD edit = ES_AUTOHSCROLL | WS_TABSTOP;
  const auto make = [this](Control control, const wchar_t* windowClass, const wchar_t* text,
                           DWORD style, DWORD exStyle = 0) {
    HWND handle = Make(windowClass, text, style | WS_VISIBLE, kFirstControlId + Index(control),
                       exStyle, fields_);
    controls_[Index(control)] = handle;
    return handle;
  };
  const auto row = [this](Control control, const wchar_t* caption) {
    HWND label = nullptr;
    if (caption != nullptr) {
      label = Make(WC_STATICW, caption, SS_LEFT | SS_CENTERIMAGE | WS_VISIBLE,
                   control == Control::SecsEdit ? kFirstControlId + Index(Control::Label1) : 0, 0,
                   fields_);
      if (control == Control::SecsEdit) controls_[Index(Control::Label1)] = label;
    }
    fieldRows_.push_back({control, label});
  };

  make(Control::EnableAccChkBx, WC_BUTTONW, L"Enable this account", checkBox);
  row(Control::EnableAccChkBx, nullptr);
  // The login's rows follow the user; only the chosen login's show.
  const std::pair<Control, const wchar_t*> kFields[] = {
      {Control::AccountNameEdit, L"Account name:"},
      {Control::ProtocolBox, L"Protocol:"},
      {Control::ServerEdit, L"Server:"},
      {Control::PortEdit, L"Port:"},
      {Control::UserEdit, L"User:"},
      {Control::LoginBox, L"Login:"},
      {Control::PassEdit, L"Pass:"},
      {Control::KeyringChkBx, nullptr},
      {Control::AuthUrlEdit, L"Authorization URL:"},
      {Control::TokenUrlEdit, L"Token URL:"},
      {Control::ScopeEdit, L"Scope:"},
      {Control::ClientIdEdit, L"Client ID:"},
      {Control::ClientSecretEdit, L"Client secret:"},
      {Control::TokenCommandEdit, L"Command:"},
      {Control::btnSignIn, nullptr},
      {Control::lblSignIn, nullptr},
      {Control::SecurityBox, L"Security:"},
      {Control::FoldersEdit, L"Folders (IMAP):"},
      {Control::SecsEdit, L"Interval in seconds:"}};
  for (const auto& [control, caption] : kFields) {
    row(control, caption);
    if (IsDropDown(control)) {
      HWND box = make(control, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
      const auto add = [box](std::string_view choice) {
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideText(choice).c_str()));
      };
      if (control == Control::SecurityBox) {
        for (std::string_view choice : kSecurityChoices) add(choice);
      } else if (control == Control::LoginBox) {
        for (std::string_view choice : kLoginChoices) add(choice);
      } else {
        for (std::string_view choice : kProtocolChoices) add(choice);
      }
      SendMessageW(box, CB_SETCURSEL, 0, 0);
    } else if (control == Control::KeyringChkBx) {
      make(control, WC_BUTTONW, L"Keep the password in the system keyring", checkBox);
    } else if (control == Control::btnSignIn) {
      make(control, WC_BUTTONW, L"Sign in", BS_PUSHBUTTON | WS_TABSTOP);
    } else if (control == Control::lblSignIn) {
      // What the sign-in is doing or came to, selectable: it may hold the
      // address to open by hand when no browser could be started.
      make(control, WC_EDITW, L"", ES_MULTILINE | ES_READONLY);
    } else {
      const bool secret = control == Control::PassEdit || control == Control::ClientSecretEdit;
      make(control, WC_EDITW, L"", edit | (secret ? ES_PASSWORD : 0), WS_EX_CLIENTEDGE);
    }
  }
  for (Control control : kHiddenLoginRows) {
    hidden_[Index(control)] = true;
    ShowWindow(controls_[Index(control)], SW_HIDE);
    for (const FieldRow& field : fieldRows_) {
      if (field.control == control && field.label != nullptr) ShowWindow(field.label, SW_HIDE);
    }
  }
  SetWindowTextW(controls_[Index(Control::PortEdit)], L"110");
  SetWindowTextW(controls_[Index(Control::FoldersEdit)], L"INBOX");
  SetWindowTextW(controls_[Index(Control::SecsEdit)], L"300");
  // The interval's arrows step the number in the box; the box itself takes
  // any text, which the program keeps within its range when it loses focus.
  upDown_ =
      Make(UPDOWN_CLASSW, L"", UDS_ALIGNRIGHT | UDS_ARROWKEYS | WS_VISIBLE, kUpDownId, 0, fields_);
  SendMessageW(upDown_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(controls_[Index(Control::SecsEdit)]),
               0);
  make(Control::LeaveMailChkBx, WC_BUTTONW, L"I leave my mail on the server", checkBox);
  row(Control::LeaveMailChkBx, nullptr);
  make(Control::QuietChkBx, WC_BUTTONW, L"Quiet: no balloons for this account", checkBox);
  row(Control::QuietChkBx, nullptr);
}

void Win32MainView::Layout() {
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int margin = Scaled(4);
  MoveWindow(tabs_, margin, margin, client.right - 2 * margin, client.bottom - 2 * margin, TRUE);
  RECT page = {margin, margin, client.right - margin, client.bottom - margin};
  SendMessageW(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  TakePageColour();
  InflateRect(&page, -Scaled(6), -Scaled(6));
  const int left = page.left;
  const int width = page.right - page.left;
  const auto place = [](HWND window, int x, int y, int w, int h) {
    SetWindowPos(window, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  const auto at = [this](Control control) { return controls_[Index(control)]; };

  // "Accounts": the fields, then the buttons, three by three, then the
  // note, as high as its text.
  int noteHeight = 0;
  if (HDC dc = GetDC(hwnd_); dc != nullptr) {
    const HGDIOBJ oldFont = SelectObject(dc, font_);
    const std::wstring note = WindowText(at(Control::lblNOTE));
    RECT box = {0, 0, width, 0};
    if (!note.empty()) {
      DrawTextW(dc, note.c_str(), static_cast<int>(note.size()), &box,
                DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
      noteHeight = box.bottom + Scaled(4);
    }
    SelectObject(dc, oldFont);
    ReleaseDC(hwnd_, dc);
  }
  const Control kButtons[9] = {Control::OpenButton, Control::btnNew,       Control::btnDelete,
                               Control::btnPrev,    Control::btnClearAuth, Control::btnNext,
                               Control::btnFirst,   Control::btnUpdate,    Control::btnLast};
  const int gap = Scaled(6);
  const int buttonWidth = (width - 2 * gap) / 3;
  const int buttonStep = Scaled(30);
  const int buttonsTop = std::max(static_cast<int>(page.top) + 3 * Scaled(kRowHeight),
                                  static_cast<int>(page.bottom) - noteHeight - 3 * buttonStep);
  place(fields_, left, page.top, width, buttonsTop - gap - page.top);
  LayoutFields();
  for (int i = 0; i < 9; ++i) {
    place(at(kButtons[i]), left + (i % 3) * (buttonWidth + gap), buttonsTop + (i / 3) * buttonStep,
          buttonWidth, Scaled(25));
  }
  const int noteTop = buttonsTop + 3 * buttonStep;
  place(at(Control::lblNOTE), left, noteTop, width,
        std::max(0, static_cast<int>(page.bottom) - noteTop));

  // "Settings": the boxes one under the other; a caption too long for the
  // width wraps onto a second line.
  int y = page.top;
  for (Control box : {Control::StartupChkBx, Control::ConnErrChkBx, Control::LogChkBx,
                      Control::AllMailChkBx, Control::BalloonChkBx}) {
    const int height = Scaled(box == Control::AllMailChkBx ? 34 : 20);
    place(at(box), left, y, width, height);
    y += height + Scaled(8);
  }

  // The other pages fill the page.
  const int edge = Scaled(2);
  const RECT full = {page.left - edge, page.top - edge, page.right + edge, page.bottom + edge};
  for (HWND filling : {mailList_, logMemo_, at(Control::lblAbout)}) {
    place(filling, full.left, full.top, full.right - full.left, full.bottom - full.top);
  }
}

int Win32MainView::TextWidth(HWND control) const {
  const std::wstring text = WindowText(control);
  SIZE size{};
  if (HDC dc = GetDC(hwnd_); dc != nullptr) {
    const HGDIOBJ oldFont = SelectObject(dc, font_);
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, oldFont);
    ReleaseDC(hwnd_, dc);
  }
  return static_cast<int>(size.cx);
}

int Win32MainView::TextHeight(HWND control, int width) const {
  std::wstring text = WindowText(control);
  if (text.empty()) text = L" ";
  RECT box = {0, 0, std::max(width, 1), 0};
  if (HDC dc = GetDC(hwnd_); dc != nullptr) {
    const HGDIOBJ oldFont = SelectObject(dc, font_);
    // As an edit control breaks it: a word longer than the line (an
    // address) is broken too.
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
              DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
    SelectObject(dc, oldFont);
    ReleaseDC(hwnd_, dc);
  }
  return static_cast<int>(box.bottom);
}

void Win32MainView::LayoutFields() {
  if (fields_ == nullptr || layingOutFields_) return;
  layingOutFields_ = true;
  // Captions wide enough for the longest in the window's font, with a gap
  // before the fields.
  labelWidth_ = Scaled(122);
  if (HDC dc = GetDC(hwnd_); dc != nullptr) {
    const HGDIOBJ oldFont = SelectObject(dc, font_);
    for (const FieldRow& row : fieldRows_) {
      if (row.label == nullptr) continue;
      const std::wstring text = WindowText(row.label);
      SIZE size{};
      if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size)) {
        labelWidth_ = std::max(labelWidth_, static_cast<int>(size.cx) + Scaled(10));
      }
    }
    SelectObject(dc, oldFont);
    ReleaseDC(hwnd_, dc);
  }
  // The scroll bar comes and goes with the height of the fields, and
  // takes its width from them.
  RECT client{};
  for (int pass = 0; pass < 2; ++pass) {
    GetClientRect(fields_, &client);
    const int content = ArrangeFields(client.right, false);
    fieldsScroll_ =
        std::clamp(fieldsScroll_, 0, std::max(0, content - static_cast<int>(client.bottom)));
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMax = std::max(content - 1, 0);
    info.nPage = static_cast<UINT>(std::max(client.bottom, 0L));
    info.nPos = fieldsScroll_;
    SetScrollInfo(fields_, SB_VERT, &info, TRUE);
    RECT now{};
    GetClientRect(fields_, &now);
    if (now.right == client.right) break;
  }
  GetClientRect(fields_, &client);
  ArrangeFields(client.right, true);
  layingOutFields_ = false;
}

int Win32MainView::ArrangeFields(int width, bool place) {
  const int fieldLeft = std::min(labelWidth_, width / 2);
  const int fieldWidth = width - fieldLeft;
  // Nothing of a field's old place is copied: the whole panel is drawn
  // afresh below.
  const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS | SWP_NOREDRAW;
  int y = 0;
  for (const FieldRow& row : fieldRows_) {
    if (hidden_[Index(row.control)]) continue;
    HWND control = controls_[Index(row.control)];
    int x = fieldLeft;
    int w = fieldWidth;
    int height = Scaled(kRowHeight);
    if (row.control == Control::btnSignIn) {
      height = Scaled(25);
      w = std::min(fieldWidth, std::max(Scaled(100), TextWidth(control) + Scaled(24)));
    } else if (row.control == Control::lblSignIn) {
      height = TextHeight(control, fieldWidth - Scaled(8)) + Scaled(4);
    } else if (row.label == nullptr) {
      if (IsWideBox(row.control)) {
        x = 0;
        w = width;
      }
      // A caption too long for the row wraps under itself, beside the box.
      height = std::max(Scaled(20), TextHeight(control, w - Scaled(20)) + Scaled(4));
    }
    if (place) {
      const int top = y - fieldsScroll_;
      if (row.label != nullptr) SetWindowPos(row.label, nullptr, 0, top, fieldLeft, height, flags);
      // A drop-down list's height is that of its open list.
      SetWindowPos(control, nullptr, x, top, w, IsDropDown(row.control) ? Scaled(200) : height,
                   flags);
      // The interval's arrows take the right end of its box.
      if (row.control == Control::SecsEdit) {
        SendMessageW(upDown_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(control), 0);
      }
    }
    y += height + Scaled(kRowGap);
  }
  if (place) RedrawWindow(fields_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  return y;
}

void Win32MainView::ScrollFieldsTo(int position) {
  RECT client{};
  GetClientRect(fields_, &client);
  const int content = ArrangeFields(client.right, false);
  position = std::clamp(position, 0, std::max(0, content - static_cast<int>(client.bottom)));
  if (position == fieldsScroll_) return;
  fieldsScroll_ = position;
  SetScrollPos(fields_, SB_VERT, position, TRUE);
  ArrangeFields(client.right, true);
}

void Win32MainView::ScrollFocusIntoView() {
  // Only a move of the focus (Tab, a mnemonic) scrolls: the user's own
  // scrolling away from the focused field stays.
  HWND focus = GetFocus();
  if (focus == lastFocus_) return;
  lastFocus_ = focus;
  // The sign-in button comes with its text below it, which tells what the
  // button is about ("...has expired or was revoked: sign in again.").
  HWND signInText = controls_[Index(Control::lblSignIn)];
  if (focus == controls_[Index(Control::btnSignIn)] && IsWindowVisible(signInText)) {
    ScrollIntoView(signInText);
  }
  ScrollIntoView(focus);
}

void Win32MainView::ScrollIntoView(HWND control) {
  if (fields_ == nullptr || control == nullptr || !IsChild(fields_, control)) return;
  while (GetParent(control) != fields_) control = GetParent(control);
  RECT box{};
  GetWindowRect(control, &box);
  MapWindowPoints(nullptr, fields_, reinterpret_cast<POINT*>(&box), 2);
  RECT client{};
  GetClientRect(fields_, &client);
  if (box.top < 0) {
    ScrollFieldsTo(fieldsScroll_ + box.top - Scaled(kRowGap));
  } else if (box.bottom > client.bottom) {
    ScrollFieldsTo(fieldsScroll_ + box.bottom - client.bottom + Scaled(kRowGap));
  }
}

LRESULT Win32MainView::HandleFieldsMessage(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_VSCROLL: {
      SCROLLINFO info{};
      info.cbSize = sizeof info;
      info.fMask = SIF_ALL;
      GetScrollInfo(panel, SB_VERT, &info);
      int position = info.nPos;
      switch (LOWORD(wParam)) {
        case SB_LINEUP:
          position -= Scaled(kRowHeight + kRowGap);
          break;
        case SB_LINEDOWN:
          position += Scaled(kRowHeight + kRowGap);
          break;
        case SB_PAGEUP:
          position -= static_cast<int>(info.nPage);
          break;
        case SB_PAGEDOWN:
          position += static_cast<int>(info.nPage);
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
          position = info.nTrackPos;
          break;
        case SB_TOP:
          position = 0;
          break;
        case SB_BOTTOM:
          position = info.nMax;
          break;
        default:
          break;
      }
      ScrollFieldsTo(position);
      return 0;
    }
    case WM_MOUSEWHEEL:
      // Three rows a notch, as lists scroll.
      ScrollFieldsTo(fieldsScroll_ - GET_WHEEL_DELTA_WPARAM(wParam) * 3 *
                                         Scaled(kRowHeight + kRowGap) / WHEEL_DELTA);
      return 0;
    case WM_SIZE:
      LayoutFields();
      return 0;
    case WM_ERASEBKGND: {
      RECT client{};
      GetClientRect(panel, &client);
      FillRect(reinterpret_cast<HDC>(wParam), &client,
               pageBrush_ != nullptr ? pageBrush_ : GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // The fields' messages are the window's.
      return HandleMessage(message, wParam, lParam);
    default:
      return DefWindowProcW(panel, message, wParam, lParam);
  }
}

// The colour the tab control fills its pages with (a theme may draw it
// lighter than the window), so that labels and boxes on a page show no
// rectangle of another colour around their text.
void Win32MainView::TakePageColour() {
  RECT client{};
  GetClientRect(tabs_, &client);
  HDC screen = GetDC(tabs_);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
  HGDIOBJ old = SelectObject(memory, bitmap);
  SendMessageW(tabs_, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
               PRF_CLIENT | PRF_ERASEBKGND);
  const COLORREF colour = GetPixel(memory, client.right / 2, client.bottom - 8);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(tabs_, screen);
  if (colour == CLR_INVALID || (pageBrush_ != nullptr && colour == pageColour_)) return;
  if (pageBrush_ != nullptr) DeleteObject(pageBrush_);
  pageColour_ = colour;
  pageBrush_ = CreateSolidBrush(colour);
}

void Win32MainView::ShowPage(int page) {
  for (int i = 0; i < 5; ++i) {
    if (i == page) continue;
    for (HWND control : pages_[i]) ShowWindow(control, SW_HIDE);
  }
  for (HWND control : pages_[page]) ShowWindow(control, SW_SHOW);
}

void Win32MainView::Show(int showCommand) {
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
}

void Win32MainView::Attach(MainWindow& window) {
  window_ = &window;
  window.LogMemo().OnLineAppended = [this](const std::string& line) { AppendLogLine(line); };
  window.LogMemo().OnFirstLineRemoved = [this] { RemoveFirstLogLine(); };
  window.MailList().OnChanged = [this](NewMailList::Change change, std::size_t index) {
    switch (change) {
      case NewMailList::Change::Cleared:
        SendMessageW(mailList_, LVM_DELETEALLITEMS, 0, 0);
        break;
      case NewMailList::Change::Appended: {
        const auto columns = DisplayColumns(window_->MailList().Rows()[index]);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(index);
        std::wstring text = WideText(columns[0]);
        item.pszText = text.data();
        const auto row = static_cast<int>(
            SendMessageW(mailList_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        for (int column = 1; column < static_cast<int>(kMailColumnCount); ++column) {
          std::wstring cell = WideText(columns[static_cast<std::size_t>(column)]);
          LVITEMW sub{};
          sub.iSubItem = column;
          sub.pszText = cell.data();
          SendMessageW(mailList_, LVM_SETITEMTEXTW, static_cast<WPARAM>(row),
                       reinterpret_cast<LPARAM>(&sub));
        }
        break;
      }
      case NewMailList::Change::Deleted:
        SendMessageW(mailList_, LVM_DELETEITEM, index, 0);
        break;
    }
  };
}

// ---------------------------------------------------------------- the log

void Win32MainView::AppendLogLine(const std::string& line) {
  const int length = GetWindowTextLengthW(logMemo_);
  std::wstring text = (length > 0 ? L"\r\n" : L"") + Shown(line);
  SendMessageW(logMemo_, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(logMemo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  ShowLastLogLine();
}

// The caret at the start of the last line: the memo shows the newest line
// from its beginning, however long the lines are.
void Win32MainView::ShowLastLogLine() {
  const LRESULT lines = SendMessageW(logMemo_, EM_GETLINECOUNT, 0, 0);
  const LRESULT start = SendMessageW(logMemo_, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  SendMessageW(logMemo_, EM_SETSEL, static_cast<WPARAM>(start), start);
  SendMessageW(logMemo_, EM_SCROLLCARET, 0, 0);
}

void Win32MainView::RemoveFirstLogLine() {
  const LRESULT second = SendMessageW(logMemo_, EM_LINEINDEX, 1, 0);
  const LRESULT end = second >= 0 ? second : GetWindowTextLengthW(logMemo_);
  SendMessageW(logMemo_, EM_SETSEL, 0, end);
  SendMessageW(logMemo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  ShowLastLogLine();
}

// ---------------------------------------------------------------- MainView

void Win32MainView::SetApplicationTitle(std::string_view title) {
  applicationTitle_ = Shown(title);
}

void Win32MainView::SetCaption(std::string_view caption) {
  SetWindowTextW(hwnd_, Shown(caption).c_str());
}

WindowBounds Win32MainView::Bounds() const {
  RECT rect{};
  if (IsIconic(hwnd_)) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(hwnd_, &placement);
    rect = placement.rcNormalPosition;
  } else {
    GetWindowRect(hwnd_, &rect);
  }
  // Sizes as at 100 %, so the stored ones mean the same on every monitor.
  return {Unscaled(rect.bottom - rect.top), Unscaled(rect.right - rect.left), rect.top, rect.left};
}

void Win32MainView::SetHeight(int height) {
  const WindowBounds b = Bounds();
  SetWindowPos(hwnd_, nullptr, 0, 0, Scaled(b.width), Scaled(std::max(height, kMinHeight)),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainView::SetWidth(int width) {
  const WindowBounds b = Bounds();
  SetWindowPos(hwnd_, nullptr, 0, 0, Scaled(std::max(width, kMinWidth)), Scaled(b.height),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainView::SetTop(int top) {
  const WindowBounds b = Bounds();
  SetWindowPos(hwnd_, nullptr, b.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainView::SetLeft(int left) {
  const WindowBounds b = Bounds();
  SetWindowPos(hwnd_, nullptr, left, b.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

MainTab Win32MainView::CurrentTab() const {
  return static_cast<MainTab>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0));
}

void Win32MainView::SelectTab(MainTab tab) {
  SendMessageW(tabs_, TCM_SETCURSEL, static_cast<WPARAM>(tab), 0);
  ShowPage(static_cast<int>(tab));
}

void Win32MainView::Minimize() { ShowWindow(hwnd_, SW_MINIMIZE); }

bool Win32MainView::Checked(Control box) const {
  HWND handle = controls_[Index(box)];
  return handle != nullptr && SendMessageW(handle, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32MainView::SetChecked(Control box, bool checked) {
  if (HWND handle = controls_[Index(box)]) {
    SendMessageW(handle, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
}

std::string Win32MainView::Text(Control control) const {
  HWND handle = controls_[Index(control)];
  if (handle == nullptr) return {};
  std::wstring shown;
  if (IsDropDown(control)) {
    const LRESULT selected = SendMessageW(handle, CB_GETCURSEL, 0, 0);
    if (selected >= 0) {
      const LRESULT length = SendMessageW(handle, CB_GETLBTEXTLEN, selected, 0);
      shown.assign(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
      SendMessageW(handle, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(shown.data()));
      shown.resize(static_cast<std::size_t>(std::max<LRESULT>(length, 0)));
    }
  } else {
    shown = WindowText(handle);
  }
  const int i = Index(control);
  if (shown == setShown_[i]) return setBytes_[i];
  return Utf8Text(shown);
}

void Win32MainView::SetText(Control control, std::string_view text) {
  HWND handle = controls_[Index(control)];
  if (handle == nullptr) return;
  const std::wstring shown = Shown(text);
  if (IsDropDown(control)) {
    const LRESULT found = SendMessageW(handle, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(shown.c_str()));
    SendMessageW(handle, CB_SETCURSEL, found >= 0 ? found : 0, 0);
  } else {
    SetWindowTextW(handle, shown.c_str());
  }
  setBytes_[Index(control)] = std::string(text);
  setShown_[Index(control)] = shown;
  // The note and the sign-in take the room their texts need.
  if (control == Control::lblNOTE) Layout();
  if (control == Control::lblSignIn || control == Control::btnSignIn) {
    LayoutFields();
    // What the user's sign-in came to comes into sight.
    if (control == Control::lblSignIn && GetFocus() == controls_[Index(Control::btnSignIn)]) {
      ScrollIntoView(handle);
    }
  }
}

bool Win32MainView::ControlEnabled(Control control) const {
  HWND handle = controls_[Index(control)];
  return handle != nullptr && IsWindowEnabled(handle);
}

void Win32MainView::SetControlEnabled(Control control, bool enabled) {
  if (HWND handle = controls_[Index(control)]) EnableWindow(handle, enabled);
  if (control == Control::SecsEdit) EnableWindow(upDown_, enabled);
}

void Win32MainView::SetControlVisible(Control control, bool visible) {
  if (hidden_[Index(control)] == !visible) return;
  hidden_[Index(control)] = !visible;
  const int show = visible ? SW_SHOWNA : SW_HIDE;
  if (HWND handle = controls_[Index(control)]) ShowWindow(handle, show);
  for (const FieldRow& row : fieldRows_) {
    if (row.control == control && row.label != nullptr) ShowWindow(row.label, show);
  }
  if (control == Control::SecsEdit) ShowWindow(upDown_, show);
  LayoutFields();
}

bool Win32MainView::ControlVisible(Control control) const { return !hidden_[Index(control)]; }

void Win32MainView::SetPlaceholder(Control control, std::string_view text) {
  HWND handle = controls_[Index(control)];
  if (handle == nullptr) return;
  const std::wstring hint = Shown(text);
  // Shown while the field is empty, also while it has the focus.
  SendMessageW(handle, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(hint.c_str()));
}

int Win32MainView::ColumnWidth(int column) const {
  return Unscaled(static_cast<int>(SendMessageW(mailList_, LVM_GETCOLUMNWIDTH, column, 0)));
}

void Win32MainView::SetColumnWidth(int column, int width) {
  SendMessageW(mailList_, LVM_SETCOLUMNWIDTH, column, MAKELPARAM(Scaled(width), 0));
}

void Win32MainView::AppendProtocolTrace(std::string_view line) {
  trace_.emplace_back(line);
  if (trace_.size() > kTraceLines) trace_.pop_front();
}

int Win32MainView::Ask(std::string_view text, UINT type) {
  // A box for a window hidden in the tray has no owner to sit on.
  HWND owner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
  return ::MessageBoxW(owner, Shown(text).c_str(), applicationTitle_.c_str(),
                       type | (owner == nullptr ? MB_SETFOREGROUND | MB_TOPMOST : 0));
}

void Win32MainView::ShowInformation(std::string_view text) {
  Ask(text, MB_OK | MB_ICONINFORMATION);
}

bool Win32MainView::ConfirmYesNo(std::string_view text) {
  return Ask(text, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void Win32MainView::ShowError(std::string_view text) { Ask(text, MB_OK | MB_ICONERROR); }

// ---------------------------------------------------------------- TrayWindow

void Win32MainView::HideMainWindow() { ShowWindow(hwnd_, SW_HIDE); }

void Win32MainView::ShowMainWindow() { ShowWindow(hwnd_, SW_SHOW); }

bool Win32MainView::IsMinimized() const { return IsIconic(hwnd_) != FALSE; }

void Win32MainView::MakeNormal() {
  if (IsIconic(hwnd_) || IsZoomed(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
}

void Win32MainView::BringToForeground() {
  if (IsWindowVisible(hwnd_)) SetForegroundWindow(hwnd_);
}

// ---------------------------------------------------------------- messages

void Win32MainView::StepInterval(int delta) {
  HWND edit = controls_[Index(Control::SecsEdit)];
  const std::string text = Utf8Text(WindowText(edit));
  std::int64_t value = kMinInterval;
  if (const std::optional<std::int32_t> parsed = ParseWholeNumber(text)) value = *parsed;
  value = std::clamp<std::int64_t>(value + delta, kMinInterval,
                                   std::numeric_limits<std::int32_t>::max());
  SetWindowTextW(edit, std::to_wstring(value).c_str());
}

void Win32MainView::Command(int id, int code) {
  if (window_ == nullptr || id < kFirstControlId || id >= kFirstControlId + kControlCount) return;
  const auto control = static_cast<Control>(id - kFirstControlId);
  MainWindow& w = *window_;
  if (control == Control::SecsEdit) {
    if (code == EN_KILLFOCUS) w.SecsEditExit();
    return;
  }
  if (control == Control::ProtocolBox) {
    if (code == CBN_SELCHANGE) w.ProtocolBoxChange();
    return;
  }
  if (control == Control::LoginBox) {
    if (code == CBN_SELCHANGE) w.LoginBoxChange();
    return;
  }
  if (code != BN_CLICKED) return;
  switch (control) {
    case Control::StartupChkBx:
    case Control::ConnErrChkBx:
    case Control::LogChkBx:
    case Control::AllMailChkBx:
    case Control::BalloonChkBx:
      w.CheckBoxClicked(control);
      break;
    case Control::OpenButton:
      w.OpenButtonClick();
      break;
    case Control::btnNew:
      w.btnNewClick();
      break;
    case Control::btnDelete:
      w.btnDeleteClick();
      break;
    case Control::btnPrev:
      w.btnPrevClick();
      break;
    case Control::btnClearAuth:
      w.btnClearAuthClick();
      break;
    case Control::btnNext:
      w.btnNextClick();
      break;
    case Control::btnFirst:
      w.btnFirstClick();
      break;
    case Control::btnUpdate:
      w.btnUpdateClick();
      break;
    case Control::btnLast:
      w.btnLastClick();
      break;
    case Control::btnSignIn:
      w.btnSignInClick();
      break;
    default:
      break;
  }
}

LRESULT Win32MainView::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {Scaled(kMinWidth), Scaled(kMinHeight)};
      return 0;
    }
    case WM_DPICHANGED:
      DpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) Layout();
      return 0;
    case WM_PAINT:
      if (!painted_ && window_ != nullptr) {
        painted_ = true;
        // "--MINIMIZE" hides the window: not from inside its own paint.
        PostMessageW(hwnd_, kFirstPaintMessage, 0, 0);
      }
      break;
    case kFirstPaintMessage:
      if (window_ != nullptr) window_->FormPaint();
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom == tabs_ && header->code == TCN_SELCHANGE) {
        ShowPage(static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0)));
      } else if (header->hwndFrom == upDown_ && header->code == UDN_DELTAPOS) {
        // The arrow up raises the interval.
        StepInterval(-reinterpret_cast<const NMUPDOWN*>(lParam)->iDelta);
        return 1;
      }
      return 0;
    }
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // Labels and boxes take the page's colour; edits (read-only or
      // disabled ones come here too) keep their own.
      wchar_t className[16] = {};
      GetClassNameW(reinterpret_cast<HWND>(lParam), className, 16);
      if (reinterpret_cast<HWND>(lParam) == logMemo_) {
        // The log is read-only, not disabled: it keeps the colours of text.
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      // The sign-in's text is a read-only edit only to be selectable.
      const bool signInText =
          reinterpret_cast<HWND>(lParam) == controls_[Index(Control::lblSignIn)];
      if (pageBrush_ == nullptr || (lstrcmpiW(className, WC_EDITW) == 0 && !signInText)) break;
      SetBkColor(reinterpret_cast<HDC>(wParam), pageColour_);
      return reinterpret_cast<LRESULT>(pageBrush_);
    }
    case WM_SYSCOMMAND:
      // The minimise button sends the window to the tray instead.
      if ((wParam & 0xFFF0) == SC_MINIMIZE && window_ != nullptr && !window_->Exited() &&
          window_->MinimizeClicked()) {
        return 0;
      }
      break;
    case WM_CLOSE:
      // Closing never ends the program: the window goes to the tray.
      if (window_ != nullptr && !window_->Exited()) {
        (void)window_->FormClose();
        return 0;
      }
      break;
    case WM_SHOWWINDOW:
      if (wParam != FALSE && window_ != nullptr && window_->Tray() != nullptr) {
        window_->Tray()->MainWindowShown();
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace corvel::win32
