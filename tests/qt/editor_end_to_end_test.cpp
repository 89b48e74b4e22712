// The Qt account editor end to end, as a user types into it (QTest), with a
// real gnome-keyring (the test runs inside tests/keyring/run_in_session.sh),
// the project's OAuth2 authorization server and Dovecot over TLS: a password
// account kept in the keyring, and an account that signs in at "another
// OAuth2 provider" (waiting, cancelled, refused, signed in, and asked to
// sign in again once the provider revokes it), both checked against
// Dovecot. Each state of the editor is saved as a picture in
// CORVEL_SCREENSHOT_DIR.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/bus/program_bus.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "qt/qt_event_loop.h"
#include "qt/qt_main_view.h"
#include "qt/qt_tray_shell.h"
#include "qt_application.h"
#include "support/dovecot.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr char kOAuthUser[] = "tim@example.com";

struct WithApplication {
  WithApplication() { App(); }
};

class EditorEndToEnd : public ::testing::Test, private WithApplication {
 protected:
  void SetUp() override {
    if (!SystemKeyringReachable()) {
      GTEST_SKIP() << "no keyring here: the test runs inside tests/keyring/run_in_session.sh";
    }
    trust_ = pki_.TrustOnly();
    const CertFiles files = pki_.Issue("good");
    DovecotOptions options;
    options.sslCertFile = files.cert;
    options.sslKeyFile = files.key;
    options.authMechanisms = "plain xoauth2 oauthbearer";
    options.oauth2IntrospectionUrl = authorizer_.IntrospectionUrl();
    authorizer_.SetUser(kOAuthUser);
    // Every access token is within a minute of its end: each check renews it.
    authorizer_.SetAccessToken("", 50);
    std::string whyNot;
    // The OAuth2 user's maildir too, so that its checks find a mailbox.
    dovecot_ =
        StartDovecotWithUsers(options, {{"pat", "pat-secret"}, {kOAuthUser, "unused"}}, whyNot);
    RequireDovecot(dovecot_.get(), whyNot);

    MainWindowOptions windowOptions;
    windowOptions.openBrowser = [this](const std::string& url, std::string& why) {
      shownUrl_ = url;
      return !follow_ || authorizer_.Browser()(url, why);
    };
    windowOptions.signInTimeoutMs = 30000;
    window_ = std::make_unique<MainWindow>(loop_, view_, shell_, settings_, locale_,
                                           std::move(windowOptions));
    view_.Attach(*window_);
    window_->FormCreate();
    view_.resize(400, 517);
    view_.show();
    screenshots_ = CORVEL_SCREENSHOT_DIR;
    std::filesystem::create_directories(screenshots_);
  }
  void TearDown() override { window_.reset(); }

