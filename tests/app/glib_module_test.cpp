// The keyring and the session bus come from the module corvel-glib.so,
// loaded at their first use. Where it cannot be loaded, the keyring fails
// with a reason naming the module and the loader's own words, the program is
// not offered on the bus (the log says why), and the checks go on.
#include "app/bus/posix/glib_module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

TEST_F(MainWindowTest, WithoutTheGlibModuleTheKeyringFailsAndTheBusIsNotOfferedButChecksGoOn) {
  // The module is loaded once per process: the case runs in a process of its
  // own, started afresh rather than forked from one that may have loaded it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr char kMissing[] = "/nonexistent/corvel-glib-missing.so";
  const std::string reason = std::string("the GLib module (") + kMissing +
                             ") could not be loaded: " + kMissing +
                             ": cannot open shared object file";
  EXPECT_EXIT(
      {
        SetGlibModuleFile(kMissing);
        MailboxPop3Server server;
        server.AddMessage("m1", "From: a@example.org\r\nSubject: Hi\r\n\r\nHi\r\n");
        TestAccount home;
        home.port = server.PortText();
        AddAccount(home);
        MainWindowOptions options;
        options.longRunning = true;
        options.exportBus = true;
        Start(std::move(options));
        Tick();
        for (const std::string& line : LogEntries()) std::cerr << "log " << line << "\n";
        const SecretResult written =
            SystemSecretStore()->Write({"h", 110, "u", "password", "a"}, "label", "secret");
        std::cerr << "keyring written=" << written.ok << ": " << written.reason << "\n"
                  << "reachable=" << SystemKeyringReachable() << "\n";
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("log |Not offered on the session bus: " + reason),
            HasSubstr("log Home|Logged out from 127.0.0.1"),
            HasSubstr("keyring written=0: No keyring: " + reason), HasSubstr("reachable=0")));
}

}  // namespace
}  // namespace corvel::test
