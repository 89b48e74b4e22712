// Whole programs run by the benchmarks: ours and fetchmail, each started
// through the shell the same way, so that a comparison of the two counts the
// same start-up on both sides.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvel::bench {

// Runs a shell command; its exit status, or -1.
inline int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string FileText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Times `command` (its output going to OUTPUT) once per iteration; an exit
// status above `worstStatus` ends the benchmark with what the command said.
inline void TimeCommand(benchmark::State& state, const std::string& command,
                        const std::string& output, int worstStatus) {
  const std::string redirected = command + " >'" + output + "' 2>&1";
  for (auto _ : state) {
    const int status = Run(redirected);
    if (status < 0 || status > worstStatus) {
      state.SkipWithError(("the command failed: " + FileText(output)).c_str());
      return;
    }
  }
}

// `fetchmail --check` of one mailbox in the current folder: POLL is the
// rc file's poll entry, IDS the lines of its id file (the messages it has
// seen). fetchmail's last word on the count ("10000 messages (10000 seen)
// for ...") becomes the label: the proof that it found nothing new.
inline void TimeFetchmailCheck(benchmark::State& state, const std::string& poll,
                               const std::vector<std::string>& ids) {
  if (Run("command -v fetchmail >/dev/null 2>&1") != 0) {
    state.SkipWithError("fetchmail is not installed (the bench's script installs it)");
    return;
  }
  const std::string here = std::filesystem::current_path().string();
  {
    std::ofstream rc("fetchmailrc");
    rc << "set no syslog\n" << poll << '\n';
    std::ofstream idFile("fetchids");
    for (const std::string& id : ids) idFile << id << '\n';
  }
  // fetchmail refuses files that others may read.
  for (const char* file : {"fetchmailrc", "fetchids"}) {
    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  // --check ends with 1 when there is no new mail, 0 when there is.
  TimeCommand(state,
              "fetchmail --check --fetchmailrc '" + here + "/fetchmailrc' --idfile '" + here +
                  "/fetchids' --nodetach",
              "fetchmail.out", 1);
  std::ifstream out("fetchmail.out");
  std::string line;
  while (std::getline(out, line)) {
    if (line.find("messages") != std::string::npos) state.SetLabel(line);
  }
}

}  // namespace corvel::bench
