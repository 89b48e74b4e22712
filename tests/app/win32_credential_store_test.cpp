// The Windows keyring: generic credentials of the Credential Manager (under
// Wine, kept in the test prefix).
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>
#include <wincred.h>

#include "app/auth/secret_store.h"

namespace corvel {
namespace {

class CredentialStoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const SecretKey& key : {home_, otherPort_, token_}) (void)store_->Erase(key);
  }

  std::unique_ptr<SecretStore> store_ = SystemSecretStore();
  SecretKey home_{"pop.example.com", 995, "tim", std::string(kSecretKindPassword), "home.uidl"};
  SecretKey otherPort_{"pop.example.com", 110, "tim", std::string(kSecretKindPassword),
                       "home.uidl"};
  SecretKey token_{"pop.example.com", 995, "tim", std::string(kSecretKindRefreshToken),
                   "home.uidl"};
};

TEST_F(CredentialStoreTest, WritesReadsReplacesAndErasesEachSecretOnItsOwn) {
  ASSERT_TRUE(store_->Write(home_, "Corvel: Home", "s3cr\xC3\xA9t").ok);
  ASSERT_TRUE(store_->Write(token_, "Corvel: Home", "refresh-1").ok);
  EXPECT_FALSE(store_->Read(otherPort_).ok);

  SecretResult read = store_->Read(home_);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.secret, "s3cr\xC3\xA9t");
  ASSERT_TRUE(store_->Write(home_, "Corvel: Home", "new").ok);
  EXPECT_EQ(store_->Read(home_).secret, "new");
  EXPECT_EQ(store_->Read(token_).secret, "refresh-1");

  EXPECT_TRUE(store_->Erase(home_).ok);
  read = store_->Read(home_);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.reason, "No password for this account in the Credential Manager");
  EXPECT_TRUE(store_->Erase(home_).ok) << "erasing what is not there is no failure";
  EXPECT_EQ(store_->Read(token_).secret, "refresh-1");
}

TEST_F(CredentialStoreTest, FilesTheSecretAsAGenericCredentialNamedByKindUserServerPortAndAccount) {
  ASSERT_TRUE(store_->Write(home_, "Corvel: Home", "pw").ok);
  CREDENTIALW* credential = nullptr;
  ASSERT_TRUE(CredReadW(L"Corvel:password:tim@pop.example.com:995:home.uidl", CRED_TYPE_GENERIC, 0,
                        &credential));
  EXPECT_EQ(std::wstring(credential->UserName), L"tim");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(credential->CredentialBlob),
                        credential->CredentialBlobSize),
            "pw");
  CredFree(credential);

  // Older versions named it without the account; such a key reads it, and is
  // never written.
  SecretKey older = home_;
  older.account.clear();
  EXPECT_FALSE(store_->Write(older, "Corvel: Home", "old").ok);
  EXPECT_FALSE(store_->Read(older).ok);
}

}  // namespace
}  // namespace corvel
