// `corvel accounts` and the security mode: stored in byte 203 by add and set,
// shown by list, refused when it is not one of the three words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "accounts/account_file.h"
#include "console/commands.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

class ConsoleSecurity : public ::testing::Test {
 protected:
  CommandRun Corvel(std::vector<std::string> arguments) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream out;
    std::ostringstream err;
    CommandRun run;
    run.status = console::Main(arguments, environment, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  void Add(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {
        "accounts",        "add",    "--name", name,         "--server",
        "pop.example.org", "--user", "me",     "--password", "pw"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const CommandRun run = Corvel(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
  }

  static std::uint8_t StoredByte(std::size_t index) {
    AccountFile file;
    file.Open();
    return static_cast<std::uint8_t>(file.ReadRecord(index).ToBytes()[kSecurityModeOffset]);
  }

  WorkingFolder folder_;
};

TEST_F(ConsoleSecurity, AddStoresEachModeAndListShowsIt) {
  Add("Plain", {});
  Add("Upgrade", {"--security", "starttls"});
  Add("Secure", {"--port", "995", "--security", "tls"});
  EXPECT_EQ(StoredByte(0), 0);
  EXPECT_EQ(StoredByte(1), 1);
  EXPECT_EQ(StoredByte(2), 2);
  const CommandRun list = Corvel({"accounts", "list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("#0\tPlain\tpop.example.org:110\t"));
  EXPECT_THAT(list.out, HasSubstr("\tsecurity auto\t"));
  EXPECT_THAT(list.out, HasSubstr("\tsecurity starttls\t"));
  EXPECT_THAT(list.out, HasSubstr("Secure\tpop.example.org:995\t"));
  EXPECT_THAT(list.out, HasSubstr("\tsecurity tls\t"));
}

TEST_F(ConsoleSecurity, SetChangesTheModeAndRefusesAnUnknownWord) {
  Add("Home", {"--security", "tls"});
  EXPECT_EQ(Corvel({"accounts", "set", "Home", "--security", "auto"}).status, 0);
  EXPECT_EQ(StoredByte(0), 0);
  const CommandRun refused = Corvel({"accounts", "set", "Home", "--security", "ssl"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr("--security takes auto, starttls or tls, not 'ssl'"));
  EXPECT_EQ(StoredByte(0), 0);
}

}  // namespace
}  // namespace corvel::test
