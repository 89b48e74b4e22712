// Passwords in the system keyring, against a real gnome-keyring in a private
// D-Bus session (run_in_session.sh): the store itself, `corvel accounts set
// --secret-store` moving a password in and out, a check that logs in with the
// keyring's password while the accounts file holds no trace of it, and a
// locked keyring failing the check with its reason and nothing written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <sstream>
#include <string>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_record.h"
#include "accounts/file_io.h"
#include "app/auth/account_secrets.h"
#include "app/auth/secret_store.h"
#include "console/commands.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kPassword[] = "s3cret-in-keyring";

struct CommandRun {
  int status = -1;
  std::string out, err;
};

class Keyring : public ::testing::Test {
 protected:
  Keyring() {
    MailboxOptions options;
    options.password = kPassword;
    server_.SetOptions(options);
  }

  CommandRun Corvel(std::vector<std::string> arguments) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream out, err;
    CommandRun run;
    run.status = console::Main(arguments, environment, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  void AddAccount() {
    const CommandRun run = Corvel({"accounts", "add", "--name", "Home", "--server", "127.0.0.1",
                                   "--port", server_.PortText(), "--user", "user", "--password",
                                   kPassword, "--secret-store", "keyring"});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  static SecretKey Key() {
    AccountFile file;
    file.Open();
    return KeyringKeyOf(file.ReadRecord(0));
  }

  // The accounts file holds the password neither as typed nor scrambled.
  static void ExpectNoTraceOfThePassword() {
    const std::string file = ReadWholeFile("mail.accounts.qor");
    EXPECT_THAT(file, Not(HasSubstr(kPassword)));
    EXPECT_THAT(file,
                Not(HasSubstr(ScrambleText(ScrambleText(kPassword, kPasswordKey), kFieldKey))));
  }

  MailboxPop3Server server_;
  WorkingFolder folder_;
};

// An entry as older versions filed it: no account attribute.
bool LegacyWrite(const SecretKey& key, const char* secret) {
  SecretSchema schema{};
  schema.name = "org.qor.Corvel.Account";
  schema.attributes[0] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
  schema.attributes[1] = {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER};
  schema.attributes[2] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
  schema.attributes[3] = {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING};
  return secret_password_store_sync(&schema, SECRET_COLLECTION_DEFAULT, "Corvel: older", secret,
                                    nullptr, nullptr, "server", key.server.c_str(), "port",
                                    static_cast<int>(key.port), "user", key.user.c_str(), "kind",
                                    key.kind.c_str(), nullptr) != 0;
}

TEST_F(Keyring, StoresReadsReplacesAndErases) {
  auto store = SystemSecretStore();
  SecretKey key{"pop.example.org", 995, "tim", "password", "home.uidl"};
  ASSERT_TRUE(store->Write(key, "Corvel: tim", "first").ok);
  ASSERT_TRUE(store->Write(key, "Corvel: tim", "second").ok);
  const SecretResult read = store->Read(key);
  ASSERT_TRUE(read.ok) << read.reason;
  EXPECT_EQ(read.secret, "second");
  key.port = 110;  // another account
  EXPECT_FALSE(store->Read(key).ok);
  key.port = 995;
  ASSERT_TRUE(store->Erase(key).ok);
  const SecretResult gone = store->Read(key);
  EXPECT_FALSE(gone.ok);
  EXPECT_EQ(gone.reason, "No password for this account in the keyring");

  // An entry of an older version (no account) and an account's own entry
  // for the same user: each key reaches its own, the search for the older
  // one finding both notwithstanding.
  SecretKey older = key;
  older.account.clear();
  EXPECT_FALSE(store->Write(older, "Corvel: tim", "older").ok);  // never written any more
  ASSERT_TRUE(LegacyWrite(older, "older"));
  ASSERT_TRUE(store->Write(key, "Corvel: tim", "own").ok);
  EXPECT_EQ(store->Read(older).secret, "older");
  EXPECT_EQ(store->Read(key).secret, "own");
  ASSERT_TRUE(store->Erase(older).ok);
  EXPECT_FALSE(store->Read(older).ok);
  EXPECT_EQ(store->Read(key).secret, "own");
  ASSERT_TRUE(store->Erase(key).ok);
}

TEST_F(Keyring, CheckLogsInWithTheKeyringsPasswordAndTheFileKeepsNoTrace) {
  AddAccount();
  ExpectNoTraceOfThePassword();
  EXPECT_EQ(SystemSecretStore()->Read(Key()).secret, kPassword);
  EXPECT_THAT(Corvel({"accounts", "list"}).out, HasSubstr("secret keyring"));

  CommandRun run = Corvel({"check"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("Logged in!"));
  ExpectNoTraceOfThePassword();

  // Back into the file: the keyring no longer holds it.
  run = Corvel({"accounts", "set", "Home", "--secret-store", "file"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(ReadWholeFile("mail.accounts.qor"),
              HasSubstr(ScrambleText(ScrambleText(kPassword, kPasswordKey), kFieldKey)));
  EXPECT_FALSE(SystemSecretStore()->Read(Key()).ok);
  EXPECT_EQ(Corvel({"check"}).status, 0);
}

// Runs last: a locked keyring cannot be unlocked again without a prompt.
TEST_F(Keyring, ZLockedKeyringFailsTheCheckAndTouchesNoFile) {
  AddAccount();
  const std::string before = ReadWholeFile("mail.accounts.qor");
  {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_NE(service, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_NE(collection, nullptr);
    GList* objects = g_list_append(nullptr, collection);
    ASSERT_EQ(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1);
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(service);
  }
  const CommandRun run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("Password not available: The keyring is locked")) << run.err;
  EXPECT_EQ(server_.SessionCount(), 0u);

  const CommandRun moved = Corvel({"accounts", "set", "Home", "--secret-store", "file"});
  EXPECT_NE(moved.status, 0);
  EXPECT_THAT(moved.err, HasSubstr("The keyring is locked"));
  EXPECT_EQ(ReadWholeFile("mail.accounts.qor"), before);
}

}  // namespace
}  // namespace corvel::test