  QWidget* W(Control control) { return view_.Widget(control); }
  void Click(Control control) { QTest::mouseClick(W(control), Qt::LeftButton); }
  void Type(Control control, const QString& text) {
    auto* edit = qobject_cast<QLineEdit*>(W(control));
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  void Choose(Control control, const QString& caption) {
    auto* box = qobject_cast<QComboBox*>(W(control));
    const int index = box->findText(caption);
    ASSERT_GE(index, 0) << caption.toStdString();
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  QString SignInText() {
    return qobject_cast<QPlainTextEdit*>(W(Control::lblSignIn))->toPlainText();
  }
  void Shot(const std::string& name) {
    QApplication::processEvents();
    view_.grab().save(QString::fromStdString((screenshots_ / (name + ".png")).string()));
  }
  void NewAccount(const QString& name, const QString& user) {
    Click(Control::btnNew);
    qobject_cast<QCheckBox*>(W(Control::EnableAccChkBx))->click();
    Type(Control::AccountNameEdit, name);
    Type(Control::ServerEdit, "localhost");
    Type(Control::PortEdit, QString::fromStdString(dovecot_->TlsPortText()));
    Type(Control::UserEdit, user);
    Choose(Control::SecurityBox, "TLS");
  }
  std::vector<CheckReport> CheckAll() {
    std::vector<CheckReport> reports = window_->CheckAllNow();
    for (const CheckReport& report : reports) {
      EXPECT_FALSE(CheckFailed(report.outcome) && report.account == "Home")
          << report.reason << dovecot_->LogText();
    }
    return reports;
  }

  OAuthTestServer authorizer_;
  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  std::unique_ptr<DovecotServer> dovecot_;
  WorkingFolder folder_;
  qt::QtEventLoop loop_;
  qt::QtMainView view_;
  qt::QtTrayShell shell_{loop_};
  MemorySettingsStore settings_;
  FixedLocaleFormat locale_;
  std::unique_ptr<MainWindow> window_;
  std::filesystem::path screenshots_;
  std::string shownUrl_;
  bool follow_ = true;
};

TEST_F(EditorEndToEnd, APasswordInTheKeyringAndASignInBothLogInToDovecot) {
  Click(Control::OpenButton);
  NewAccount("Home", "pat");
  EXPECT_EQ(qobject_cast<QComboBox*>(W(Control::LoginBox))->currentText(), "Password");
  // A keyring is there: the password goes into it unless the user says no.
  EXPECT_TRUE(qobject_cast<QCheckBox*>(W(Control::KeyringChkBx))->isChecked());
  Type(Control::PassEdit, "pat-secret");
  Shot("editor-password-keyring");
  Click(Control::btnUpdate);
  EXPECT_EQ(window_->EditRecord().PlainPassword(), kKeyringMarker);
  EXPECT_EQ(qobject_cast<QLineEdit*>(W(Control::PassEdit))->text(), "");
  EXPECT_EQ(qobject_cast<QLineEdit*>(W(Control::PassEdit))->placeholderText(),
            "Kept in the system keyring");
  Shot("editor-password-kept");

  NewAccount("Work", kOAuthUser);
  Choose(Control::LoginBox, "Sign in with Microsoft\u2026");
  Shot("editor-microsoft");
  Choose(Control::LoginBox, "Token command\u2026");
  Shot("editor-token-command");
  Choose(Control::LoginBox, "Other OAuth2 provider\u2026");
  EXPECT_FALSE(W(Control::PassEdit)->isVisibleTo(&view_));
  EXPECT_TRUE(W(Control::ClientSecretEdit)->isVisibleTo(&view_));
  EXPECT_FALSE(W(Control::TokenCommandEdit)->isVisibleTo(&view_));
  Type(Control::AuthUrlEdit, QString::fromStdString(authorizer_.AuthorizeUrl()));
  Type(Control::TokenUrlEdit, QString::fromStdString(authorizer_.TokenUrl()));
  Type(Control::ScopeEdit, "pop offline_access");
  Type(Control::ClientIdEdit, OAuthTestServer::kClientId);
  Shot("editor-other-provider");

  // Waiting for the browser, the window goes on; the user cancels.
  follow_ = false;
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText().startsWith("Sign in at 127.0.0.1"); }));
  EXPECT_EQ(qobject_cast<QPushButton*>(W(Control::btnSignIn))->text(), "Cancel");
  EXPECT_FALSE(W(Control::btnUpdate)->isEnabled());
  Shot("editor-sign-in-waiting");
  Click(Control::btnSignIn);
  EXPECT_EQ(SignInText(), "The sign-in was cancelled.");
  Shot("editor-sign-in-cancelled");

  // The provider refuses; then lets Corvel in.
  follow_ = true;
  authorizer_.DenyAuthorization("access_denied");
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText().startsWith("Not signed in"); }));
  Shot("editor-sign-in-refused");
  authorizer_.DenyAuthorization("");
  Click(Control::btnSignIn);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return SignInText() == "Signed in with 127.0.0.1."; }, 20000))
      << SignInText().toStdString() << authorizer_.Refusals();
  Shot("editor-signed-in");

  // Both log in to Dovecot: the keyring's password and a fresh access token.
  Click(Control::OpenButton);
  ASSERT_EQ(window_->Table().Count(), 2u);
  for (const CheckReport& report : CheckAll()) {
    EXPECT_FALSE(CheckFailed(report.outcome))
        << report.account << ": " << report.reason << dovecot_->LogText();
  }
  EXPECT_GE(authorizer_.Introspections(), 1);

  // Revoked at the provider: the check says so, and so does the editor.
  authorizer_.RevokeRefreshTokens();
  const std::vector<CheckReport> reports = CheckAll();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_THAT(reports[1].reason, HasSubstr("has expired or was revoked"));
  Click(Control::OpenButton);
  Click(Control::btnNext);
  EXPECT_EQ(SignInText(), "The sign-in with 127.0.0.1 has expired or was revoked: sign in again.");
  EXPECT_EQ(qobject_cast<QPushButton*>(W(Control::btnSignIn))->text(), "Sign in again");
  Shot("editor-sign-in-again");
  Click(Control::OpenButton);
}

}  // namespace
}  // namespace corvel::test
