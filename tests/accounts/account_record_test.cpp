#include "accounts/account_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace corvel {
namespace {

std::uint8_t ByteAt(const std::string& bytes, std::size_t offset) {
  return static_cast<std::uint8_t>(bytes.at(offset));
}

std::string Xor(std::string_view text, std::uint8_t key) {
  std::string out;
  for (char c : text) out += static_cast<char>(static_cast<std::uint8_t>(c) ^ key);
  return out;
}

AccountRecord FromString(const std::string& bytes) {
  return AccountRecord::FromBytes(std::span<const char, kRecordSize>(bytes.data(), kRecordSize));
}

TEST(ScrambleText, XorsEveryByteWithTheKey) {
  EXPECT_EQ(ScrambleText("Home", kFieldKey), "\x73\x54\x56\x5E");
  EXPECT_EQ(ScrambleText(std::string("\0\xff", 2), kPasswordKey), std::string("\x51\xae", 2));
  EXPECT_EQ(ScrambleText("", kFieldKey), "");
}

TEST(ScrambleText, IsItsOwnInverse) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(ScrambleText(ScrambleText(all, kFieldKey), kFieldKey), all);
  EXPECT_EQ(ScrambleText(ScrambleText(all, kPasswordKey), kPasswordKey), all);
}

TEST(AccountRecordLayout, DefaultRecordIsAllZeroBytes) {
  const std::string bytes = AccountRecord{}.ToBytes();
  EXPECT_EQ(bytes, std::string(kRecordSize, '\0'));
}

TEST(AccountRecordLayout, AccountNameHomeAtOffsetOne) {
  AccountRecord record;
  record.SetPlainAccountName("Home");
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 0), 0);
  EXPECT_EQ(ByteAt(bytes, 1), 4);
  EXPECT_EQ(ByteAt(bytes, 2), 'H' ^ 0x3B);
  EXPECT_EQ(ByteAt(bytes, 3), 'o' ^ 0x3B);
  EXPECT_EQ(ByteAt(bytes, 4), 'm' ^ 0x3B);
  EXPECT_EQ(ByteAt(bytes, 5), 'e' ^ 0x3B);
  EXPECT_EQ(bytes.substr(6), std::string(kRecordSize - 6, '\0'));
  EXPECT_EQ(record.PlainAccountName(), "Home");
}

TEST(AccountRecordLayout, ServerAndUserNameAtTheirOffsets) {
  AccountRecord record;
  record.SetPlainServer("pop.example.org");
  record.SetPlainUserName("joe");
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 102), 15);
  EXPECT_EQ(bytes.substr(103, 15), Xor("pop.example.org", 0x3B));
  EXPECT_EQ(ByteAt(bytes, 208), 3);
  EXPECT_EQ(bytes.substr(209, 3), Xor("joe", 0x3B));
  EXPECT_EQ(record.PlainServer(), "pop.example.org");
  EXPECT_EQ(record.PlainUserName(), "joe");
}

TEST(AccountRecordLayout, PasswordScrambledWithBothKeysAtOffset309) {
  AccountRecord record;
  record.SetPlainPassword("secret");
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 309), 6);
  EXPECT_EQ(bytes.substr(310, 6), Xor(Xor("secret", 0x51), 0x3B));
  EXPECT_EQ(record.PlainPassword(), "secret");
}

TEST(AccountRecordLayout, PasswordOf100CharactersIsStoredWhole) {
  std::string password;
  for (int i = 0; i < 100; ++i) password += static_cast<char>('!' + i % 90);
  AccountRecord record;
  record.SetPlainPassword(password);
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 309), 100);
  EXPECT_EQ(bytes.substr(310, 100), Xor(password, 0x51 ^ 0x3B));
  EXPECT_EQ(record.PlainPassword(), password);
  EXPECT_EQ(ByteAt(bytes, 410), 0);  // the field ends before the alignment bytes
}

TEST(AccountRecordLayout, PasswordOf101CharactersIsCutTo100) {
  const std::string password = std::string(100, 'p') + "X";
  AccountRecord record;
  record.SetPlainPassword(password);
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 309), 100);
  EXPECT_EQ(record.PlainPassword(), std::string(100, 'p'));
  EXPECT_EQ(ByteAt(bytes, 410), 0);
}

TEST(AccountRecordLayout, TextFieldsAreCutToTheirCapacity) {
  AccountRecord record;
  record.SetPlainAccountName(std::string(150, 'n'));
  record.SetPlainServer(std::string(101, 's'));
  record.SetPlainUserName(std::string(200, 'u'));
  record.SetPlainAuthMethod("LOGINLOGINLOGIN");
  record.SetPlainUidlFileName(std::string(300, 'f'));
  EXPECT_EQ(record.PlainAccountName(), std::string(100, 'n'));
  EXPECT_EQ(record.PlainServer(), std::string(100, 's'));
  EXPECT_EQ(record.PlainUserName(), std::string(100, 'u'));
  EXPECT_EQ(record.PlainAuthMethod(), "LOGINLOGIN");
  EXPECT_EQ(record.PlainUidlFileName(), std::string(255, 'f'));
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 1), 100);
  EXPECT_EQ(ByteAt(bytes, 102), 100);
  EXPECT_EQ(ByteAt(bytes, 203), 0);
  EXPECT_EQ(ByteAt(bytes, 208), 100);
  EXPECT_EQ(ByteAt(bytes, 420), 10);
  EXPECT_EQ(ByteAt(bytes, 431), 0);
  EXPECT_EQ(ByteAt(bytes, 432), 255);
}

