// The Windows account editor end to end, driven through its controls as the
// user's clicks reach them, on a display (the desktop test runs it under
// Xvfb): a password account kept in the Credential Manager, and an account
// that signs in at "another OAuth2 provider" (the project's authorization
// server, in the TLS peer host) — waiting, cancelled, refused, signed in,
// asked to sign in again once the provider revokes it; both checked against
// a TLS POP3 server. Each state of the editor is saved as a picture in the
// folder CORVEL_SCREENSHOT_DIR names, when it is set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/auth/account_secrets.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/text/locale_format.h"
#include "net/win32/event_loop.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"
#include "support/wait_for.h"
#include "support/working_folder.h"
#include "win32/win32_main_view.h"
#include "win32/win32_tray_shell.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using win32::Win32MainView;

constexpr char kOAuthUser[] = "tim@example.com";
// XOAUTH2's line for kOAuthUser and the access token "tok".
constexpr char kTokenLine[] = "dXNlcj10aW1AZXhhbXBsZS5jb20BYXV0aD1CZWFyZXIgdG9rAQE=";
// AUTH LOGIN's lines for "pat" and "pat-secret".
constexpr char kUserLine[] = "cGF0";
constexpr char kPasswordLine[] = "cGF0LXNlY3JldA==";

// A POP3 server that lets "pat" in with AUTH LOGIN and kOAuthUser with
// XOAUTH2, refuses every other login, and keeps what each session sent.
class Pop3Sessions {
 public:
  TlsTestServer::Session Session() {
    return [this](TlsPeer& peer) {
      if (!peer.Handshake()) return;
      std::string sent;
      Serve(peer, sent);
      const std::lock_guard<std::mutex> lock(mutex_);
      sessions_.push_back(sent);
    };
  }
  std::vector<std::string> Sent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
  }

 private:
  static void Serve(TlsPeer& peer, std::string& sent) {
    peer.Write("+OK POP3 ready\r\n");
    std::string expected;  // the line a login's prompt waits for
    for (;;) {
      std::string line = peer.ReadLine();
      if (line.empty()) return;
      sent += line;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::string answer = "-ERR not here\r\n";
      if (!expected.empty()) {
        answer = line == expected ? "+OK in\r\n" : "-ERR wrong\r\n";
        if (line == kUserLine) answer = "+ UGFzc3dvcmQ6\r\n";
        expected = line == kUserLine ? kPasswordLine : "";
      } else if (line == "AUTH LOGIN") {
        answer = "+ VXNlcm5hbWU6\r\n";
        expected = kUserLine;
      } else if (line == "AUTH XOAUTH2") {
        answer = "+ \r\n";
        expected = kTokenLine;
      } else if (line == "STAT") {
        answer = "+OK 0 0\r\n";
      } else if (line == "UIDL" || line == "LIST") {
        answer = "+OK\r\n.\r\n";
      } else if (line == "QUIT") {
        peer.Write("+OK bye\r\n");
        peer.SendCloseNotify();
        return;
      }
      if (!peer.Write(answer)) return;
    }
  }

  std::mutex mutex_;
  std::vector<std::string> sessions_;
};

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          static_cast<int>(wide.size()))));
  return wide;
}

