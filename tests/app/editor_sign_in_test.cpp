// The editor's login choice and its sign-in against a small local
// authorization server: only the chosen login's fields show; "Update" writes
// a sign-in account only once it is signed in; the sign-in waits without
// holding the loop, can be cancelled, tells the provider's refusal, writes
// the account when it succeeds, and says "sign in again" once the refresh
// token is revoked; a token command is checked as the command line checks it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "accounts/file_io.h"
#include "accounts/oauth_settings.h"
#include "main_window_fixture.h"
#include "memory_keyring.h"
#include "support/oauth_test_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class EditorSignInTest : public MainWindowTest {
 protected:
  void StartEditor(std::function<bool(const std::string&, std::string&)> browser) {
    MainWindowOptions options;
    options.keyring = keyring_;
    options.openBrowser = std::move(browser);
    options.signInTimeoutMs = 20000;
    Start(std::move(options));
    window_->OpenButtonClick();
    window_->btnNewClick();
    view_.SetChecked(Control::EnableAccChkBx, true);
    view_.SetText(Control::AccountNameEdit, "Work");
    view_.SetText(Control::ServerEdit, "127.0.0.1");
    view_.SetText(Control::PortEdit, ClosedPort());
    view_.SetText(Control::UserEdit, "tim@example.com");
    view_.SetText(Control::SecurityBox, kSecurityChoices[2]);
  }
  void Choose(LoginChoice choice) {
    view_.SetText(Control::LoginBox, LoginChoiceCaption(choice));
    window_->LoginBoxChange();
  }
  void FillProvider() {
    view_.SetText(Control::AuthUrlEdit, authorizer_.AuthorizeUrl());
    view_.SetText(Control::TokenUrlEdit, authorizer_.TokenUrl());
    view_.SetText(Control::ScopeEdit, "pop offline_access");
    view_.SetText(Control::ClientIdEdit, OAuthTestServer::kClientId);
  }
  std::string SignInText() const { return view_.Text(Control::lblSignIn); }
  static std::size_t RecordsOnDisk() { return ReadWholeFile(kAccountsFileName).size() / 688; }

  std::shared_ptr<MemoryKeyring> keyring_ = std::make_shared<MemoryKeyring>();
  OAuthTestServer authorizer_;
};

TEST_F(EditorSignInTest, SignInWritesTheAccountOnceTheProviderLetsCorvelInAndSaysWhenItIsLost) {
  StartEditor(authorizer_.Browser());
  EXPECT_TRUE(view_.ControlVisible(Control::PassEdit));
  EXPECT_TRUE(view_.Checked(Control::KeyringChkBx));  // a keyring is there
  Choose(LoginChoice::otherOAuth);
  for (Control row : {Control::AuthUrlEdit, Control::TokenUrlEdit, Control::ScopeEdit,
                      Control::ClientIdEdit, Control::ClientSecretEdit, Control::btnSignIn}) {
    EXPECT_TRUE(view_.ControlVisible(row));
  }
  EXPECT_FALSE(view_.ControlVisible(Control::PassEdit));
  EXPECT_FALSE(view_.ControlVisible(Control::KeyringChkBx));
  EXPECT_THAT(SignInText(), StartsWith("Not signed in yet."));

  // The command line's refusals, before anything is written or opened.
  window_->btnSignInClick();
  EXPECT_EQ(view_.Informations().back(), "A client ID is needed (--client-id)!");
  FillProvider();
  view_.SetText(Control::TokenUrlEdit, "http://tokens.example.com/token");
  window_->btnSignInClick();
  EXPECT_THAT(view_.Informations().back(), StartsWith("The token address (--token-url) must be"));
  view_.SetText(Control::TokenUrlEdit, authorizer_.TokenUrl());
  window_->btnUpdateClick();
  EXPECT_THAT(view_.Informations().back(),
              StartsWith("Click \"Sign in\" to sign in with 127.0.0.1"));
  EXPECT_EQ(RecordsOnDisk(), 0u);
  EXPECT_EQ(authorizer_.CodeGrants(), 0);

  window_->btnSignInClick();
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Cancel");
  EXPECT_FALSE(view_.ControlEnabled(Control::btnUpdate));
  EXPECT_FALSE(view_.ControlEnabled(Control::ClientIdEdit));
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText() == "Signed in with 127.0.0.1."; }))
      << SignInText() << authorizer_.Refusals();
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Sign in again");
  EXPECT_TRUE(view_.ControlEnabled(Control::btnUpdate));
  EXPECT_EQ(view_.Text(Control::btnUpdate), "Update");
  ASSERT_EQ(RecordsOnDisk(), 1u);
  AccountFile file;
  file.Open();
  const AccountRecord record = file.ReadRecord(0);
  EXPECT_EQ(record.Login(), LoginKind::loginOAuthBuiltIn);
  EXPECT_EQ(record.PlainPassword(), kOAuthMarker);
  EXPECT_FALSE(keyring_->secrets[MemoryKeyring::Name(KeyringKeyOf(record, kSecretKindRefreshToken))]
                   .empty());
  OAuthSettingsFile settings(OAuthSettingsFileFor(kAccountsFileName));
  settings.Load();
  EXPECT_EQ(settings.Find(record.PlainUidlFileName())->tokenUrl, authorizer_.TokenUrl());
  // Signed in the same way, "Update" writes the rest.
  view_.SetText(Control::SecsEdit, "600");
  window_->btnUpdateClick();
  AccountFile updated;
  updated.Open();
  EXPECT_EQ(updated.ReadRecord(0).Interval, 600);
  EXPECT_EQ(updated.ReadRecord(0).Login(), LoginKind::loginOAuthBuiltIn);

  // The provider no longer takes the refresh token: the check says so, and
  // the editor asks to sign in again.
  authorizer_.RevokeRefreshTokens();
  window_->OpenButtonClick();
  window_->CheckAllNow();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Text(Control::LoginBox), "Other OAuth2 provider\u2026");
  EXPECT_EQ(SignInText(), "The sign-in with 127.0.0.1 has expired or was revoked: sign in again.");
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

