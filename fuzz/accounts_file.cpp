// The accounts file as the program uses it: any bytes on disk are loaded into
// the table and saved back. The save must give back what it loaded: every
// record the walk reaches, with Elapsed 0 (it means nothing in the file) and
// a length byte beyond its field cut to the field; what the walk does not
// reach, a damaged record and all after it or a trailing fragment, is written
// back as it was.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

#include "accounts/account_record.h"
#include "accounts/account_table.h"
#include "fuzz_check.h"

namespace {

namespace fs = std::filesystem;
using corvel::kRecordSize;

struct TextField {
  std::size_t offset;
  std::size_t capacity;
};
constexpr std::array<TextField, 6> kTextFields{{{corvel::kAccountNameOffset, 100},
                                                {corvel::kServerOffset, 100},
                                                {corvel::kUserNameOffset, 100},
                                                {corvel::kPasswordOffset, 100},
                                                {corvel::kAuthMethodOffset, 10},
                                                {corvel::kUidlFileNameOffset, 255}}};

// The record as a save writes it back after a load.
std::string Normalized(std::string_view record, bool zeroElapsed) {
  std::string bytes(record);
  for (const TextField& field : kTextFields) {
    if (static_cast<std::uint8_t>(bytes[field.offset]) > field.capacity) {
      bytes[field.offset] = static_cast<char>(field.capacity);
    }
  }
  if (zeroElapsed) bytes.replace(corvel::kElapsedOffset, 4, 4, '\0');
  return bytes;
}

// A folder of our own for the file, removed at exit.
const fs::path& Folder() {
  static const fs::path folder = [] {
    const fs::path path =
        fs::temp_directory_path() / ("corvel-fuzz-accounts-" + std::to_string(::getpid()));
    fs::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Folder(), ignored);
    });
    return path;
  }();
  return folder;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string file;
  if (size > 0 && data[0] == 0xFF) {
    // A full table of good accounts before the fuzzed bytes, so that the
    // records beyond the 100th are reached without 70 KB inputs.
    corvel::AccountRecord record;
    record.SetPlainAccountName("Full");
    record.SetPlainPassword("secret");
    record.Enabled = 1;
    for (std::size_t i = 0; i < corvel::AccountTable::kCapacity; ++i) file += record.ToBytes();
    file.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    file.assign(reinterpret_cast<const char*>(data), size);
  }

  const fs::path path = Folder() / "mail.accounts.qor";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  corvel::AccountTable table;
  const bool any = corvel::LoadAccounts(table, path);
  const std::size_t records = file.size() / kRecordSize;
  FUZZ_CHECK(any == (records > 0));
  corvel::SaveAccounts(table, false, path);
  const std::string saved = ReadAll(path);

  // The walk: the leading records that have a password (beyond the 100th
  // only when all 100 entries were walked, which the leading run implies).
  std::size_t walked = 0;
  while (walked < records && file[walked * kRecordSize + corvel::kPasswordOffset] != '\0') {
    ++walked;
  }
  FUZZ_CHECK(table.Count() == std::min(walked, corvel::AccountTable::kCapacity));

  std::string expected;
  for (std::size_t i = 0; i < walked; ++i) {
    expected += Normalized(std::string_view(file).substr(i * kRecordSize, kRecordSize), true);
  }
  // What the walk did not reach, a trailing fragment included, goes back as it was.
  expected += std::string_view(file).substr(expected.size());
  FUZZ_CHECK(saved == expected);
  return 0;
}
