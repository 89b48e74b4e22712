#include "app/system/file_watch.h"

#include <windows.h>

#include <atomic>
#include <memory>

namespace corvel {

namespace {

// A change notification of the folder, waited for by the system's thread
// pool; each one is handed to the loop thread.
class FolderNotificationWatch final : public FileWatch {
 public:
  FolderNotificationWatch(EventLoop& loop, HANDLE change, std::function<void()> onChanged)
      : loop_(loop), change_(change), state_(std::make_shared<State>()) {
    state_->onChanged = std::move(onChanged);
  }
  ~FolderNotificationWatch() override {
    // Waits for a callback under way; a change already posted finds the
    // watch gone and does nothing.
    if (wait_ != nullptr) ::UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    state_->alive = false;
    ::FindCloseChangeNotification(change_);
  }
  FolderNotificationWatch(const FolderNotificationWatch&) = delete;
  FolderNotificationWatch& operator=(const FolderNotificationWatch&) = delete;

  bool Start() {
    return ::RegisterWaitForSingleObject(&wait_, change_, &Signalled, this, INFINITE,
                                         WT_EXECUTEDEFAULT) != FALSE;
  }

 private:
  struct State {
    std::atomic<bool> alive{true};  // read on the loop thread only, after the wait ended
    std::function<void()> onChanged;
  };

  static void CALLBACK Signalled(void* context, BOOLEAN /*timedOut*/) {
    auto* watch = static_cast<FolderNotificationWatch*>(context);
    // The next change is reported again from here on.
    ::FindNextChangeNotification(watch->change_);
    std::shared_ptr<State> state = watch->state_;
    watch->loop_.Post([state] {
      if (state->alive && state->onChanged) state->onChanged();
    });
  }

  EventLoop& loop_;
  HANDLE change_;
  HANDLE wait_ = nullptr;
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(EventLoop& loop, const std::filesystem::path& file,
                                     std::function<void()> onChanged) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  // The folder's files written, created, renamed or removed: the system does
  // not tell which, so every change of the folder is reported.
  HANDLE change =
      ::FindFirstChangeNotificationW(folder.wstring().c_str(), FALSE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  if (change == INVALID_HANDLE_VALUE) return nullptr;
  auto watch = std::make_unique<FolderNotificationWatch>(loop, change, std::move(onChanged));
  if (!watch->Start()) return nullptr;
  return watch;
}

}  // namespace corvel