TEST_F(EditorSignInTest, ACancelledSignInWritesNothingAndARefusalIsShown) {
  std::string shownUrl;
  StartEditor([&](const std::string& url, std::string&) {
    shownUrl = url;
    return true;  // the user never comes back
  });
  Choose(LoginChoice::otherOAuth);
  FillProvider();
  window_->btnSignInClick();
  ASSERT_TRUE(WaitFor(loop_, [&] { return !shownUrl.empty(); }));
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText().starts_with("Sign in at 127.0.0.1"); }));
  window_->btnSignInClick();  // "Cancel"
  EXPECT_EQ(SignInText(), "The sign-in was cancelled.");
  EXPECT_EQ(view_.Text(Control::btnSignIn), "Sign in");
  EXPECT_TRUE(view_.ControlEnabled(Control::btnUpdate));
  EXPECT_EQ(view_.Text(Control::btnUpdate), "Add acct.");
  EXPECT_EQ(RecordsOnDisk(), 0u);

  // The provider says no: its words are shown, and nothing is written.
  authorizer_.DenyAuthorization("access_denied");
  shownUrl.clear();
  window_->btnSignInClick();
  ASSERT_TRUE(WaitFor(loop_, [&] { return !shownUrl.empty(); }));
  std::string why;
  ASSERT_TRUE(authorizer_.Browser()(shownUrl, why));
  ASSERT_TRUE(WaitFor(loop_, [&] { return SignInText().starts_with("Not signed in"); }));
  EXPECT_THAT(SignInText(), HasSubstr("the provider refused the authorization: access_denied"));
  EXPECT_EQ(RecordsOnDisk(), 0u);

  // A token command the command line would refuse is refused here too.
  Choose(LoginChoice::tokenCommand);
  EXPECT_TRUE(view_.ControlVisible(Control::TokenCommandEdit));
  EXPECT_FALSE(view_.ControlVisible(Control::btnSignIn));
  view_.SetText(Control::TokenCommandEdit, "oama access 'tim");
  window_->btnUpdateClick();
  EXPECT_THAT(view_.Informations().back(), StartsWith("The token command cannot be read: "));
  view_.SetText(Control::TokenCommandEdit, "oama access tim@example.com");
  window_->btnUpdateClick();
  ASSERT_EQ(RecordsOnDisk(), 1u);
  AccountFile file;
  file.Open();
  EXPECT_EQ(file.ReadRecord(0).Login(), LoginKind::loginOAuthCommand);
}

}  // namespace
}  // namespace corvel::test