class Win32EditorEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    authorizer_.SetUser(kOAuthUser);
    // Each grant gives "tok" within a minute of its end: each check renews it.
    authorizer_.SetAccessToken("tok", 50);
    MainWindowOptions options;
    options.openBrowser = [this](const std::string& url, std::string& why) {
      shownUrl_ = url;
      return !follow_ || authorizer_.Browser()(url, why);
    };
    options.signInTimeoutMs = 30000;
    window_ =
        std::make_unique<MainWindow>(loop_, view_, shell_, settings_, locale_, std::move(options));
    view_.Attach(*window_);
    window_->FormCreate();
    view_.SetWidth(400);
    view_.SetHeight(517);
    // Away from the corner where Wine shows balloons without a tray.
    view_.SetLeft(300);
    view_.SetTop(40);
    view_.Show(SW_SHOWNORMAL);
    if (const char* folder = std::getenv("CORVEL_SCREENSHOT_DIR")) shots_ = folder;
  }
  void TearDown() override {
    window_.reset();
    const std::unique_ptr<SecretStore> credentials = SystemSecretStore();
    for (const SecretKey& key : filed_) (void)credentials->Erase(key);
  }

  HWND W(Control control) const { return view_.ControlWindow(control); }
  void Click(Control control) {
    SendMessageW(W(control), BM_CLICK, 0, 0);
    loop_.ProcessEvents(0);
  }
  void Type(Control control, const std::string& text) {
    SetWindowTextW(W(control), Wide(text).c_str());
  }
  // A pick from a drop-down list, as the list tells its window.
  void Choose(Control control, const std::string& caption) {
    const LRESULT index = SendMessageW(W(control), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(Wide(caption).c_str()));
    ASSERT_GE(index, 0) << caption;
    SendMessageW(W(control), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(W(control)), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(W(control)), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(W(control)));
  }
  std::string SignInText() const { return view_.Text(Control::lblSignIn); }
  bool Shown(Control control) const { return IsWindowVisible(W(control)) != FALSE; }
  void NewAccount(const std::string& name, const std::string& user) {
    Click(Control::btnNew);
    Click(Control::EnableAccChkBx);
    Type(Control::AccountNameEdit, name);
    Type(Control::ServerEdit, "localhost");
    Type(Control::PortEdit, server_.PortText());
    Type(Control::UserEdit, user);
    Choose(Control::SecurityBox, "TLS");
  }
  void CheckAll() {
    for (const CheckReport& report : window_->CheckAllNow()) reports_.push_back(report);
  }
  // The window as the screen shows it, as a 24-bit BMP file.
  void Shot(const std::string& name) {
    if (shots_.empty()) return;
    RedrawWindow(view_.Handle(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    (void)WaitFor(
        loop_, [] { return false; }, 300);
    RECT box{};
    GetWindowRect(view_.Handle(), &box);
    const int width = box.right - box.left;
    const int height = box.bottom - box.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, box.left, box.top, SRCCOPY);
    GdiFlush();
    const DWORD size = static_cast<DWORD>(((width * 3 + 3) & ~3) * height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + size;
    std::ofstream out(shots_ + "\\win32-" + name + ".bmp", std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), size);
    SelectObject(memory, old);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }

  OAuthTestServer authorizer_;
  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_ = pki_.TrustOnly();
  Pop3Sessions pop3_;
  TlsTestServer server_{{pki_.Issue("good")},
                        std::vector<TlsTestServer::Session>(5, pop3_.Session())};
  WorkingFolder folder_;
  MessageEventLoop loop_;
  Win32MainView view_{GetModuleHandleW(nullptr), nullptr, nullptr};
  win32::Win32TrayShell shell_{loop_, GetModuleHandleW(nullptr), {}};
  MemorySettingsStore settings_;
  FixedLocaleFormat locale_;
  std::unique_ptr<MainWindow> window_;
  std::string shots_;
  std::string shownUrl_;
  bool follow_ = true;
  std::vector<CheckReport> reports_;
  std::vector<SecretKey> filed_;
};