TEST(AccountRecordLayout, AuthMethodLoginIsLengthFivePlusScrambledBytes) {
  AccountRecord record;
  record.SetPlainAuthMethod("LOGIN");
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 420), 5);
  EXPECT_EQ(bytes.substr(421, 5), Xor("LOGIN", 0x3B));
  EXPECT_EQ(bytes.substr(426, 5), std::string(5, '\0'));
  record.SetPlainAuthMethod("");
  EXPECT_EQ(ByteAt(record.ToBytes(), 420), 0);
  EXPECT_TRUE(record.AuthMethod.Empty());
}

TEST(AccountRecordLayout, IntegersAreLittleEndianAtTheirOffsets) {
  AccountRecord record;
  record.Port = 0x12345678;
  record.Interval = 300;
  record.Elapsed = -2;
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(bytes.substr(204, 4), "\x78\x56\x34\x12");
  EXPECT_EQ(bytes.substr(412, 4), std::string("\x2C\x01\x00\x00", 4));
  EXPECT_EQ(bytes.substr(416, 4), "\xFE\xFF\xFF\xFF");
  const AccountRecord back = FromString(bytes);
  EXPECT_EQ(back.Port, 0x12345678);
  EXPECT_EQ(back.Interval, 300);
  EXPECT_EQ(back.Elapsed, -2);
}

TEST(AccountRecordLayout, BooleanBytesAtZeroAnd431) {
  AccountRecord record;
  record.Enabled = 1;
  record.LeaveMail = 1;
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 0), 1);
  EXPECT_EQ(ByteAt(bytes, 431), 1);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\0'), static_cast<long>(kRecordSize - 2));
}

TEST(AccountRecordLayout, OnlyTheValueOneCountsAsSet) {
  std::string bytes(kRecordSize, '\0');
  bytes[0] = 2;
  bytes[431] = static_cast<char>(0xFF);
  const AccountRecord record = FromString(bytes);
  EXPECT_FALSE(record.IsEnabled());
  EXPECT_FALSE(record.LeavesMailOnServer());
  EXPECT_EQ(record.ToBytes(), bytes);
  bytes[0] = 1;
  bytes[431] = 1;
  EXPECT_TRUE(FromString(bytes).IsEnabled());
  EXPECT_TRUE(FromString(bytes).LeavesMailOnServer());
}

TEST(AccountRecordLayout, UidlFileNameAtOffset432) {
  const std::string name = "2140FE57C2C7D75FC50035C09A14256E.uidl";
  AccountRecord record;
  record.SetPlainUidlFileName(name);
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 432), 37);
  EXPECT_EQ(bytes.substr(433, 37), Xor(name, 0x3B));
  EXPECT_EQ(bytes.substr(470), std::string(kRecordSize - 470, '\0'));
  EXPECT_EQ(record.PlainUidlFileName(), name);
}

// Every byte of a record read from a file, the insignificant ones included,
// comes back when the record is written.
TEST(AccountRecordRoundTrip, EveryByteIsKept) {
  std::string bytes(kRecordSize, '\0');
  for (std::size_t i = 0; i < kRecordSize; ++i) bytes[i] = static_cast<char>((i * 37 + 11) & 0xFF);
  // Length bytes within each field's capacity.
  bytes[1] = 7;
  bytes[102] = 100;
  bytes[208] = 0;
  bytes[309] = 55;
  bytes[420] = 10;
  bytes[432] = static_cast<char>(201);
  const AccountRecord record = FromString(bytes);
  EXPECT_EQ(record.ToBytes(), bytes);
  EXPECT_EQ(record.AccountName.Length(), 7u);
  EXPECT_EQ(record.Server.Length(), 100u);
  EXPECT_EQ(record.UserName.Length(), 0u);
  EXPECT_EQ(record.Password.Length(), 55u);
  EXPECT_EQ(record.AuthMethod.Length(), 10u);
  EXPECT_EQ(record.UidlFileName.Length(), 201u);
  EXPECT_EQ(record.AccountName.View(), bytes.substr(2, 7));
  EXPECT_EQ(record.UidlFileName.View(), bytes.substr(433, 201));
}

