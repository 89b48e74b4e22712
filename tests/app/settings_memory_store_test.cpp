#include <gtest/gtest.h>

#include <string>

#include "app/settings/memory_settings_store.h"
#include "app/settings/settings_store.h"

namespace corvel {
namespace {

using Operation = MemorySettingsStore::Operation;

// ---- What every store shares: whole numbers and key matching.

TEST(SettingsWholeNumber, AcceptsOnlySignedDecimalText) {
  EXPECT_EQ(ParseWholeNumber("0"), 0);
  EXPECT_EQ(ParseWholeNumber("517"), 517);
  EXPECT_EQ(ParseWholeNumber("-40"), -40);
  EXPECT_EQ(ParseWholeNumber("+7"), 7);
  EXPECT_EQ(ParseWholeNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseWholeNumber("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "12x", " 12", "12 ", "-", "+", "2147483648", "-2147483649",
                          "99999999999999999999", "0x10", "1.5", "1e3"}) {
    EXPECT_EQ(ParseWholeNumber(bad), std::nullopt) << bad;
  }
}

TEST(SettingsKeys, CompareWithoutLetterCaseOrOuterBackslashes) {
  EXPECT_TRUE(SameSettingsKey("\\Software\\qor\\Corvel\\", "SOFTWARE\\QOR\\corvel"));
  EXPECT_FALSE(SameSettingsKey("\\Software\\qor\\Corvel\\", "\\Software\\qor\\"));
  EXPECT_TRUE(SameSettingsName("AllMail", "ALLMAIL"));
  EXPECT_FALSE(SameSettingsName("Log", "Log "));
}

TEST(SettingsException, TextsAreTheRegistryTexts) {
  EXPECT_STREQ(SettingsException::CreateKeyFailed("\\Software\\qor\\Corvel\\").what(),
               "Failed to create key \\Software\\qor\\Corvel\\");
  EXPECT_STREQ(SettingsException::SetDataFailed("Log").what(), "Failed to set data for 'Log'");
  EXPECT_STREQ(SettingsException::InvalidDataType("H").what(), "Invalid data type for 'H'");
  const SettingsException e = SettingsException::SetDataFailed("x");
  const Exception& base = e;  // shown by the error box like every other failure
  EXPECT_EQ(base.ClassName(), "SettingsException");
}

// ---- The memory store.

TEST(MemorySettingsStore, FreshStoreGivesTheDefaults) {
  MemorySettingsStore store;
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "H", ""), "");
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", "False"), "False");
  EXPECT_EQ(store.ReadInteger(kProgramKey, "AccountWidth", 70), 70);
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "");
  EXPECT_FALSE(store.HasKey(kProgramKey));
}

TEST(MemorySettingsStore, WriteReadAndDelete) {
  MemorySettingsStore store;
  store.WriteString(kProgramKey, "Log", "True");
  store.WriteInteger(kProgramKey, "W", 400);
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", "False"), "True");
  EXPECT_EQ(store.ReadString(kProgramKey, "W", ""), "400");
  EXPECT_EQ(store.ReadInteger(kProgramKey, "W", 0), 400);
  store.DeleteValue(kProgramKey, "Log");
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", "False"), "False");
  EXPECT_EQ(
      store.Operations(),
      (std::vector<Operation>{{Operation::Kind::kWrite, std::string(kProgramKey), "Log", "True"},
                              {Operation::Kind::kWrite, std::string(kProgramKey), "W", "400"},
                              {Operation::Kind::kDelete, std::string(kProgramKey), "Log", ""}}));
}

TEST(MemorySettingsStore, ReadIntegerOfTextThatIsNoWholeNumberGivesTheDefault) {
  MemorySettingsStore store;
  store.Preset(kProgramKey, "FromWidth", "12x");
  store.Preset(kProgramKey, "DateWidth", "");
  EXPECT_EQ(store.ReadInteger(kProgramKey, "FromWidth", 60), 60);
  EXPECT_EQ(store.ReadInteger(kProgramKey, "DateWidth", 50), 50);
  EXPECT_EQ(store.ReadString(kProgramKey, "FromWidth", ""), "12x");
}

TEST(MemorySettingsStore, TextIsCaseSensitiveButNamesAreNot) {
  MemorySettingsStore store;
  store.Preset(kProgramKey, "ConnErr", "true");
  EXPECT_EQ(store.ReadString("\\software\\QOR\\Corvel", "connerr", "False"), "true");
}

TEST(MemorySettingsStore, DeletingAMissingKeyOrValueIsNoError) {
  MemorySettingsStore store;
  EXPECT_NO_THROW(store.DeleteValue(kRunKey, kRunValueName));
  store.Preset(kRunKey, "other", "x");
  EXPECT_NO_THROW(store.DeleteValue(kRunKey, kRunValueName));
  EXPECT_TRUE(store.Operations().empty());  // nothing written
}

TEST(MemorySettingsStore, FailingCreateKeyRaisesItsTextAndStoresNothing) {
  MemorySettingsStore store;
  store.SetWriteFailure(MemorySettingsStore::WriteFailure::kCreateKey);
  try {
    store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel --MINIMIZE");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(),
                 "Failed to create key \\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\");
  }
  EXPECT_EQ(store.Peek(kRunKey, kRunValueName), std::nullopt);
  EXPECT_TRUE(store.Operations().empty());
}

TEST(MemorySettingsStore, FailingSetDataOnlyForTheNamedValue) {
  MemorySettingsStore store;
  store.SetWriteFailure(MemorySettingsStore::WriteFailure::kSetData, "Top");
  store.WriteInteger(kProgramKey, "H", 517);
  store.WriteInteger(kProgramKey, "W", 400);
  try {
    store.WriteInteger(kProgramKey, "Top", 10);
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Top'");
  }
  EXPECT_EQ(store.ValueCount(), 2u);
  store.SetWriteFailure(MemorySettingsStore::WriteFailure::kNone);
  store.WriteInteger(kProgramKey, "Top", 10);
  EXPECT_EQ(store.Peek(kProgramKey, "Top"), "10");
}

TEST(MemorySettingsStore, ValueThatIsNotTextRaisesInvalidDataType) {
  MemorySettingsStore store;
  store.PresetNonText(kProgramKey, "Left");
  EXPECT_THROW((void)store.ReadString(kProgramKey, "Left", ""), SettingsException);
  try {
    (void)store.ReadInteger(kProgramKey, "Left", 0);
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Left'");
  }
}

TEST(MemorySettingsStore, OperationsOpenAClosedStore) {
  MemorySettingsStore store;
  EXPECT_FALSE(store.IsOpen());
  (void)store.ReadString(kProgramKey, "H", "");
  EXPECT_TRUE(store.IsOpen());
  store.Close();
  store.WriteString(kProgramKey, "H", "1");
  EXPECT_TRUE(store.IsOpen());
  EXPECT_EQ(store.OpenCount(), 2);
}

}  // namespace
}  // namespace corvel
