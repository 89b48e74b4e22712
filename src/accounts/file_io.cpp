#include "accounts/file_io.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "accounts/file_lock.h"

namespace corvel {

namespace {

// errno of the last C library call, or EIO when the library failed without
// saying why (a short fwrite on some platforms), so a failure is never 0.
int LastErrorNumber() { return errno != 0 ? errno : EIO; }

// The errno-style number of a filesystem error, on Windows too (where the code
// is a system error that maps onto a generic condition).
int ErrorNumberOf(const std::error_code& error) {
  const std::error_condition condition = error.default_error_condition();
  if (condition.category() == std::generic_category()) return condition.value();
  return error.value() != 0 ? error.value() : EIO;
}

std::FILE* OpenFile(const std::filesystem::path& fileName, const char* mode) {
  errno = 0;
#ifdef _WIN32
  std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return ::_wfopen(fileName.c_str(), wideMode.c_str());
#else
  // Never handed to a child process (the OnNewMail or token command).
  return std::fopen(fileName.c_str(), (std::string(mode) + "e").c_str());
#endif
}

// Pushes the file's bytes from the system's cache to the disk, so that the
// rename that follows never exposes a file whose content is not stored yet.
bool SyncFile(std::FILE* file) {
#ifdef _WIN32
  return ::_commit(::_fileno(file)) == 0;
#else
  return ::fsync(::fileno(file)) == 0;
#endif
}

// Makes the rename itself durable. Best effort: by now the new file is in
// place, and a failure here must not report the replacement as failed.
void SyncDirectory([[maybe_unused]] const std::filesystem::path& directory) {
#ifndef _WIN32
  const std::filesystem::path name = directory.empty() ? std::filesystem::path(".") : directory;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fsync(fd);
    (void)::close(fd);
  }
#endif
}

// Closes the file on every path out of a function; an explicit Close() reports
// the result of the close, which is where some systems report a failed write.
class FileHandle {
 public:
  explicit FileHandle(std::FILE* file) : file_(file) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (file_ != nullptr) (void)std::fclose(file_);
  }
  [[nodiscard]] std::FILE* get() const { return file_; }
  [[nodiscard]] bool Close() {
    std::FILE* file = std::exchange(file_, nullptr);
    errno = 0;
    return std::fclose(file) == 0;
  }

 private:
  std::FILE* file_;
};

std::string ReadOpenFile(std::FILE* file, const std::filesystem::path& fileName) {
  std::string content;
  char buffer[16384];
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    content.append(buffer, got);
    if (got < sizeof buffer) {
      if (std::ferror(file) != 0) throw InOutException(LastErrorNumber(), fileName);
      return content;
    }
  }
}

// The file a replacement really has to replace: the target of a symbolic link,
// so that the link itself survives as it would with a rewrite in place.
std::filesystem::path ResolveTarget(const std::filesystem::path& fileName) {
  std::error_code error;
  if (!std::filesystem::is_symlink(fileName, error)) return fileName;
  std::filesystem::path target = std::filesystem::canonical(fileName, error);
  return error ? fileName : target;
}

// A new file beside `target` whose name no other writer uses: "<target>.tmp."
// and a unique ending. It is created, exclusively, readable and writable by
// the user alone, before a byte is written to it, and is not handed to child
// processes. Nothing when it cannot be created (errno says why).
std::FILE* CreateTemporaryFile(const std::filesystem::path& target,
                               std::filesystem::path& temporary) {
#ifdef _WIN32
  static std::atomic<std::uint32_t> counter{0};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint64_t unique = (static_cast<std::uint64_t>(::_getpid()) << 32) ^
                                 (static_cast<std::uint64_t>(random()) << 8) ^ counter++;
    char ending[17];
    std::snprintf(ending, sizeof ending, "%016llx", static_cast<unsigned long long>(unique));
    temporary = target;
    temporary += ".tmp.";
    temporary += ending;
    errno = 0;
    const int fd =
        ::_wopen(temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr) {
      const int error = LastErrorNumber();
      (void)::_close(fd);
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      errno = error;
    }
    return file;
  }
  errno = EEXIST;
  return nullptr;
#else
  std::string name = target.string() + ".tmp.XXXXXX";
  errno = 0;
  // mkostemp makes the file with O_CREAT|O_EXCL and mode 0600.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  temporary = name;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = LastErrorNumber();
    (void)::close(fd);
    (void)::unlink(name.c_str());
    errno = error;
  }
  return file;
#endif
}

}  // namespace

std::string InOutErrorText(int errorNumber) {
  switch (errorNumber) {
    case kReadBeyondEndOfFile:
      return "Read beyond end of file";
    case ENOENT:
      return "File not found";
    case EACCES:
    case EPERM:
    case EROFS:
      return "File access denied";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case ENOSPC:
#if defined(EDQUOT) && EDQUOT != ENOSPC
    case EDQUOT:
#endif
      return "Disk full";
    default:
      return "I/O error " + std::to_string(errorNumber);
  }
}

