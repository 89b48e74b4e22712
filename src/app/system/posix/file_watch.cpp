#include "app/system/file_watch.h"

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#endif

namespace corvel {

#ifdef __linux__
namespace {

class InotifyWatch final : public FileWatch {
 public:
  InotifyWatch(EventLoop& loop, int fd, std::string name, std::function<void()> onChanged)
      : loop_(loop), fd_(fd), name_(std::move(name)), onChanged_(std::move(onChanged)) {
    loop_.WatchSocket(fd_, EventLoop::kIoReadable, [this](unsigned) { Drain(); });
  }
  ~InotifyWatch() override {
    loop_.UnwatchSocket(fd_);
    ::close(fd_);
  }
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

 private:
  void Drain() {
    bool changed = false;
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
      const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
      if (got <= 0) break;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + at, sizeof event);
        const char* name = buffer.data() + at + sizeof(inotify_event);
        // The folder's own end (removed, unmounted) is a change too: the
        // file is gone with it.
        if ((event.mask & (IN_IGNORED | IN_Q_OVERFLOW)) != 0 ||
            (event.len > 0 && name_ == std::string(name, ::strnlen(name, event.len)))) {
          changed = true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
    if (changed && onChanged_) onChanged_();
  }

  EventLoop& loop_;
  int fd_;
  std::string name_;
  std::function<void()> onChanged_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(EventLoop& loop, const std::filesystem::path& file,
                                     std::function<void()> onChanged) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  // A write that ends, a file renamed or moved into place, created, removed.
  constexpr std::uint32_t kChanges =
      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
  if (::inotify_add_watch(fd, folder.c_str(), kChanges) < 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<InotifyWatch>(loop, fd, file.filename().string(), std::move(onChanged));
}

#else

std::unique_ptr<FileWatch> WatchFile(EventLoop&, const std::filesystem::path&,
                                     std::function<void()>) {
  return nullptr;
}

#endif

}  // namespace corvel
