#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "accounts/file_lock.h"
#include "app/settings/file_settings_store.h"
#include "app/settings/settings_store.h"

namespace corvel {
namespace {

namespace fs = std::filesystem;

// A fresh configuration folder for one test, removed when the test ends.
class ConfigFolder {
 public:
  ConfigFolder() {
    std::string pattern = (fs::temp_directory_path() / "corvel-settings-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot create a temporary folder";
    path_ = pattern;
  }
  ConfigFolder(const ConfigFolder&) = delete;
  ConfigFolder& operator=(const ConfigFolder&) = delete;
  ~ConfigFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void WriteBytes(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in.good()) << file;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct FileStore : ::testing::Test {
  ConfigFolder folder;
  FileSettingsStore store{folder.Path()};
  fs::path SettingsFile() const { return folder.Path() / "qor" / "Corvel.conf"; }
  fs::path AutostartFile() const { return folder.Path() / "autostart" / "qor-corvel.desktop"; }
  // What a store opened afresh (the next run of the program) reads.
  std::string ReadAgain(std::string_view key, std::string_view name, std::string_view def) {
    FileSettingsStore next(folder.Path());
    next.Open();
    return next.ReadString(key, name, def);
  }
};

// ---- Plain values.

using FileSettingsValues = FileStore;

TEST_F(FileSettingsValues, FreshFolderGivesTheDefaultsAndCreatesNothing) {
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "");
  EXPECT_EQ(store.ReadString(kProgramKey, "ConnErr", "False"), "False");
  EXPECT_EQ(store.ReadInteger(kProgramKey, "SubjectWidth", 100), 100);
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "");
  store.Close();
  EXPECT_TRUE(Entries(folder.Path()).empty());
}

TEST_F(FileSettingsValues, PathsFollowTheConfigFolder) {
  EXPECT_EQ(store.SettingsFile(), SettingsFile());
  EXPECT_EQ(store.AutostartFile(), AutostartFile());
}

TEST_F(FileSettingsValues, WrittenValuesReachTheFileAtOnceInOneSectionPerKey) {
  store.Open();
  store.WriteString(kProgramKey, "Log", "True");
  store.WriteInteger(kProgramKey, "AccountWidth", 70);
  store.WriteInteger(kProgramKey, "Left", -8);
  EXPECT_EQ(ReadBytes(SettingsFile()),
            "[\\Software\\qor\\Corvel\\]\n"
            "Log=True\n"
            "AccountWidth=70\n"
            "Left=-8\n");
  EXPECT_EQ(ReadAgain(kProgramKey, "Left", ""), "-8");
  EXPECT_EQ(Entries(SettingsFile().parent_path()), std::vector<std::string>{"Corvel.conf"});
}

TEST_F(FileSettingsValues, RewritingAValueReplacesItInPlace) {
  store.WriteString(kProgramKey, "Log", "True");
  store.WriteString(kProgramKey, "Balloon", "False");
  store.WriteString(kProgramKey, "LOG", "False");
  EXPECT_EQ(ReadBytes(SettingsFile()), "[\\Software\\qor\\Corvel\\]\nLog=False\nBalloon=False\n");
}

TEST_F(FileSettingsValues, DeleteRemovesTheLineAndAMissingValueIsNoError) {
  store.WriteString(kProgramKey, "Log", "True");
  store.WriteString(kProgramKey, "H", "517");
  store.DeleteValue(kProgramKey, "Log");
  EXPECT_EQ(ReadAgain(kProgramKey, "Log", "False"), "False");
  EXPECT_EQ(ReadAgain(kProgramKey, "H", ""), "517");
  EXPECT_NO_THROW(store.DeleteValue(kProgramKey, "Log"));
  EXPECT_NO_THROW(store.DeleteValue("\\Software\\nobody\\", "x"));
}

TEST_F(FileSettingsValues, DeletingWhatIsNotThereWritesNothing) {
  store.DeleteValue(kProgramKey, "Log");
  EXPECT_FALSE(fs::exists(SettingsFile()));
}

// Two programs hold the store open (a running program and `corvel settings
// set`): each write changes only its own value in the file as it is then, and
// the other takes the change in when it refreshes.
TEST_F(FileSettingsValues, AWriteChangesOnlyItsValueAndTheOtherStoreTakesItIn) {
  store.WriteString(kProgramKey, "Log", "True");
  FileSettingsStore running(folder.Path());
  running.Open();
  FileSettingsStore command(folder.Path());
  command.Open();
  command.WriteString(kProgramKey, "OnNewMail", "notify-send mail");
  command.DeleteValue(kProgramKey, "Log");
  running.WriteString(kProgramKey, "H", "517");
  EXPECT_EQ(ReadBytes(SettingsFile()),
            "[\\Software\\qor\\Corvel\\]\nOnNewMail=notify-send mail\nH=517\n");
  EXPECT_EQ(running.ReadString(kProgramKey, "OnNewMail", ""), "notify-send mail");
  command.WriteString(kProgramKey, "CheckDeadline", "600");
  EXPECT_EQ(running.ReadString(kProgramKey, "CheckDeadline", "0"), "0");
  running.Refresh();
  EXPECT_EQ(running.ReadString(kProgramKey, "CheckDeadline", "0"), "600");
}

TEST_F(FileSettingsValues, ReadIntegerOfTextThatIsNoWholeNumberGivesTheDefault) {
  WriteBytes(SettingsFile(), "[\\Software\\qor\\Corvel\\]\nFromWidth=12x\nUIDLWidth=75\n");
  store.Open();
  EXPECT_EQ(store.ReadInteger(kProgramKey, "FromWidth", 60), 60);
  EXPECT_EQ(store.ReadInteger(kProgramKey, "UIDLWidth", 50), 75);
}

TEST_F(FileSettingsValues, KeysAndNamesMatchWithoutLetterCase) {
  WriteBytes(SettingsFile(), "[\\SOFTWARE\\QOR\\CORVEL\\]\nconnerr=True\n");
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "ConnErr", "False"), "True");
  EXPECT_EQ(store.ReadString(kProgramKey, "ConnErr ", "False"), "False");
}

