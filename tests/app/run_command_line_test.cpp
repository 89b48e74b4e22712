// The logon entry's command line on Windows: the program and its folder
// quoted so that they come back whole.
#include "app/settings/run_command_line.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(WindowsRunCommandLine, QuotesTheProgramAndCarriesTheFolder) {
  struct Case {
    std::string_view value;
    std::string_view folder;
    std::string_view line;
  } const cases[] = {
      {"C:\\Program Files\\Corvel\\corvel.exe --MINIMIZE", "C:\\Users\\me\\Mail",
       R"("C:\Program Files\Corvel\corvel.exe" --MINIMIZE --dir "C:\Users\me\Mail")"},
      // Backslashes before a closing quote are doubled, no others.
      {"D:\\c.exe --MINIMIZE", "D:\\", R"("D:\c.exe" --MINIMIZE --dir "D:\\")"},
      {"D:\\c.exe --MINIMIZE", "\\\\server\\share\\\\",
       R"("D:\c.exe" --MINIMIZE --dir "\\server\share\\\\")"},
      // Already a command line, or another form: kept.
      {R"("D:\c.exe" --MINIMIZE --dir "E:\m")", "F:\\", R"("D:\c.exe" --MINIMIZE --dir "E:\m")"},
      {"D:\\c.exe", "F:\\m", "D:\\c.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WindowsRunCommandLine(c.value, c.folder), c.line) << c.value;
  }
}

}  // namespace
}  // namespace corvel
