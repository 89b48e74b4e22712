// Telling when another program changed a file of the working folder (the
// accounts file, written by `corvel accounts ...`), so that the running
// program, asleep until its next check, looks at it at once instead of at
// that check. Linux: inotify on the folder (posix/file_watch.cpp); Windows: a
// change notification of the folder (win32/file_watch.cpp).
//
// The watch may report a change more than once, and changes of other files of
// the folder too where the system cannot tell them apart (Windows): the caller
// looks at the file itself. The program's own writes are reported as well.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "net/event_loop.h"

namespace corvel {

class FileWatch {
 public:
  virtual ~FileWatch() = default;
};

// Watches `file` (by its folder, so that a file replaced by renaming another
// over it is seen too) until the result is destroyed; `onChanged` runs on the
// loop thread, never after that. Nothing where the system offers no watch;
// the program then sees the change at its next check.
[[nodiscard]] std::unique_ptr<FileWatch> WatchFile(EventLoop& loop,
                                                   const std::filesystem::path& file,
                                                   std::function<void()> onChanged);

}  // namespace corvel