TEST(AccountRecordRoundTrip, ChangingATextClearsTheOldLongerValue) {
  AccountRecord record;
  record.SetPlainPassword("a much longer old password");
  record.SetPlainPassword("new");
  const std::string bytes = record.ToBytes();
  EXPECT_EQ(ByteAt(bytes, 309), 3);
  EXPECT_EQ(bytes.substr(313, 97), std::string(97, '\0'));
}

// A damaged file may hold any length byte; 255 in a field of 100 would make a
// careless reader run 155 bytes into the next fields.
TEST(AccountRecordCorrupt, OversizedLengthBytesAreCutToCapacity) {
  std::string bytes(kRecordSize, 'z');
  for (std::size_t offset : {1u, 102u, 208u, 309u, 420u, 432u}) bytes[offset] = '\xFF';
  const AccountRecord record = FromString(bytes);
  EXPECT_EQ(record.AccountName.Length(), 100u);
  EXPECT_EQ(record.Server.Length(), 100u);
  EXPECT_EQ(record.UserName.Length(), 100u);
  EXPECT_EQ(record.Password.Length(), 100u);
  EXPECT_EQ(record.AuthMethod.Length(), 10u);
  EXPECT_EQ(record.UidlFileName.Length(), 255u);
  EXPECT_EQ(record.PlainAccountName(), Xor(std::string(100, 'z'), 0x3B));
  EXPECT_EQ(record.PlainAuthMethod(), Xor(std::string(10, 'z'), 0x3B));
  EXPECT_EQ(record.PlainPassword(), Xor(std::string(100, 'z'), 0x51 ^ 0x3B));

  // Written back with the length repaired and every other byte unchanged.
  std::string repaired = bytes;
  repaired[1] = repaired[102] = repaired[208] = repaired[309] = 100;
  repaired[420] = 10;
  EXPECT_EQ(record.ToBytes(), repaired);
}

TEST(AccountRecordSecurityMode, DefaultsToZero) { EXPECT_EQ(AccountRecord{}.SecurityMode(), 0); }

TEST(AccountRecordSecurityMode, ReadFromByte203AndKeptAsStored) {
  for (int value : {0, 1, 2, 3, 7, 255}) {
    std::string bytes(kRecordSize, '\0');
    bytes[203] = static_cast<char>(value);
    const AccountRecord record = FromString(bytes);
    EXPECT_EQ(record.SecurityMode(), value <= 2 ? value : 0) << value;
    EXPECT_EQ(ByteAt(record.ToBytes(), 203), value);
  }
}

TEST(AccountRecordSecurityMode, SetterWritesByte203) {
  AccountRecord record;
  record.SetSecurityMode(2);
  EXPECT_EQ(ByteAt(record.ToBytes(), 203), 2);
  EXPECT_EQ(record.SecurityMode(), 2);
  record.SetSecurityMode(9);
  EXPECT_EQ(ByteAt(record.ToBytes(), 203), 0);
  EXPECT_EQ(record.SecurityMode(), 0);
}

// Digests computed independently (md5sum of the same bytes).
// An edit made on a copy changes only its fields; a text set anew to the same
// text (which clears the bytes after it) is no change.
TEST(ApplyRecordChange, TakesOnlyTheFieldsTheEditChanged) {
  AccountRecord before;
  before.SetPlainAccountName("Home");
  std::string bytes = before.ToBytes();
  bytes[kAccountNameOffset + 20] = 'j';  // a byte past the name, as old files hold
  before = AccountRecord::FromBytes(std::span<const char, kRecordSize>(bytes.data(), kRecordSize));
  AccountRecord current = before;
  current.SetPlainAuthMethod("APOP");
  current.SetPlainAccountName("Renamed");
  AccountRecord after = before;
  after.SetPlainAccountName("Home");
  after.Port = 995;
  AccountRecord expected = current;
  expected.Port = 995;
  EXPECT_EQ(ApplyRecordChange(current, before, after), expected);
}

TEST(MakeUidlFileName, DigestOfNameAndDecimalTickPlusExtension) {
  EXPECT_EQ(MakeUidlFileName("Home", 123456), "2140FE57C2C7D75FC50035C09A14256E.uidl");
  EXPECT_EQ(MakeUidlFileName("Home", 0), "2F99B1D63C40324794B5EE6BFBA43E30.uidl");
  EXPECT_EQ(MakeUidlFileName("My account", 4294967295u), "53641D4EE75EB2CAEF6D4C059A0DE650.uidl");
  EXPECT_EQ(MakeUidlFileName("", 0), "CFCD208495D565EF66E7DFF9F98764DA.uidl");
  EXPECT_EQ(MakeUidlFileName("Home", 123456).size(), 37u);
}

TEST(MakeUidlFileName, IsStoredScrambled) {
  AccountRecord record;
  record.SetPlainUidlFileName(MakeUidlFileName("Home", 123456));
  EXPECT_EQ(record.UidlFileName.View(), Xor("2140FE57C2C7D75FC50035C09A14256E.uidl", 0x3B));
}

}  // namespace
}  // namespace corvel
