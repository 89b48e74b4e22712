// Writing the seen-message file back while another process checks the same
// account: neither loses the identifiers the other recorded.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "accounts/file_io.h"
#include "checker/seen_list.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SeenFileMerge, IdentifiersAnotherCheckAddedMeanwhileAreKept) {
  WorkingFolder folder;
  ReplaceFileAtomically("a.uidl", "m1\nm2\n");
  SeenList list;
  list.LoadFromFile("a.uidl");
  list.Append("m3");
  // The other check read the same file and wrote back its own new message.
  ReplaceFileAtomically("a.uidl", "m1\r\nm2\r\nm4\r\n");
  list.MergeIntoFile("a.uidl");
  EXPECT_EQ(FileBytes("a.uidl"), "m1\r\nm2\r\nm4\r\nm3\r\n");
}

TEST(SeenFileMerge, AMissingFileIsCreatedWithTheList) {
  WorkingFolder folder;
  SeenList list;
  list.Append("x");
  list.Append("");
  list.MergeIntoFile("b.uidl");
  EXPECT_EQ(FileBytes("b.uidl"), "x\r\n\r\n");
}

TEST(SeenFileText, HoldsAnEntryOnlyAsAWholeLineAsItIsWritten) {
  const std::string content =
      std::string("a/7/UIDNEXT 100\r\nINBOX/7/UIDNEXT 10\nx\x10r\r\n") + '\0' + "after/NUL\r\n";
  const struct {
    std::string_view entry;
    bool held;
  } cases[] = {
      {"INBOX/7/UIDNEXT 10", true},
      {"a/7/UIDNEXT 100", true},
      {"x\r", true},
      {"7/UIDNEXT 10", false},
      {"a/7/UIDNEXT 10", false},
      {"INBOX/7/UIDNEXT 1", false},
      {"after/NUL", false},
      {"x", false},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(SeenList::TextHolds(content, test.entry), test.held) << test.entry;
  }
}

}  // namespace
}  // namespace corvel::test