TEST_F(FileSettingsValues, LinesEndingInCrLfAreRead) {
  WriteBytes(SettingsFile(), "[\\Software\\qor\\Corvel\\]\r\nH=517\r\nW=400\r\n");
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "517");
  EXPECT_EQ(store.ReadString(kProgramKey, "W", ""), "400");
}

TEST_F(FileSettingsValues, OpenReadsTheFileAgain) {
  store.Open();
  WriteBytes(SettingsFile(), "[\\Software\\qor\\Corvel\\]\nH=600\n");
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "");  // read once, at opening
  store.Close();
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "600");
}

TEST_F(FileSettingsValues, EveryByteStringRoundTrips) {
  std::string allBytes;
  for (int c = 0; c < 256; ++c) allBytes += static_cast<char>(c);
  const std::vector<std::pair<std::string, std::string>> values = {
      {"all", allBytes},
      {"lines", "one\r\ntwo\nthree\r"},
      {"blanks", "  padded  "},
      {"empty", ""},
      {"percent", "%41%%zz%"},
      {"=[odd]#;name%", "=value=with=equals"},
      {allBytes, "name of every byte"},
      {"", "the unnamed value"},
      {"[\\Software\\qor\\Corvel\\]", "looks like a header"},
      {"# not a comment", "; nor this"},
  };
  const std::string oddKey = "\\Software\\[qor]\n%\\Odd\\";
  for (const auto& [name, value] : values) {
    store.WriteString(kProgramKey, name, value);
    store.WriteString(oddKey, name, value);
  }
  FileSettingsStore next(folder.Path());
  next.Open();
  for (const auto& [name, value] : values) {
    EXPECT_EQ(next.ReadString(kProgramKey, name, "<missing>"), value) << name;
    EXPECT_EQ(next.ReadString(oddKey, name, "<missing>"), value) << name;
  }
}

TEST_F(FileSettingsValues, OtherValuesOfTheRunKeyStayInTheSettingsFile) {
  store.WriteString(kRunKey, "other program", "/usr/bin/other");
  EXPECT_EQ(ReadAgain(kRunKey, "other program", ""), "/usr/bin/other");
  EXPECT_FALSE(fs::exists(AutostartFile()));
}