TEST_F(Win32EditorEndToEnd, APasswordInTheCredentialManagerAndASignInBothLogIn) {
  Click(Control::OpenButton);
  NewAccount("Home", "pat");
  EXPECT_EQ(view_.Text(Control::LoginBox), "Password");
  // The Credential Manager is there: the password goes into it unless the
  // user says no.
  EXPECT_TRUE(view_.Checked(Control::KeyringChkBx));
  Type(Control::PassEdit, "pat-secret");
  Shot("editor-password-keyring");
  Click(Control::btnUpdate);
  const SecretKey passwordKey = KeyringKeyOf(window_->EditRecord(), kSecretKindPassword);
  filed_.push_back(passwordKey);
  EXPECT_EQ(window_->EditRecord().PlainPassword(), kKeyringMarker);
  EXPECT_EQ(SystemSecretStore()->Read(passwordKey).secret, "pat-secret");
  EXPECT_EQ(view_.Text(Control::PassEdit), "");
  Shot("editor-password-kept");

  NewAccount("Work", kOAuthUser);
  Choose(Control::LoginBox, "Sign in with Microsoft\u2026");
  EXPECT_FALSE(Shown(Control::PassEdit));
  EXPECT_TRUE(Shown(Control::btnSignIn));
  Shot("editor-microsoft");
  Choose(Control::LoginBox, "Token command\u2026");
  EXPECT_TRUE(Shown(Control::TokenCommandEdit));
  EXPECT_FALSE(Shown(Control::btnSignIn));
  Shot("editor-token-command");
  Choose(Control::LoginBox, "Other OAuth2 provider\u2026");
  EXPECT_FALSE(Shown(Control::TokenCommandEdit));
  EXPECT_TRUE(Shown(Control::TokenUrlEdit));
  Type(Control::AuthUrlEdit, authorizer_.AuthorizeUrl());
  Type(Control::TokenUrlEdit, authorizer_.TokenUrl());
  Type(Control::ScopeEdit, "pop offline_access");
  Type(Control::ClientIdEdit, OAuthTestServer::kClientId);
  Shot("editor-other-provider");

  // Waiting for the browser, the window goes on; the user cancels.
  follow_ = false;
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText().starts_with("Sign in at 127.0.0.1"); }))
      << SignInText();
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Cancel");
  EXPECT_FALSE(view_.ControlEnabled(Control::btnUpdate));
  Shot("editor-sign-in-waiting");
  Click(Control::btnSignIn);
  EXPECT_EQ(SignInText(), "The sign-in was cancelled.");
  EXPECT_TRUE(view_.ControlEnabled(Control::btnUpdate));
  Shot("editor-sign-in-cancelled");

  // The provider refuses; then lets Corvel in.
  follow_ = true;
  authorizer_.DenyAuthorization("access_denied");
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return SignInText().starts_with("Not signed in"); }, 20000))
      << SignInText();
  EXPECT_THAT(SignInText(), HasSubstr("access_denied"));
  Shot("editor-sign-in-refused");
  authorizer_.DenyAuthorization("");
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return SignInText() == "Signed in with 127.0.0.1."; }, 20000))
      << SignInText() << authorizer_.Refusals();
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Sign in again");
  filed_.push_back(KeyringKeyOf(window_->EditRecord(), kSecretKindRefreshToken));
  Shot("editor-signed-in");

  // Both log in: the Credential Manager's password and a fresh access token.
  Click(Control::OpenButton);
  ASSERT_EQ(window_->Table().Count(), 2u);
  CheckAll();
  ASSERT_EQ(reports_.size(), 2u);
  for (const CheckReport& report : reports_) {
    EXPECT_FALSE(CheckFailed(report.outcome)) << report.account << ": " << report.reason;
  }
  // Each account's first check finds its login method, then reads the mailbox.
  const std::string password = std::string("AUTH LOGIN\r\n") + kUserLine + "\r\n" + kPasswordLine;
  const std::string token = std::string("AUTH XOAUTH2\r\n") + kTokenLine;
  EXPECT_THAT(pop3_.Sent(),
              ::testing::ElementsAre(
                  "AUTH CRAM-SHA1\r\nAUTH CRAM-MD5\r\n" + password + "\r\nQUIT\r\n",
                  password + "\r\nSTAT\r\nQUIT\r\n",
                  "AUTH OAUTHBEARER\r\n" + token + "\r\nQUIT\r\n", token + "\r\nSTAT\r\nQUIT\r\n"));
  EXPECT_GE(authorizer_.RefreshGrants(), 1);

  // Revoked at the provider: the check says so, and so does the editor.
  authorizer_.RevokeRefreshTokens();
  reports_.clear();
  CheckAll();
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_FALSE(CheckFailed(reports_[0].outcome)) << reports_[0].reason;
  EXPECT_THAT(reports_[1].reason, HasSubstr("has expired or was revoked"));
  Click(Control::OpenButton);
  Click(Control::btnNext);
  EXPECT_EQ(SignInText(), "The sign-in with 127.0.0.1 has expired or was revoked: sign in again.");
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Sign in again");
  // As the user scrolls down to it.
  SetFocus(W(Control::btnSignIn));
  view_.ScrollFocusIntoView();
  RECT text{};
  RECT fields{};
  GetWindowRect(W(Control::lblSignIn), &text);
  GetClientRect(GetParent(W(Control::lblSignIn)), &fields);
  MapWindowPoints(GetParent(W(Control::lblSignIn)), nullptr, reinterpret_cast<POINT*>(&fields), 2);
  EXPECT_LE(text.bottom, fields.bottom) << "the button's text is out of sight";
  Shot("editor-sign-in-again");
}

}  // namespace
}  // namespace corvel::test
