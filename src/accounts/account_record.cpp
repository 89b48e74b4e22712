#include "accounts/account_record.h"

namespace corvel {

namespace {

void WriteInt32(std::span<char, kRecordSize> bytes, std::size_t offset, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<char>((bits >> (8 * i)) & 0xFFu);
  }
}

std::int32_t ReadInt32(std::span<const char, kRecordSize> bytes, std::size_t offset) {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    bits |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
  }
  return static_cast<std::int32_t>(bits);
}

std::uint8_t ReadByte(std::span<const char, kRecordSize> bytes, std::size_t offset) {
  return static_cast<std::uint8_t>(bytes[offset]);
}

template <std::size_t N>
void ReadText(std::span<const char, kRecordSize> bytes, std::size_t offset, ShortString<N>& text) {
  text.ReadField(bytes.subspan(offset).template first<N + 1>());
}

template <std::size_t N>
void WriteText(std::span<char, kRecordSize> bytes, std::size_t offset, const ShortString<N>& text) {
  text.WriteField(bytes.subspan(offset).template first<N + 1>());
}

template <std::size_t N>
std::string Unscramble(const ShortString<N>& text) {
  return ScrambleText(text.View(), kFieldKey);
}

template <std::size_t N>
void StoreScrambled(ShortString<N>& text, std::string_view plain) {
  text.Assign(ScrambleText(plain.substr(0, N), kFieldKey));
}

}  // namespace

std::string ScrambleText(std::string_view text, std::uint8_t key) {
  std::string scrambled(text);
  for (char& c : scrambled) c = static_cast<char>(static_cast<std::uint8_t>(c) ^ key);
  return scrambled;
}

AccountRecord AccountRecord::FromBytes(std::span<const char, kRecordSize> bytes) {
  AccountRecord record;
  record.Enabled = ReadByte(bytes, kEnabledOffset);
  ReadText(bytes, kAccountNameOffset, record.AccountName);
  ReadText(bytes, kServerOffset, record.Server);
  record.SecurityModeByte = ReadByte(bytes, kSecurityModeOffset);
  record.Port = ReadInt32(bytes, kPortOffset);
  ReadText(bytes, kUserNameOffset, record.UserName);
  ReadText(bytes, kPasswordOffset, record.Password);
  record.LoginKindByte = ReadByte(bytes, kLoginKindOffset);
  record.SecretStoreByte = ReadByte(bytes, kSecretStoreOffset);
  record.Interval = ReadInt32(bytes, kIntervalOffset);
  record.Elapsed = ReadInt32(bytes, kElapsedOffset);
  ReadText(bytes, kAuthMethodOffset, record.AuthMethod);
  record.LeaveMail = ReadByte(bytes, kLeaveMailOffset);
  ReadText(bytes, kUidlFileNameOffset, record.UidlFileName);
  return record;
}

void AccountRecord::ToBytes(std::span<char, kRecordSize> bytes) const {
  bytes[kEnabledOffset] = static_cast<char>(Enabled);
  WriteText(bytes, kAccountNameOffset, AccountName);
  WriteText(bytes, kServerOffset, Server);
  bytes[kSecurityModeOffset] = static_cast<char>(SecurityModeByte);
  WriteInt32(bytes, kPortOffset, Port);
  WriteText(bytes, kUserNameOffset, UserName);
  WriteText(bytes, kPasswordOffset, Password);
  bytes[kLoginKindOffset] = static_cast<char>(LoginKindByte);
  bytes[kSecretStoreOffset] = static_cast<char>(SecretStoreByte);
  WriteInt32(bytes, kIntervalOffset, Interval);
  WriteInt32(bytes, kElapsedOffset, Elapsed);
  WriteText(bytes, kAuthMethodOffset, AuthMethod);
  bytes[kLeaveMailOffset] = static_cast<char>(LeaveMail);
  WriteText(bytes, kUidlFileNameOffset, UidlFileName);
}

std::string AccountRecord::ToBytes() const {
  std::string bytes(kRecordSize, '\0');
  ToBytes(std::span<char, kRecordSize>(bytes.data(), kRecordSize));
  return bytes;
}

std::uint8_t AccountRecord::SecurityMode() const {
  return SecurityModeByte <= 2 ? SecurityModeByte : 0;
}

void AccountRecord::SetSecurityMode(std::uint8_t mode) { SecurityModeByte = mode <= 2 ? mode : 0; }

LoginKind AccountRecord::Login() const {
  return LoginKindByte <= 2 ? static_cast<LoginKind>(LoginKindByte) : LoginKind::loginPassword;
}

SecretPlace AccountRecord::SecretIn() const {
  return SecretStoreByte == 1 ? SecretPlace::secretKeyring : SecretPlace::secretFile;
}

std::string AccountRecord::PlainAccountName() const { return Unscramble(AccountName); }
std::string AccountRecord::PlainServer() const { return Unscramble(Server); }
std::string AccountRecord::PlainUserName() const { return Unscramble(UserName); }
std::string AccountRecord::PlainAuthMethod() const { return Unscramble(AuthMethod); }
std::string AccountRecord::PlainUidlFileName() const { return Unscramble(UidlFileName); }

std::string AccountRecord::PlainPassword() const {
  return ScrambleText(ScrambleText(Password.View(), kPasswordKey), kFieldKey);
}

void AccountRecord::SetPlainAccountName(std::string_view name) {
  StoreScrambled(AccountName, name);
}
void AccountRecord::SetPlainServer(std::string_view server) { StoreScrambled(Server, server); }
void AccountRecord::SetPlainUserName(std::string_view user) { StoreScrambled(UserName, user); }
void AccountRecord::SetPlainAuthMethod(std::string_view method) {
  StoreScrambled(AuthMethod, method);
}
void AccountRecord::SetPlainUidlFileName(std::string_view fileName) {
  StoreScrambled(UidlFileName, fileName);
}

void AccountRecord::SetPlainPassword(std::string_view password) {
  Password.Assign(ScrambleText(
      ScrambleText(password.substr(0, decltype(Password)::kCapacity), kPasswordKey), kFieldKey));
}

std::string AccountIdentity(const AccountRecord& record) {
  if (!record.UidlFileName.Empty()) return "u" + std::string(record.UidlFileName.View());
  return "n" + std::string(record.AccountName.View());
}

AccountRecord ApplyRecordChange(const AccountRecord& current, const AccountRecord& before,
                                const AccountRecord& after) {
  AccountRecord merged = current;
  // Text fields compare by their text: the bytes beyond its length carry no
  // meaning, and a field set anew clears them.
  auto take = [&](auto field) {
    if (!(before.*field == after.*field)) merged.*field = after.*field;
  };
  auto takeText = [&](auto field) {
    if ((before.*field).View() != (after.*field).View()) merged.*field = after.*field;
  };
  take(&AccountRecord::Enabled);
  takeText(&AccountRecord::AccountName);
  takeText(&AccountRecord::Server);
  take(&AccountRecord::SecurityModeByte);
  take(&AccountRecord::Port);
  takeText(&AccountRecord::UserName);
  takeText(&AccountRecord::Password);
  take(&AccountRecord::LoginKindByte);
  take(&AccountRecord::SecretStoreByte);
  take(&AccountRecord::Interval);
  take(&AccountRecord::Elapsed);
  takeText(&AccountRecord::AuthMethod);
  take(&AccountRecord::LeaveMail);
  takeText(&AccountRecord::UidlFileName);
  return merged;
}

}  // namespace corvel