// ---- Damaged and unreadable files.

using FileSettingsDamage = FileStore;

TEST_F(FileSettingsDamage, CorruptLinesAreSkippedAndKeptAtTheNextWrite) {
  const std::string damaged =
      "garbage before any section\n"
      "[\\Software\\qor\\Corvel\\]\n"
      "H=517\n"
      "no equals sign here\n"
      "Bad=%G1\n"
      "Cut=%4\n"
      "; a comment\n"
      "W=400\n";
  WriteBytes(SettingsFile(), damaged);
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "517");
  EXPECT_EQ(store.ReadString(kProgramKey, "W", ""), "400");
  EXPECT_EQ(store.ReadString(kProgramKey, "Bad", "default"), "default");
  EXPECT_EQ(store.ReadString(kProgramKey, "Cut", "default"), "default");
  store.WriteString(kProgramKey, "Log", "True");
  // Only a blank line is added to set the first section apart.
  EXPECT_EQ(ReadBytes(SettingsFile()),
            "garbage before any section\n\n" + damaged.substr(damaged.find('[')) + "Log=True\n");
  EXPECT_EQ(ReadAgain(kProgramKey, "H", ""), "517");
}

TEST_F(FileSettingsDamage, ValuesUnderAnUnreadableHeaderDoNotPassForTheKeyAbove) {
  WriteBytes(SettingsFile(), "[\\Software\\qor\\Corvel\\]\nH=517\n[\\Software\\%ZZ\\]\nW=1\n");
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "517");
  EXPECT_EQ(store.ReadString(kProgramKey, "W", "none"), "none");
  store.WriteString(kProgramKey, "W", "400");
  EXPECT_EQ(ReadAgain(kProgramKey, "W", ""), "400");
  EXPECT_NE(ReadBytes(SettingsFile()).find("[\\Software\\%ZZ\\]\nW=1\n"), std::string::npos);
}

TEST_F(FileSettingsDamage, BinaryJunkGivesDefaultsAndIsNotLostByAWrite) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) % 256);
  WriteBytes(SettingsFile(), junk);
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", "False"), "False");
  store.WriteString(kProgramKey, "Log", "True");
  EXPECT_EQ(ReadAgain(kProgramKey, "Log", "False"), "True");
}

TEST_F(FileSettingsDamage, RepeatedSectionsAndValuesReadTheFirstAndWriteOne) {
  WriteBytes(
      SettingsFile(),
      "[\\Software\\qor\\Corvel\\]\nH=1\n[\\Other\\]\nx=y\n[\\software\\qor\\corvel]\nH=2\n");
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "1");
  store.WriteString(kProgramKey, "H", "3");
  EXPECT_EQ(ReadAgain(kProgramKey, "H", ""), "3");
  EXPECT_EQ(ReadAgain("\\Other\\", "x", ""), "y");
  FileSettingsStore next(folder.Path());
  next.DeleteValue(kProgramKey, "H");
  EXPECT_EQ(ReadAgain(kProgramKey, "H", "gone"), "gone");
}

TEST_F(FileSettingsDamage, UnreadableFileGivesDefaultsAndIsNeverOverwritten) {
  fs::create_directories(SettingsFile());  // a folder where the file should be
  store.Open();
  EXPECT_TRUE(store.Unreadable());
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", "False"), "False");
  try {
    store.WriteString(kProgramKey, "Log", "True");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Log'");
  }
  EXPECT_TRUE(fs::is_directory(SettingsFile()));
}

TEST_F(FileSettingsDamage, FailedWriteLeavesTheOldFileAndTheOldValue) {
  store.WriteString(kProgramKey, "Log", "True");
  const std::string before = ReadBytes(SettingsFile());
  // The file cannot be locked: a folder holds the lock file's name.
  fs::create_directories(LockFileName(SettingsFile()));
  try {
    store.WriteString(kProgramKey, "Log", "False");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Log'");
  }
  EXPECT_EQ(ReadBytes(SettingsFile()), before);
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", ""), "True");
  fs::remove(LockFileName(SettingsFile()));
  store.WriteString(kProgramKey, "Balloon", "True");
  EXPECT_EQ(ReadAgain(kProgramKey, "Log", ""), "True");
}

