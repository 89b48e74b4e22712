#include "app/text/error_text.h"

#include <cstring>
#include <filesystem>

#include "accounts/account_table.h"
#include "accounts/file_io.h"

namespace corvel {

namespace {

// What the user knows the file as.
std::string FileRole(const std::filesystem::path& fileName) {
  if (fileName.filename() == kAccountsFileName) return "accounts file";
  if (fileName.extension() == ".uidl") return "seen-message file";
  if (fileName.extension() == ".conf") return "settings file";
  return "file";
}

}  // namespace

std::string DescribeError(const std::exception& error) {
  const auto* io = dynamic_cast<const InOutException*>(&error);
  if (io == nullptr || io->FileName().empty()) return error.what();
  std::error_code ignored;
  std::filesystem::path path = std::filesystem::absolute(io->FileName(), ignored);
  if (path.empty()) path = io->FileName();
  const std::string cause = io->ErrorCode() == kReadBeyondEndOfFile
                                ? std::string("it ends before the record asked for")
                                : std::string(std::strerror(io->ErrorCode()));
  return std::string(io->Access() == FileAccess::Write ? "cannot write the " : "cannot read the ") +
         FileRole(io->FileName()) + " " + path.lexically_normal().string() + ": " + cause;
}

}  // namespace corvel
