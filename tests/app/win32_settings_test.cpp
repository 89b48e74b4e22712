// The registry settings store and the locale formats of Windows, run under
// Wine. Every key lives below a key of this test's own under
// HKEY_CURRENT_USER, removed again at the end.
#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>.
#include <shellapi.h>

#include <string>

#include "app/settings/win32/registry_settings_store.h"
#include "app/text/win32/locale_format.h"

namespace corvel {
namespace {

class RegistryStore : public ::testing::Test {
 protected:
  RegistryStore()
      : root_(L"Software\\CorvelTest-" + std::to_wstring(GetCurrentProcessId())),
        store_(Place(L"user"), Place(L"machine")) {}
  ~RegistryStore() override { RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str()); }

  [[nodiscard]] RegistrySettingsStore::Place Place(const wchar_t* part) const {
    return {HKEY_CURRENT_USER, root_ + L"\\" + part};
  }

  // Puts a value in place without the store, as an earlier program did.
  void Put(const wchar_t* part, const wchar_t* key, const wchar_t* name, DWORD type,
           const void* data, DWORD size) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\" + part + L"\\" + key).c_str(), 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(handle);
  }
  void PutText(const wchar_t* part, const wchar_t* key, const wchar_t* name, std::wstring text) {
    Put(part, key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
  }

  // The value as the registry holds it; "<missing>" when it is not there.
  std::wstring Raw(const wchar_t* part, const wchar_t* key, const wchar_t* name, DWORD* type) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, (root_ + L"\\" + part + L"\\" + key).c_str(), name,
                     RRF_RT_ANY, type, buffer, &size) != ERROR_SUCCESS) {
      return L"<missing>";
    }
    return buffer;
  }

  std::wstring root_;
  RegistrySettingsStore store_;
};

TEST_F(RegistryStore, WritesRegistryStringsUnderTheWritablePlace) {
  store_.WriteInteger("\\Software\\qor\\Corvel\\", "AccountWidth", 120);
  DWORD type = 0;
  EXPECT_EQ(Raw(L"user", L"Software\\qor\\Corvel", L"AccountWidth", &type), L"120");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Raw(L"machine", L"Software\\qor\\Corvel", L"AccountWidth", &type), L"<missing>");
  EXPECT_EQ(store_.ReadString("\\software\\QOR\\corvel", "accountwidth", ""), "120");
}

TEST_F(RegistryStore, TheLogonEntryCarriesTheQuotedProgramAndItsFolder) {
  RegistrySettingsStore store(Place(L"user"), Place(L"machine"), L"C:\\Mail f\u00fcr mich\\");
  store.WriteString(kRunKey, kRunValueName, "C:\\Grüße und mehr\\corvel.exe --MINIMIZE");
  DWORD type = 0;
  const std::wstring line =
      Raw(L"user", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"qor Corvel", &type);
  EXPECT_EQ(line,
            L"\"C:\\Gr\u00fc\u00dfe und mehr\\corvel.exe\" --MINIMIZE --dir \"C:\\Mail f\u00fcr "
            L"mich\\\\\"");
  // The system splits it back into the program, the switch and the folder.
  int count = 0;
  wchar_t** words = CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(words, nullptr);
  ASSERT_EQ(count, 4);
  EXPECT_STREQ(words[0], L"C:\\Gr\u00fc\u00dfe und mehr\\corvel.exe");
  EXPECT_STREQ(words[1], L"--MINIMIZE");
  EXPECT_STREQ(words[2], L"--dir");
  EXPECT_STREQ(words[3], L"C:\\Mail f\u00fcr mich\\");
  LocalFree(words);
}

TEST_F(RegistryStore, ReadsTheFallbackUntilTheWritablePlaceHoldsTheValue) {
  PutText(L"machine", L"Software\\qor\\Corvel", L"Log", L"True");
  PutText(L"machine", L"Software\\qor\\Corvel", L"H", L"600");
  EXPECT_EQ(store_.ReadString(kProgramKey, "Log", "False"), "True");
  EXPECT_EQ(store_.ReadString(kProgramKey, "Balloon", "False"), "False");
  store_.WriteString(kProgramKey, "Log", "False");
  EXPECT_EQ(store_.ReadString(kProgramKey, "Log", "False"), "False");
  EXPECT_EQ(store_.ReadInteger(kProgramKey, "H", 0), 600);
}

TEST_F(RegistryStore, ValueOfAnotherTypeRaisesInvalidDataType) {
  const DWORD number = 600;
  Put(L"machine", L"Software\\qor\\Corvel", L"H", REG_DWORD, &number, sizeof number);
  try {
    (void)store_.ReadString(kProgramKey, "H", "");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'H'");
  }
}

TEST_F(RegistryStore, DeleteRemovesTheValueFromBothPlacesAndMissingIsNoError) {
  PutText(L"machine", L"Run", L"qor Corvel", L"C:\\old\\corvel.exe --MINIMIZE");
  store_.WriteString("\\Run\\", "qor Corvel", "C:\\new\\corvel.exe --MINIMIZE");
  store_.DeleteValue("\\Run\\", "qor Corvel");
  EXPECT_EQ(store_.ReadString("\\Run\\", "qor Corvel", ""), "");
  store_.DeleteValue("\\Run\\", "qor Corvel");
  store_.DeleteValue("\\No\\Such\\Key\\", "qor Corvel");
}

TEST_F(RegistryStore, KeyThatCannotBeCreatedRaisesItsText) {
  // A lasting key cannot be made below a volatile one.
  HKEY volatileKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\volatile").c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(volatileKey);
  RegistrySettingsStore store(Place(L"volatile"), std::nullopt);
  try {
    store.WriteString(kProgramKey, "Log", "True");
    FAIL() << "no exception";
  } catch (const SettingsException& e) {
    EXPECT_STREQ(e.what(), "Failed to create key \\Software\\qor\\Corvel\\");
  }
}

std::tm Moment() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 5;
  t.tm_sec = 7;
  t.tm_wday = 2;
  return t;
}

TEST(Win32LocaleFormat, AppliesTheFormatPictures) {
  const Win32LocaleFormat german(L"dd.MM.yyyy", L"HH:mm:ss");
  EXPECT_EQ(german.ShortDate(Moment()), "31.12.2024");
  EXPECT_EQ(german.LongTime(Moment()), "23:05:07");
  const Win32LocaleFormat system;
  EXPECT_FALSE(system.DatePattern().empty());
  EXPECT_NE(system.ShortDate(Moment()).find("2024"), std::string::npos);
  EXPECT_NE(system.LongTime(Moment()).find("05"), std::string::npos);
}

TEST(Win32LocaleFormat, MomentTheSystemCannotHoldIsWrittenAsTheFixedFormat) {
  std::tm t = Moment();
  t.tm_mday = 40;
  t.tm_hour = 25;
  const Win32LocaleFormat format(L"dd.MM.yyyy", L"HH:mm:ss");
  EXPECT_EQ(format.ShortDate(t), FixedLocaleFormat().ShortDate(t));
  EXPECT_EQ(format.LongTime(t), FixedLocaleFormat().LongTime(t));
}

}  // namespace
}  // namespace corvel
