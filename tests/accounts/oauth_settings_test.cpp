// The login kind and secret store bytes of a record, and the OAuth2 settings
// file beside the accounts file.
#include "accounts/oauth_settings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "accounts/account_record.h"
#include "accounts/file_io.h"
#include "test_folder.h"

namespace corvel {
namespace {

TEST(AccountRecordLogin, LivesInBytes410And411AndUnknownValuesReadAsBefore) {
  AccountRecord record;
  record.SetPlainPassword(kOAuthMarker);
  record.SetLogin(LoginKind::loginOAuthBuiltIn);
  record.SetSecretIn(SecretPlace::secretKeyring);
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(bytes[410], 2);
  EXPECT_EQ(bytes[411], 1);
  EXPECT_EQ(AccountRecord::FromBytes(std::span<const char, kRecordSize>(bytes.data(), kRecordSize))
                .Login(),
            LoginKind::loginOAuthBuiltIn);
  record.LoginKindByte = 7;
  record.SecretStoreByte = 0xFF;
  EXPECT_EQ(record.Login(), LoginKind::loginPassword);
  EXPECT_EQ(record.SecretIn(), SecretPlace::secretFile);
  EXPECT_FALSE(record.UsesOAuth());
}

TEST(OAuthSettingsFile, KeepsEachAccountsSettingsUnderItsSeenFileName) {
  testing::TestFolder folder;
  const auto path = OAuthSettingsFileFor(folder / "mail.accounts.qor");
  EXPECT_EQ(path, folder / "mail.oauth.qor");
  OAuthSettingsFile file(path);
  file.Load();  // no file yet: no settings
  EXPECT_FALSE(file.Find("A.uidl"));
  OAuthSettings work;
  work.command = "oama access 'tim@example.com'";
  OAuthSettings home;
  home.provider = "google";
  home.clientId = "123.apps";
  file.Set("A.uidl", work);
  file.Set("B.uidl", home);
  file.Save();
  EXPECT_EQ(ReadWholeFile(path),
            "[A.uidl]\ncommand=oama access 'tim@example.com'\n"
            "[B.uidl]\nprovider=google\nclient-id=123.apps\n");

  ReplaceFileAtomically(path,
                        ReadWholeFile(path) + "junk\nfuture=1\r\n[C.uidl]\r\ncommand=x=y\r\n");
  OAuthSettingsFile reread(path);
  reread.Load();
  EXPECT_EQ(reread.Find("A.uidl"), work);
  EXPECT_EQ(reread.Find("B.uidl"), home);
  EXPECT_EQ(reread.Find("C.uidl")->command, "x=y");
  work.command = "two\nlines";
  EXPECT_THROW(reread.Set("A.uidl", work), std::invalid_argument);
  reread.Erase("A.uidl");
  EXPECT_FALSE(reread.Find("A.uidl"));
}

// Two processes load the file, each changes its own account's section and
// saves: both changes are there, and a section erased stays erased.
TEST(OAuthSettingsFile, ASaveKeepsTheSectionsAnotherProcessSavedMeanwhile) {
  testing::TestFolder folder;
  const auto path = folder / "mail.oauth.qor";
  ReplaceFileAtomically(path, "[A.uidl]\ncommand=a\n[Gone.uidl]\ncommand=g\n");
  OAuthSettingsFile first(path);
  OAuthSettingsFile second(path);
  first.Load();
  second.Load();
  OAuthSettings b;
  b.command = "b";
  first.Set("B.uidl", b);
  first.Erase("Gone.uidl");
  first.Save();
  OAuthSettings c;
  c.provider = "google";
  second.Set("C.uidl", c);
  second.Save();
  EXPECT_EQ(ReadWholeFile(path),
            "[A.uidl]\ncommand=a\n[B.uidl]\ncommand=b\n[C.uidl]\nprovider=google\n");
  EXPECT_EQ(second.Find("B.uidl"), b);
}

}  // namespace
}  // namespace corvel