TEST_F(FileSettingsDamage, FailedDeleteLeavesTheValue) {
  store.WriteString(kProgramKey, "Log", "True");
  fs::create_directories(LockFileName(SettingsFile()));
  try {
    store.DeleteValue(kProgramKey, "Log");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to delete value 'Log'");
  }
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", ""), "True");
  EXPECT_EQ(ReadAgain(kProgramKey, "Log", ""), "True");
}

TEST_F(FileSettingsDamage, FolderThatCannotBeCreatedFailsToCreateTheKey) {
  WriteBytes(folder.Path() / "qor", "a file where the folder should be");
  try {
    store.WriteString(kProgramKey, "H", "517");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to create key \\Software\\qor\\Corvel\\");
  }
}

// ---- The logon entry as an autostart file.

using FileSettingsAutostart = FileStore;

TEST_F(FileSettingsAutostart, WritingTheEntryCreatesTheDesktopFile) {
  store.SetProgramFolder("/home/ann/mail\\box");
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  EXPECT_EQ(ReadBytes(AutostartFile()),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Corvel!\n"
            "Comment=Checks POP3 mailboxes for new mail\n"
            "Exec=/usr/bin/corvel --MINIMIZE\n"
            "Path=/home/ann/mail\\\\box\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n");
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "/usr/bin/corvel --MINIMIZE");
  EXPECT_FALSE(fs::exists(SettingsFile()));  // not a value of the settings file
}

TEST_F(FileSettingsAutostart, TheEntryStartsTheProgramInTheWorkingDirectoryByDefault) {
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  EXPECT_NE(ReadBytes(AutostartFile()).find("\nPath=" + fs::current_path().string() + "\n"),
            std::string::npos);
}

TEST_F(FileSettingsAutostart, RewritingReplacesThePath) {
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  store.WriteString(kRunKey, kRunValueName, "/opt/corvel/bin/corvel --MINIMIZE");
  EXPECT_EQ(ReadAgain(kRunKey, kRunValueName, ""), "/opt/corvel/bin/corvel --MINIMIZE");
  EXPECT_EQ(Entries(AutostartFile().parent_path()), std::vector<std::string>{"qor-corvel.desktop"});
}

TEST_F(FileSettingsAutostart, DeletingRemovesTheFileAndAMissingFileIsNoError) {
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  store.DeleteValue(kRunKey, kRunValueName);
  EXPECT_FALSE(fs::exists(AutostartFile()));
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "");
  EXPECT_NO_THROW(store.DeleteValue(kRunKey, kRunValueName));
  EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(FileSettingsAutostart, UncheckingAfterTheFileWasRemovedByHandIsNoError) {
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  fs::remove_all(AutostartFile().parent_path());
  EXPECT_NO_THROW(store.DeleteValue(kRunKey, kRunValueName));
  EXPECT_FALSE(fs::exists(AutostartFile().parent_path()));  // nothing written
}

TEST_F(FileSettingsAutostart, PathWithBlanksIsQuotedInExecAndReadBackAsWritten) {
  store.WriteString(kRunKey, kRunValueName, "/home/ann/My Programs/corvel --MINIMIZE");
  const std::string content = ReadBytes(AutostartFile());
  EXPECT_NE(content.find("\nExec=\"/home/ann/My Programs/corvel\" --MINIMIZE\n"),
            std::string::npos);
  EXPECT_EQ(ReadAgain(kRunKey, kRunValueName, ""), "/home/ann/My Programs/corvel --MINIMIZE");
}

