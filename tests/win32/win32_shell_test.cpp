// The Windows program's tray shell and window, run under Wine without a
// display: the shell's callback message and restart broadcast, what the
// window keeps of the texts and sizes the program sets, and the editor's
// rows that come and go with the login.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "net/win32/event_loop.h"
#include "win32/win32_main_view.h"
#include "win32/win32_tray_shell.h"

namespace corvel::win32 {
namespace {

TEST(Win32TrayShell, TellsTheMouseActionsOfTheCallbackMessage) {
  MessageEventLoop loop;
  Win32TrayShell shell(loop, GetModuleHandleW(nullptr), {});
  std::vector<TrayMouseAction> actions;
  shell.OnMouseAction = [&](TrayMouseAction action, TrayPoint) { actions.push_back(action); };
  int balloonClicks = 0;
  shell.OnBalloonClicked = [&] { ++balloonClicks; };
  // A double click as the shell reports it, a right click, a move that is
  // no action, a click on the balloon and the balloon's time-out.
  const UINT messages[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK,     WM_LBUTTONUP,
                           WM_RBUTTONDOWN, WM_MOUSEMOVE, NIN_BALLOONUSERCLICK, NIN_BALLOONTIMEOUT};
  for (UINT mouse : messages) {
    SendMessageW(shell.Handle(), kTrayCallbackMessage, 1, static_cast<LPARAM>(mouse));
  }
  EXPECT_EQ(balloonClicks, 1);
  EXPECT_EQ(actions,
            (std::vector<TrayMouseAction>{TrayMouseAction::kLeftDown, TrayMouseAction::kLeftUp,
                                          TrayMouseAction::kLeftDoubleClick,
                                          TrayMouseAction::kLeftUp, TrayMouseAction::kRightDown}));
}

TEST(Win32TrayShell, TellsOfAShellRestartAndNeverClosesItsWindow) {
  MessageEventLoop loop;
  Win32TrayShell shell(loop, GetModuleHandleW(nullptr), {});
  int restarts = 0;
  shell.OnShellRestarted = [&] { ++restarts; };
  SendMessageW(shell.Handle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_EQ(restarts, 1);
  SendMessageW(shell.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(shell.Handle()));
}

TEST(Win32MainView, KeepsBytesSizesAndWidthsAsSet) {
  Win32MainView view(GetModuleHandleW(nullptr), nullptr, nullptr);
  // A name of an older program's file, in Windows-1252: it reads back as
  // the same bytes while the user has not changed it.
  view.SetText(Control::AccountNameEdit, "Caf\xE9");
  EXPECT_EQ(view.Text(Control::AccountNameEdit), "Caf\xE9");
  view.SetText(Control::SecurityBox, "TLS");
  EXPECT_EQ(view.Text(Control::SecurityBox), "TLS");
  view.SetText(Control::ProtocolBox, "IMAP");
  EXPECT_EQ(view.Text(Control::ProtocolBox), "IMAP");
  view.SetHeight(100);
  view.SetWidth(900);
  EXPECT_EQ(view.Bounds().height, MainView::kMinHeight);
  EXPECT_EQ(view.Bounds().width, 900);
  view.SetColumnWidth(2, 140);
  EXPECT_EQ(view.ColumnWidth(2), 140);
  view.SelectTab(MainTab::NewMail);
  EXPECT_EQ(view.CurrentTab(), MainTab::NewMail);
  view.SetControlEnabled(Control::SecsEdit, false);
  EXPECT_FALSE(view.ControlEnabled(Control::SecsEdit));
}

// Only the chosen login's rows show, each with its caption, and the rows
// below close up; the sign-in's text takes the lines it needs.
TEST(Win32MainView, LoginRowsComeAndGoWithTheirCaptions) {
  Win32MainView view(GetModuleHandleW(nullptr), nullptr, nullptr);
  HWND fields = GetParent(view.ControlWindow(Control::ClientIdEdit));
  const auto shown = [](HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
  };
  const auto top = [&view](Control control) {
    RECT box{};
    GetWindowRect(view.ControlWindow(control), &box);
    return box.top;
  };
  HWND caption = FindWindowExW(fields, nullptr, L"Static", L"Client ID:");
  ASSERT_NE(caption, nullptr);
  EXPECT_TRUE(view.ControlVisible(Control::PassEdit));
  EXPECT_FALSE(view.ControlVisible(Control::ClientIdEdit));
  EXPECT_FALSE(shown(caption));
  const LONG passwordTop = top(Control::SecurityBox);

  view.SetText(Control::LoginBox, "Sign in with Google\u2026");
  EXPECT_EQ(SendMessageW(view.ControlWindow(Control::LoginBox), CB_GETCURSEL, 0, 0), 2);
  for (Control row : {Control::PassEdit, Control::KeyringChkBx}) view.SetControlVisible(row, false);
  for (Control row :
       {Control::ClientIdEdit, Control::ClientSecretEdit, Control::btnSignIn, Control::lblSignIn}) {
    view.SetControlVisible(row, true);
  }
  EXPECT_TRUE(shown(caption));
  EXPECT_FALSE(shown(view.ControlWindow(Control::PassEdit)));
  view.SetText(Control::lblSignIn, "Signed in with Google.");
  const LONG signInTop = top(Control::SecurityBox);
  EXPECT_GT(signInTop, passwordTop);
  view.SetText(Control::lblSignIn,
               "No browser could be opened. Open this address to sign in at Google:\n"
               "https://accounts.google.com/o/oauth2/v2/auth?response_type=code&client_id=x");
  EXPECT_GT(top(Control::SecurityBox), signInTop);

  for (Control row :
       {Control::ClientIdEdit, Control::ClientSecretEdit, Control::btnSignIn, Control::lblSignIn}) {
    view.SetControlVisible(row, false);
  }
  for (Control row : {Control::PassEdit, Control::KeyringChkBx}) view.SetControlVisible(row, true);
  EXPECT_FALSE(shown(caption));
  EXPECT_EQ(top(Control::SecurityBox), passwordTop);
}

}  // namespace
}  // namespace corvel::win32
