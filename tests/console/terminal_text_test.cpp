// What a server or a stranger's header sends never reaches the terminal as a
// control character (escape sequences, bells, tabs inside a column, C1
// controls), in a UTF-8 locale and in the C locale, in every output mode.
#include "console/terminal_text.h"

#include <gtest/gtest.h>
#include <langinfo.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/text/display_text.h"
#include "console/commands.h"
#include "console/json_output.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/scripted_pop3_server.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

// Nothing but printable text, tabs and line ends: no C0 control and no DEL;
// in UTF-8 no C1 control either, in a single-byte set no byte 0x80..0x9F.
bool Printable(const std::string& text, bool utf8) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0)) {
      return false;
    }
    if (c == 0xC2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
      return false;
  }
  return !utf8 || IsValidUtf8(text);
}

class TerminalOutput : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    previous_ = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, GetParam()) != nullptr) return;
    // Made for the test where the system has it not (the locales package's
    // sources and localedef).
    const std::string folder = (folder_.Path() / "locale").string();
    std::filesystem::create_directory(folder);
    const std::string make =
        "localedef -i en_US -f ISO-8859-1 " + folder + "/" + GetParam() + " >/dev/null 2>&1";
    ::setenv("LOCPATH", folder.c_str(), 1);
    if (std::system(make.c_str()) != 0 || std::setlocale(LC_ALL, GetParam()) == nullptr) {
      GTEST_SKIP() << GetParam() << " cannot be made";
    }
  }
  void TearDown() override {
    std::setlocale(LC_ALL, previous_.c_str());
    ::unsetenv("LOCPATH");
  }
  [[nodiscard]] static bool Utf8() {
    const std::string codeset = nl_langinfo(CODESET);
    return codeset == "UTF-8" || codeset == "ANSI_X3.4-1968";
  }

  int Run(std::vector<std::string> arguments, std::string& out, std::string& err) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream o, e;
    const int status = console::Main(arguments, environment, o, e);
    out = o.str();
    err = e.str();
    return status;
  }
  void Add(const std::string& port) {
    std::string out, err;
    ASSERT_EQ(Run({"accounts", "add", "--name", "Home", "--server", "127.0.0.1", "--port", port,
                   "--user", "user", "--password", "secret", "--leave-mail"},
                  out, err),
              0)
        << err;
  }

  std::string previous_;
  WorkingFolder folder_;
};

TEST_P(TerminalOutput, ARowKeepsItsSixColumnsAndNoControlCharacter) {
  MailboxPop3Server server;
  server.AddMessage("m1",
                    "From: Ann\x7F <ann@example.org>\r\n"
                    "Subject: \x1B[31mred\x07 \xC2\x9B"
                    "2J =?UTF-8?Q?=1B]0;title=07?=\r\n"
                    "Date: Mon,\t1 Jan 2024\x1B[2J\r\n\r\nx\r\n");
  Add(std::to_string(server.Port()));
  std::string out, err;
  ASSERT_EQ(Run({"check", "--all-mail"}, out, err), 0) << err;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\t'), 5) << out;
  EXPECT_TRUE(Printable(out, Utf8())) << out;
  EXPECT_TRUE(Printable(err, Utf8())) << err;
}

// The server's -ERR texts reach the reasons on standard error and in JSON.
TEST_P(TerminalOutput, AServersRefusalIsToldWithoutItsControlCharacters) {
  Pop3Script script;
  script.Send("+OK ready");
  for (int i = 0; i < 12; ++i)
    script.ReceiveLine().Send("-ERR \x1B[2J\x1B]0;owned\x07 no\x7F\xC2\x9B");
  ScriptedPop3Server server(script);
  Add(server.PortText());
  std::string out, err;
  EXPECT_EQ(Run({"check", "--json", "--quiet"}, out, err), 1);
  EXPECT_NE(err.find("corvel: Home: "), std::string::npos) << err;
  EXPECT_TRUE(Printable(err, Utf8())) << err;
  EXPECT_TRUE(Printable(out, true)) << out;  // JSON is UTF-8 in every locale
  EXPECT_EQ(nlohmann::json::parse(out)["outcome"], "login");
}

// The C locale is taken as UTF-8; ISO-8859-1 is a single-byte set with C1
// controls.
INSTANTIATE_TEST_SUITE_P(Locales, TerminalOutput,
                         ::testing::Values("C", "C.UTF-8", "en_US.ISO-8859-1"));

TEST(JsonOutput, EscapesDelAndC1ControlsThatJsonLeavesAsTheyAre) {
  CheckReport report;
  report.account = "Home";
  report.outcome = CheckOutcome::LoginFailed;
  report.reason = "-ERR a\x7F b\xC2\x9B c\x1B";
  const std::string line = console::FailureJson(report);
  EXPECT_TRUE(Printable(line, true)) << line;
  EXPECT_EQ(nlohmann::json::parse(line)["reason"], report.reason);
}

}  // namespace
}  // namespace corvel::test