TEST(AutostartExecLine, ReservedCharactersAreQuotedAndEscaped) {
  struct Case {
    const char* value;
    const char* exec;
  };
  const Case cases[] = {
      {"/usr/bin/corvel --MINIMIZE", "/usr/bin/corvel --MINIMIZE"},
      {"/a b/corvel --MINIMIZE", "\"/a b/corvel\" --MINIMIZE"},
      {"/100%/corvel --MINIMIZE", "/100%%/corvel --MINIMIZE"},
      {"/a\"$`b/c --MINIMIZE", "\"/a\\\\\"\\\\$\\\\`b/c\" --MINIMIZE"},
      {"C:\\x --MINIMIZE", "\"C:\\\\\\\\x\" --MINIMIZE"},
      {"/new\nline --MINIMIZE", "\"/new\\nline\" --MINIMIZE"},
      {"/it's/corvel --MINIMIZE", "\"/it's/corvel\" --MINIMIZE"},
      {"/usr/bin/corvel", "/usr/bin/corvel"},
      {"", "\"\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileSettingsStore::ExecLineFor(c.value), c.exec) << c.value;
    EXPECT_EQ(FileSettingsStore::ValueTextOfExecLine(c.exec), c.value) << c.exec;
  }
}

TEST_F(FileSettingsAutostart, AwkwardPathsRoundTrip) {
  for (const std::string& value :
       {std::string("/opt/a  b/c --MINIMIZE"), std::string(" --MINIMIZE"),
        std::string(" lead/corvel --MINIMIZE"), std::string("/t\tab\r/x --MINIMIZE"),
        std::string("/x --MINIMIZE --MINIMIZE"), std::string("trailing blank ")}) {
    store.WriteString(kRunKey, kRunValueName, value);
    EXPECT_EQ(ReadAgain(kRunKey, kRunValueName, "<missing>"), value);
  }
}

TEST_F(FileSettingsAutostart, HandWrittenEntries) {
  WriteBytes(AutostartFile(), "[Desktop Entry]\nName=x\nExec = corvel --MINIMIZE %U\n");
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "corvel --MINIMIZE");
  WriteBytes(AutostartFile(), "[Desktop Entry]\nExec=corvel --MINIMIZE\nHidden=true\n");
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, "absent"), "absent");
  WriteBytes(AutostartFile(), "[Other Group]\nExec=corvel\n");
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, "absent"), "absent");
  WriteBytes(AutostartFile(), std::string("\0\xff\n[", 4));
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, "absent"), "absent");
}

TEST_F(FileSettingsAutostart, UnreadableEntryCountsAsAbsent) {
  fs::create_directories(AutostartFile());
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, "absent"), "absent");
}

TEST_F(FileSettingsAutostart, FolderThatCannotBeCreatedFailsToCreateTheRunKey) {
  WriteBytes(folder.Path() / "autostart", "not a folder");
  try {
    store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(),
                 "Failed to create key \\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\");
  }
  // Nothing to delete where there is no folder.
  EXPECT_NO_THROW(store.DeleteValue(kRunKey, kRunValueName));
}

TEST_F(FileSettingsAutostart, FailedWriteLeavesTheOldEntry) {
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
  fs::create_directories(LockFileName(AutostartFile()));
  try {
    store.WriteString(kRunKey, kRunValueName, "/elsewhere/corvel --MINIMIZE");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'qor Corvel'");
  }
  EXPECT_EQ(ReadAgain(kRunKey, kRunValueName, ""), "/usr/bin/corvel --MINIMIZE");
}

// ---- Where the configuration folder is.

class EnvironmentVariable {
 public:
  explicit EnvironmentVariable(const char* name) : name_(name) {
    const char* value = std::getenv(name);
    if (value != nullptr) saved_ = value;
  }
  ~EnvironmentVariable() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  void Set(const char* value) const { ::setenv(name_, value, 1); }
  void Unset() const { ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(FileSettingsFolder, XdgConfigHomeWhenAbsoluteElseHomeDotConfig) {
  const EnvironmentVariable xdg("XDG_CONFIG_HOME");
  const EnvironmentVariable home("HOME");
  home.Set("/home/ann");
  xdg.Set("/tmp/cfg");
  EXPECT_EQ(FileSettingsStore::DefaultConfigFolder(), fs::path("/tmp/cfg"));
  xdg.Set("relative/cfg");
  EXPECT_EQ(FileSettingsStore::DefaultConfigFolder(), fs::path("/home/ann/.config"));
  xdg.Unset();
  EXPECT_EQ(FileSettingsStore::DefaultConfigFolder(), fs::path("/home/ann/.config"));
  home.Unset();
  EXPECT_EQ(FileSettingsStore::DefaultConfigFolder(), fs::path(".config"));
}

}  // namespace
}  // namespace corvel
