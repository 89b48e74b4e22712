#include "win32/win32_tray_shell.h"

#include <shellapi.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "app/text/display_text.h"
#include "app/text/win32/wide_text.h"

namespace corvel::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"CorvelTrayWindow";
constexpr UINT kIconId = 1;

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* shell = reinterpret_cast<Win32TrayShell*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (shell == nullptr || shell->Handle() == nullptr) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return shell->HandleMessage(message, wParam, lParam);
}

// Copies at most the field's size less one character, and the ending zero.
template <std::size_t N>
void CopyText(wchar_t (&field)[N], std::string_view bytes) {
  const std::wstring text = WideText(DisplayText(bytes));
  std::size_t count = std::min(text.size(), N - 1);
  // Never end on half of a surrogate pair.
  if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) {
    --count;
  }
  text.copy(field, count);
  field[count] = L'\0';
}

}  // namespace

Win32TrayShell::Win32TrayShell(EventLoop& loop, HINSTANCE instance, TrayIcons icons)
    : loop_(loop), icons_(icons) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
  // A hidden top-level window, not a message-only one: only top-level
  // windows hear the shell's "TaskbarCreated" broadcast.
  HWND hwnd = CreateWindowExW(0, kWindowClass, L"Corvel tray", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, instance, this);
  if (hwnd == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateWindowEx");
  }
  hwnd_ = hwnd;
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
}

Win32TrayShell::~Win32TrayShell() {
  (void)DeleteIcon();
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  DestroyWindow(hwnd_);
}

NOTIFYICONDATAW Win32TrayShell::Data(const TrayEntry& entry) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = hwnd_;
  data.uID = kIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = icons_[static_cast<std::size_t>(entry.picture)];
  CopyText(data.szTip, entry.tip);
  return data;
}

bool Win32TrayShell::AddIcon(const TrayEntry& entry) {
  entry_ = entry;
  NOTIFYICONDATAW data = Data(entry);
  return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

bool Win32TrayShell::ModifyIcon(const TrayEntry& entry) {
  entry_ = entry;
  NOTIFYICONDATAW data = Data(entry);
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool Win32TrayShell::DeleteIcon() {
  NOTIFYICONDATAW data = Data(entry_);
  data.uFlags = 0;
  return Shell_NotifyIconW(NIM_DELETE, &data) != FALSE;
}

bool Win32TrayShell::RemoveBalloon() {
  NOTIFYICONDATAW data = Data(entry_);
  data.uFlags |= NIF_INFO;
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool Win32TrayShell::ShowBalloon(const TrayBalloon& balloon) {
  NOTIFYICONDATAW data = Data(entry_);
  data.uFlags |= NIF_INFO;
  CopyText(data.szInfo, balloon.text);
  CopyText(data.szInfoTitle, balloon.title);
  data.uTimeout = balloon.timeoutMs;
  // The shell's balloon icon flags have the values of the icon kinds.
  data.dwInfoFlags = static_cast<DWORD>(balloon.icon);
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

void Win32TrayShell::ShowPopupMenu(const TrayMenu& menu, TrayPoint position) {
  HMENU popup = CreatePopupMenu();
  if (popup == nullptr) return;
  for (std::size_t i = 0; i < menu.items.size(); ++i) {
    AppendMenuW(popup, MF_STRING, i + 1, WideText(DisplayText(menu.items[i].caption)).c_str());
    if (&menu.items[i] == menu.DefaultItem()) SetMenuDefaultItem(popup, static_cast<UINT>(i), TRUE);
  }
  // The menu closes when the user clicks elsewhere only while the program
  // is in the foreground, and only after a message that follows it.
  SetForegroundWindow(hwnd_);
  const BOOL picked = TrackPopupMenu(popup, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                                     position.x, position.y, 0, hwnd_, nullptr);
  PostMessageW(hwnd_, WM_NULL, 0, 0);
  DestroyMenu(popup);
  // The item runs from the loop, never from inside the menu: "Exit"
  // destroys the tray icon that showed it.
  if (picked > 0) {
    const std::size_t index = static_cast<std::size_t>(picked) - 1;
    loop_.Post([&menu, index] { menu.Click(index); });
  }
}

std::uint32_t Win32TrayShell::DoubleClickTime() const { return GetDoubleClickTime(); }

void Win32TrayShell::BringToForeground() { SetForegroundWindow(hwnd_); }

void Win32TrayShell::Tell(TrayMouseAction action) {
  POINT point{};
  GetCursorPos(&point);
  // A handler may end the tray icon component, which takes its handler back.
  if (const auto handler = OnMouseAction) handler(action, {point.x, point.y});
}

LRESULT Win32TrayShell::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kTrayCallbackMessage) {
    switch (static_cast<UINT>(lParam)) {
      case WM_LBUTTONDOWN:
        Tell(TrayMouseAction::kLeftDown);
        break;
      case WM_LBUTTONUP:
        Tell(TrayMouseAction::kLeftUp);
        break;
      case WM_LBUTTONDBLCLK:
        Tell(TrayMouseAction::kLeftDoubleClick);
        break;
      case WM_RBUTTONDOWN:
        Tell(TrayMouseAction::kRightDown);
        break;
      case NIN_BALLOONUSERCLICK:
        // The balloon leads to what it tells of ("New mail").
        if (const auto handler = OnBalloonClicked) handler();
        break;
      default:
        break;
    }
    return 0;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    if (const auto handler = OnShellRestarted) handler();
    return 0;
  }
  // The hidden window never closes on its own.
  switch (message) {
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
      return 1;
    default:
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

}  // namespace corvel::win32
