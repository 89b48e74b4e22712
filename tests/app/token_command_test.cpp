// The programs Corvel starts, on POSIX: the token command run without a
// shell, its first line taken, its time limited; what every child starts
// with (default signals, none blocked, no descriptor of ours).
#include "app/auth/token_command.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "accounts/file_io.h"
#include "app/process/process.h"
#include "net/posix/poll_event_loop.h"
#include "net/socket_calls.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(RunTokenCommand, TakesTheFirstLineAndKillsACommandThatHangs) {
  const TokenCommandResult ok = RunTokenCommand("printf ' ya29.tok \\r\\nsecond\\n'", 20000);
  EXPECT_TRUE(ok.ok) << ok.reason;
  EXPECT_EQ(ok.token, "ya29.tok");
  const TokenCommandResult hung = RunTokenCommand("sleep 30", 200);
  EXPECT_FALSE(hung.ok);
  EXPECT_EQ(hung.reason, "Token command did not finish within 200 ms");
}

// The command's own end counts, not that of a child it left running with
// its outputs; when the time is up, that child is killed with it.
TEST(RunCaptured, EndsWithTheProgramAndKillsItsBackgroundChildrenAtTheTimeOut) {
  const process::Captured left =
      process::RunCaptured({"sh", "-c", "sleep 30 & echo $!"}, 20000, 100);
  EXPECT_FALSE(left.timedOut);
  EXPECT_EQ(left.ending.code, 0);
  ASSERT_GT(std::atoi(left.out.c_str()), 1) << left.out;
  ::kill(std::atoi(left.out.c_str()), SIGKILL);

  // The background child holds `witness` open until it dies.
  int witness[2];
  ASSERT_EQ(::pipe2(witness, O_CLOEXEC), 0);
  ::fcntl(witness[1], F_SETFD, 0);
  const std::string fd = std::to_string(witness[1]);
  const process::Captured hung =
      process::RunCaptured({"sh", "-c", "sleep 30 " + fd + ">&" + fd + " & wait"}, 300, 100);
  ::close(witness[1]);
  EXPECT_TRUE(hung.timedOut);
  pollfd gone{witness[0], POLLIN, 0};
  EXPECT_EQ(::poll(&gone, 1, 10000), 1);
  char byte;
  EXPECT_EQ(::read(witness[0], &byte, 1), 0);  // every writer has gone
  ::close(witness[0]);
}

TEST(RunCaptured, TheChildStartsWithDefaultSignalsNoneBlockedAndNoDescriptorOfOurs) {
  test::WorkingFolder folder;
  // What a program of ours holds: an ignored SIGPIPE, a blocked signal, the
  // event loop, a socket, and a file being read by another thread.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigset_t mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &mask);
  PollEventLoop loop;
  const SocketHandle socket = sockets::Open(sockets::SocketType::kStream, 0);
  ASSERT_EQ(::mkfifo("reading", 0600), 0);
  std::thread reader([] { (void)ReadWholeFile("reading"); });
  const int writer = ::open("reading", O_WRONLY | O_CLOEXEC);  // once the reader has it open

  const process::Captured status = process::RunCaptured({"cat", "/proc/self/status"}, 20000, 65536);
  const process::Captured fds = process::RunCaptured({"ls", "-l", "/proc/self/fd/"}, 20000, 65536);
  ::close(writer);
  reader.join();
  (void)sockets::Close(socket);
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  std::signal(SIGPIPE, previous);

  EXPECT_THAT(status.out, HasSubstr("SigBlk:\t0000000000000000\n"));
  const std::size_t ignored = status.out.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos);
  EXPECT_EQ(std::stoull(status.out.substr(ignored + 8, 16), nullptr, 16) & (1ULL << (SIGPIPE - 1)),
            0u);
  EXPECT_EQ(fds.ending.code, 0) << fds.err;
  EXPECT_THAT(fds.out, Not(HasSubstr("reading")));
  EXPECT_THAT(fds.out, Not(HasSubstr("socket:")));
  EXPECT_THAT(fds.out, Not(HasSubstr("anon_inode")));
}

}  // namespace
}  // namespace corvel