InOutException::InOutException(int errorNumber, std::filesystem::path fileName, FileAccess access)
    : Exception(InOutErrorText(errorNumber)),
      errorCode_(errorNumber),
      fileName_(std::move(fileName)),
      access_(access) {}

std::string ReadWholeFile(const std::filesystem::path& fileName) {
  FileHandle file(OpenFile(fileName, "rb"));
  if (file.get() == nullptr) throw InOutException(LastErrorNumber(), fileName);
  return ReadOpenFile(file.get(), fileName);
}

std::optional<std::string> ReadFileIfExists(const std::filesystem::path& fileName) {
  FileHandle file(OpenFile(fileName, "rb"));
  if (file.get() == nullptr) {
    const int errorNumber = LastErrorNumber();
    if (errorNumber == ENOENT) return std::nullopt;
    throw InOutException(errorNumber, fileName);
  }
  return ReadOpenFile(file.get(), fileName);
}

FileStamp StampOf(const std::filesystem::path& fileName) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(fileName, error);
  if (error) return {};
  const auto modified = std::filesystem::last_write_time(fileName, error);
  if (error) return {};
  FileStamp stamp{true, size,
                  static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                modified.time_since_epoch())
                                                .count()),
                  0};
#ifndef _WIN32
  // A file replaced by renaming a new one over it is another file, even when
  // its size and time (kept to a few milliseconds by some file systems) match.
  struct stat status {};
  if (::stat(fileName.c_str(), &status) == 0)
    stamp.identity = static_cast<std::uint64_t>(status.st_ino);
#endif
  return stamp;
}

void ReplaceFileAtomically(const std::filesystem::path& fileName, std::string_view content) {
  const std::filesystem::path target = ResolveTarget(fileName);

  // A rewrite in place needs write access to the old file; ask for it the same
  // way (without changing a byte), so a read-only file stays protected even
  // though the rename below would only need access to the folder.
  std::optional<std::filesystem::perms> oldPermissions;
  {
    FileHandle old(OpenFile(target, "r+b"));
    if (old.get() == nullptr) {
      const int errorNumber = LastErrorNumber();
      if (errorNumber != ENOENT) throw InOutException(errorNumber, fileName, FileAccess::Write);
    } else {
      std::error_code error;
      const std::filesystem::file_status status = std::filesystem::status(target, error);
      if (!error) oldPermissions = status.permissions();
    }
  }

  std::filesystem::path temporary;
  FileHandle file(CreateTemporaryFile(target, temporary));
  // Nothing was created when the creation failed, so there is nothing to
  // remove either.
  if (file.get() == nullptr) {
    throw InOutException(LastErrorNumber(), fileName, FileAccess::Write);
  }

  auto fail = [&](int errorNumber) {
    if (file.get() != nullptr) (void)file.Close();
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw InOutException(errorNumber, fileName, FileAccess::Write);
  };

  // A file made anew (the accounts file, a seen-message file, the settings)
  // stays the user's alone, as the temporary file was made. A file that
  // existed keeps its permissions; they are given before a byte is written,
  // so the new content is never open to more readers than the old was.
  if (oldPermissions) {
    std::error_code error;
    std::filesystem::permissions(temporary, *oldPermissions, error);
    if (error) fail(ErrorNumberOf(error));
  }

  errno = 0;
  if (!content.empty() &&
      std::fwrite(content.data(), 1, content.size(), file.get()) != content.size()) {
    fail(LastErrorNumber());
  }
  errno = 0;
  if (std::fflush(file.get()) != 0) fail(LastErrorNumber());
  errno = 0;
  if (!SyncFile(file.get())) fail(LastErrorNumber());
  if (!file.Close()) fail(LastErrorNumber());

  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) fail(ErrorNumberOf(error));
  SyncDirectory(target.parent_path());
}

EditedFile EditFileUnderLock(const std::filesystem::path& fileName, const FileEdit& edit) {
  const std::unique_ptr<FileLock> lock = LockFile(fileName);
  EditedFile result;
  result.content = ReadFileIfExists(fileName);
  std::optional<std::string> replacement = edit(result.content);
  if (replacement) {
    ReplaceFileAtomically(fileName, *replacement);
    result.content = std::move(replacement);
    result.written = true;
  }
  // Taken under the lock: no writer can have changed the file since.
  result.stamp = StampOf(fileName);
  return result;
}

void CreateFileIfMissing(const std::filesystem::path& fileName) {
  // The usual case, without reading the whole file under its lock.
  std::error_code error;
  if (std::filesystem::exists(fileName, error)) return;
  (void)EditFileUnderLock(fileName, [](const std::optional<std::string>& current) {
    return current ? std::nullopt : std::optional<std::string>(std::string());
  });
}

}  // namespace corvel
