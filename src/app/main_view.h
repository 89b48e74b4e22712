// MainView: the screen of the main window as the program's logic sees it —
// the state of its controls (boxes checked, texts, captions, enabled states,
// the selected tab, column widths), the window itself (caption, geometry,
// shown or hidden in the tray), and the three dialogs (information box,
// Yes/No confirmation, error box). The main window's handlers read and write
// only this; the lines of the log and the rows of the "New mail" list are
// models the main window owns, which a view mirrors.
//
// Setting a box, a text or a state here never runs a handler: the main window
// runs its handlers itself, and a front-end reports the user's actions by
// calling the main window's handlers after updating the view's state.
//
// Implementations: the Qt and Win32 desktop views, and InMemoryMainView for
// the console front-end and the tests.
#pragma once

#include <string>
#include <string_view>

#include "app/tray/tray_window.h"

namespace corvel {

// The tabs of the window, by index.
enum class MainTab { Accounts = 0, Settings = 1, NewMail = 2, Log = 3, About = 4 };

// The controls whose state the program reads or writes, named as on the form.
enum class Control {
  // "Settings" tab.
  StartupChkBx,
  ConnErrChkBx,
  LogChkBx,
  AllMailChkBx,
  BalloonChkBx,
  // "Accounts" tab: the editor's fields.
  EnableAccChkBx,
  AccountNameEdit,
  ServerEdit,
  PortEdit,
  UserEdit,
  PassEdit,
  Label1,
  SecsEdit,
  LeaveMailChkBx,
  // The connection's security: its text is one of kSecurityChoices
  // (main_window.h), a drop-down list on a screen.
  SecurityBox,
  // The account's protocol, one of kProtocolChoices (a drop-down list), and
  // the mailboxes an IMAP account watches ("INBOX,Lists/dev").
  ProtocolBox,
  FoldersEdit,
  // How the account logs in: one of kLoginChoices (account_form.h), a
  // drop-down list; the fields of each choice, shown only for it; the
  // sign-in button (its caption says what it does now: "Sign in", "Sign in
  // again", "Cancel") and what the sign-in came to.
  LoginBox,
  KeyringChkBx,
  ClientIdEdit,
  ClientSecretEdit,
  AuthUrlEdit,
  TokenUrlEdit,
  ScopeEdit,
  TokenCommandEdit,
  btnSignIn,
  lblSignIn,
  // No balloons for this account.
  QuietChkBx,
  // The editor's buttons.
  OpenButton,
  btnNew,
  btnDelete,
  btnPrev,
  btnClearAuth,
  btnNext,
  btnFirst,
  btnUpdate,
  btnLast,
  // Labels.
  lblNOTE,
  lblAbout,
};
inline constexpr int kControlCount = static_cast<int>(Control::lblAbout) + 1;

// The editor's fields and buttons, which a view makes disabled: the editor is
// closed at start, and only "Open accts." is there to open it.
inline constexpr Control kEditorFieldsAndButtons[] = {
    Control::EnableAccChkBx,   Control::AccountNameEdit,  Control::ServerEdit,
    Control::PortEdit,         Control::UserEdit,         Control::PassEdit,
    Control::Label1,           Control::SecsEdit,         Control::LeaveMailChkBx,
    Control::SecurityBox,      Control::ProtocolBox,      Control::FoldersEdit,
    Control::LoginBox,         Control::KeyringChkBx,     Control::ClientIdEdit,
    Control::ClientSecretEdit, Control::AuthUrlEdit,      Control::TokenUrlEdit,
    Control::ScopeEdit,        Control::TokenCommandEdit, Control::btnSignIn,
    Control::QuietChkBx,       Control::btnNew,           Control::btnDelete,
    Control::btnPrev,          Control::btnClearAuth,     Control::btnNext,
    Control::btnFirst,         Control::btnUpdate,        Control::btnLast};

// The rows of the logins that are not the password's, which a view hides at
// start: the program shows the chosen login's rows when the editor opens.
inline constexpr Control kHiddenLoginRows[] = {
    Control::AuthUrlEdit,      Control::TokenUrlEdit,     Control::ScopeEdit, Control::ClientIdEdit,
    Control::ClientSecretEdit, Control::TokenCommandEdit, Control::btnSignIn, Control::lblSignIn};

// The window's bounds, as stored at exit and restored at start-up.
struct WindowBounds {
  int height = 517;
  int width = 400;
  int top = 0;
  int left = 0;
};

class MainView : public TrayWindow {
 public:
  static constexpr int kMinHeight = 517;
  static constexpr int kMinWidth = 400;

  // ---- The window.
  virtual void SetApplicationTitle(std::string_view title) = 0;
  virtual void SetCaption(std::string_view caption) = 0;
  [[nodiscard]] virtual WindowBounds Bounds() const = 0;
  // The minimum size 400 x 517 still applies to what is set here.
  virtual void SetHeight(int height) = 0;
  virtual void SetWidth(int width) = 0;
  virtual void SetTop(int top) = 0;
  virtual void SetLeft(int left) = 0;
  [[nodiscard]] virtual MainTab CurrentTab() const = 0;
  virtual void SelectTab(MainTab tab) = 0;
  // Minimises the window as the system would (used only when the tray does
  // not take the window over).
  virtual void Minimize() = 0;

  // ---- Controls.
  [[nodiscard]] virtual bool Checked(Control box) const = 0;
  virtual void SetChecked(Control box, bool checked) = 0;
  // The text of an edit box or label, or the caption of a button.
  [[nodiscard]] virtual std::string Text(Control control) const = 0;
  virtual void SetText(Control control, std::string_view text) = 0;
  [[nodiscard]] virtual bool ControlEnabled(Control control) const = 0;
  virtual void SetControlEnabled(Control control, bool enabled) = 0;
  // Shows or hides a control with its caption; a hidden one takes no room.
  // A view that cannot hide a control keeps showing it.
  virtual void SetControlVisible(Control /*control*/, bool /*visible*/) {}
  [[nodiscard]] virtual bool ControlVisible(Control /*control*/) const { return true; }
  // The grey hint an empty edit box shows (what the field holds when
  // nothing is typed); empty: none.
  virtual void SetPlaceholder(Control /*control*/, std::string_view /*text*/) {}
  // Widths of the six columns of the "New mail" list.
  [[nodiscard]] virtual int ColumnWidth(int column) const = 0;
  virtual void SetColumnWidth(int column, int width) = 0;

  // ---- The protocol trace (a memo nobody reads, kept for diagnosis).
  virtual void ClearProtocolTrace() = 0;
  virtual void AppendProtocolTrace(std::string_view line) = 0;

  // ---- Dialogs. Each returns when the user has answered.
  virtual void ShowInformation(std::string_view text) = 0;
  // A confirmation box with the buttons Yes and No; true for Yes.
  [[nodiscard]] virtual bool ConfirmYesNo(std::string_view text) = 0;
  // The application's standard error box.
  virtual void ShowError(std::string_view text) = 0;
};

}  // namespace corvel
