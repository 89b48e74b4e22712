// Win32MainView: the main window with Win32 controls — the tab control with
// its five pages, the account editor's edits, spin box, drop-down list and
// buttons, the settings boxes, the report-style "New mail" list, the log
// memo and the About label — as the MainView the program reads and writes.
// The user's actions go to MainWindow's handlers; the behaviour stays there.
#pragma once

#include <windows.h>

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "app/main_view.h"

namespace corvel {
class MainWindow;
}

namespace corvel::win32 {

class Win32MainView final : public MainView {
 public:
  // Creates the window, hidden, and its controls. Throws std::system_error
  // when the window cannot be made.
  Win32MainView(HINSTANCE instance, HICON icon, HICON smallIcon);
  ~Win32MainView() override;
  Win32MainView(const Win32MainView&) = delete;
  Win32MainView& operator=(const Win32MainView&) = delete;

  // Connects the controls to the window's handlers and mirrors its log and
  // "New mail" list. The window must be destroyed before the view.
  void Attach(MainWindow& window);
  // Shows the window for the first time.
  void Show(int showCommand);
  [[nodiscard]] HWND Handle() const { return hwnd_; }
  [[nodiscard]] HWND ControlWindow(Control control) const { return controls_[Index(control)]; }

  // ---- MainView.
  void SetApplicationTitle(std::string_view title) override;
  void SetCaption(std::string_view caption) override;
  [[nodiscard]] WindowBounds Bounds() const override;
  void SetHeight(int height) override;
  void SetWidth(int width) override;
  void SetTop(int top) override;
  void SetLeft(int left) override;
  [[nodiscard]] MainTab CurrentTab() const override;
  void SelectTab(MainTab tab) override;
  void Minimize() override;
  [[nodiscard]] bool Checked(Control box) const override;
  void SetChecked(Control box, bool checked) override;
  [[nodiscard]] std::string Text(Control control) const override;
  void SetText(Control control, std::string_view text) override;
  [[nodiscard]] bool ControlEnabled(Control control) const override;
  void SetControlEnabled(Control control, bool enabled) override;
  void SetControlVisible(Control control, bool visible) override;
  [[nodiscard]] bool ControlVisible(Control control) const override;
  void SetPlaceholder(Control control, std::string_view text) override;
  [[nodiscard]] int ColumnWidth(int column) const override;
  void SetColumnWidth(int column, int width) override;
  void ClearProtocolTrace() override { trace_.clear(); }
  void AppendProtocolTrace(std::string_view line) override;
  void ShowInformation(std::string_view text) override;
  [[nodiscard]] bool ConfirmYesNo(std::string_view text) override;
  void ShowError(std::string_view text) override;

  // ---- TrayWindow.
  void HideMainWindow() override;
  void ShowMainWindow() override;
  void HideTaskbarButton() override { taskbarButton_ = false; }
  void ShowTaskbarButton() override { taskbarButton_ = true; }
  [[nodiscard]] bool TaskbarButtonVisible() const override { return taskbarButton_; }
  [[nodiscard]] bool IsMinimized() const override;
  void MakeNormal() override;
  void BringToForeground() override;

  // Scrolls the editor's fields so that the control with the keyboard
  // focus is in sight (after Tab moved it to a field scrolled away).
  void ScrollFocusIntoView();

  // The window procedures' work; called by them only.
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleFieldsMessage(HWND panel, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  // A row of the editor's fields: a control with its caption on the left,
  // or (no caption) a control across the row or in the fields' column.
  struct FieldRow {
    Control control;
    HWND label = nullptr;
  };

  static int Index(Control control) { return static_cast<int>(control); }
  HWND Make(const wchar_t* windowClass, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0,
            HWND parent = nullptr);
  void BuildControls();
  void BuildFields();
  void Layout();
  void LayoutFields();
  // The height of the editor's fields at `width`, and, with place, their
  // places at the current scroll position.
  int ArrangeFields(int width, bool place);
  void ScrollFieldsTo(int position);
  // Scrolls the fields so that `control` (one of them) is in sight.
  void ScrollIntoView(HWND control);
  // The width of a control's text in the window's font, and its height
  // when broken into lines of `width`.
  [[nodiscard]] int TextWidth(HWND control) const;
  [[nodiscard]] int TextHeight(HWND control, int width) const;
  void ShowPage(int page);
  void TakePageColour();
  void Command(int id, int code);
  void StepInterval(int delta);
  void AppendLogLine(const std::string& line);
  void RemoveFirstLogLine();
  void ShowLastLogLine();
  int Ask(std::string_view text, UINT type);
  // A length of the layout, given at 96 dots per inch, at the window's DPI.
  [[nodiscard]] int Scaled(int length) const;
  // A length of the window back at 96 dots per inch (what the settings keep).
  [[nodiscard]] int Unscaled(int length) const;
  // The message font of the system at `dpi`.
  void MakeFont(UINT dpi);
  // The window moved to a monitor of another DPI: fonts, columns and layout
  // follow; `suggested` is the window's new place as the system proposes it.
  void DpiChanged(UINT dpi, const RECT& suggested);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  // Dots per inch of the monitor the window is on (96 is 100 %).
  UINT dpi_ = 96;
  HBRUSH pageBrush_ = nullptr;
  COLORREF pageColour_ = 0;
  MainWindow* window_ = nullptr;
  std::wstring applicationTitle_ = L"Corvel!";

  HWND tabs_ = nullptr;
  HWND mailList_ = nullptr;
  HWND logMemo_ = nullptr;
  HWND upDown_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  // The editor's fields, top to bottom, on a panel of their own that
  // scrolls when they do not fit; the buttons and the note stay below it.
  HWND fields_ = nullptr;
  std::vector<FieldRow> fieldRows_;
  int fieldsScroll_ = 0;
  int labelWidth_ = 122;
  bool layingOutFields_ = false;
  HWND lastFocus_ = nullptr;
  std::array<bool, kControlCount> hidden_{};
  // The controls of each page, shown while its tab is selected.
  std::array<std::vector<HWND>, 5> pages_;
  // The bytes last set into a text control and what they showed: a text the
  // user did not change reads back as the same bytes, even when they were
  // not UTF-8 (a name written by an older program).
  std::array<std::string, kControlCount> setBytes_{};
  std::array<std::wstring, kControlCount> setShown_{};
  std::deque<std::string> trace_;
  bool taskbarButton_ = true;
  bool painted_ = false;
};

}  // namespace corvel::win32
