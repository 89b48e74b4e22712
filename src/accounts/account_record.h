// One account as the accounts file stores it: a 688-byte record with
// little-endian integers and length-prefixed text fields, the text scrambled
// with a one-byte XOR key. The record keeps the stored (scrambled) bytes, so a
// record read from the file is written back byte for byte; the Plain* accessors
// give and take the readable values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvel {

// The keys of the text scrambling: kPasswordKey only for the password, which is
// scrambled with it first and then with kFieldKey like every other text field.
inline constexpr std::uint8_t kFieldKey = 0x3B;
inline constexpr std::uint8_t kPasswordKey = 0x51;

// Every byte XOR key; applying it twice gives the text back.
[[nodiscard]] std::string ScrambleText(std::string_view text, std::uint8_t key);

// A text field as stored: one length byte and N character bytes, of which the
// first `Length()` are the text. The length can never exceed N: a larger length
// byte read from a damaged file is cut to N, so nothing ever reads past the
// field. The bytes beyond the length carry no meaning; those read from a file
// are kept (so an untouched record is written back unchanged), and Assign()
// clears them, so an old longer value does not linger in the file.
template <std::size_t N>
class ShortString {
  static_assert(N >= 1 && N <= 255, "the length must fit its byte");

 public:
  static constexpr std::size_t kCapacity = N;
  static constexpr std::size_t kFieldSize = N + 1;

  [[nodiscard]] std::size_t Length() const { return length_; }
  [[nodiscard]] bool Empty() const { return length_ == 0; }
  // The stored bytes of the text (scrambled, as in the file).
  [[nodiscard]] std::string_view View() const { return {chars_.data(), length_}; }

  // Stores `bytes` (already scrambled), cut to the capacity.
  void Assign(std::string_view bytes) {
    const std::size_t length = bytes.size() < N ? bytes.size() : N;
    chars_.fill('\0');
    bytes.copy(chars_.data(), length);
    length_ = static_cast<std::uint8_t>(length);
  }
  void Clear() { Assign({}); }

  void ReadField(std::span<const char, kFieldSize> field) {
    const auto lengthByte = static_cast<std::uint8_t>(field[0]);
    length_ = lengthByte < N ? lengthByte : static_cast<std::uint8_t>(N);
    for (std::size_t i = 0; i < N; ++i) chars_[i] = field[i + 1];
  }
  void WriteField(std::span<char, kFieldSize> field) const {
    field[0] = static_cast<char>(length_);
    for (std::size_t i = 0; i < N; ++i) field[i + 1] = chars_[i];
  }

  // Compares every byte of the field, the insignificant ones included.
  friend bool operator==(const ShortString&, const ShortString&) = default;

 private:
  std::uint8_t length_ = 0;
  std::array<char, N> chars_{};
};

inline constexpr std::size_t kRecordSize = 688;

// Offsets of the fields in the record.
inline constexpr std::size_t kEnabledOffset = 0;
inline constexpr std::size_t kAccountNameOffset = 1;
inline constexpr std::size_t kServerOffset = 102;
inline constexpr std::size_t kSecurityModeOffset = 203;
inline constexpr std::size_t kPortOffset = 204;
inline constexpr std::size_t kUserNameOffset = 208;
inline constexpr std::size_t kPasswordOffset = 309;
inline constexpr std::size_t kLoginKindOffset = 410;
inline constexpr std::size_t kSecretStoreOffset = 411;
inline constexpr std::size_t kIntervalOffset = 412;
inline constexpr std::size_t kElapsedOffset = 416;
inline constexpr std::size_t kAuthMethodOffset = 420;
inline constexpr std::size_t kLeaveMailOffset = 431;
inline constexpr std::size_t kUidlFileNameOffset = 432;

// How an account logs in (byte 410 of its record).
enum class LoginKind : std::uint8_t {
  loginPassword = 0,      // with its password, by the methods found for it
  loginOAuthCommand = 1,  // OAuth 2.0: an access token printed by a command of the user's
  loginOAuthBuiltIn = 2,  // OAuth 2.0: a token from Corvel's own authorization
};

// Where an account's secret (password or refresh token) is kept (byte 411).
enum class SecretPlace : std::uint8_t {
  secretFile = 0,     // in the record's password field, scrambled
  secretKeyring = 1,  // in the system's keyring; the field holds kKeyringMarker
};

// What the password field of an account holds when its secret is not kept
// there: the field must not be empty (an empty one ends the table), and the
// editor's rules read it like any password.
inline constexpr std::string_view kKeyringMarker = "(in the keyring)";
inline constexpr std::string_view kOAuthMarker = "(OAuth2)";

// A default record is 688 zero bytes: disabled, every text empty, port,
// interval and elapsed 0 (the editor's defaults 110 and 300 are the editor's).
struct AccountRecord {
  // 1 = the account is checked. Kept as the stored byte: only the value 1
  // counts as enabled, and any other value is written back as read.
  std::uint8_t Enabled = 0;
  ShortString<100> AccountName;  // scrambled with kFieldKey
  ShortString<100> Server;       // scrambled with kFieldKey
  // Byte 203, an alignment byte in older files, holds the account's security
  // mode (0, 1 or 2). Kept as read; see SecurityMode().
  std::uint8_t SecurityModeByte = 0;
  std::int32_t Port = 0;
  ShortString<100> UserName;  // scrambled with kFieldKey
  ShortString<100> Password;  // scrambled with kPasswordKey, then kFieldKey
  // Bytes 410 and 411, alignment in older files, hold the login kind and the
  // secret store. Kept as read; see Login() and Store().
  std::uint8_t LoginKindByte = 0;
  std::uint8_t SecretStoreByte = 0;
  std::int32_t Interval = 0;  // ticks (seconds) between two checks
  std::int32_t Elapsed = 0;   // ticks since the last check; 0 in the file
  // The login method that worked: "APOP", "SHA1", "MD5", "LOGIN" or "NONE",
  // scrambled with kFieldKey; empty = not known yet.
  ShortString<10> AuthMethod;
  std::uint8_t LeaveMail = 0;     // 1 = mail is left on the server
  ShortString<255> UidlFileName;  // seen-message file name, kFieldKey

  [[nodiscard]] static AccountRecord FromBytes(std::span<const char, kRecordSize> bytes);
  void ToBytes(std::span<char, kRecordSize> bytes) const;
  [[nodiscard]] std::string ToBytes() const;

  [[nodiscard]] bool IsEnabled() const { return Enabled == 1; }
  [[nodiscard]] bool LeavesMailOnServer() const { return LeaveMail == 1; }

  // The security mode, 0, 1 or 2; any other stored value counts as 0.
  [[nodiscard]] std::uint8_t SecurityMode() const;
  // Stores 0, 1 or 2; any other value is stored as 0, as it would be read.
  void SetSecurityMode(std::uint8_t mode);
  // The login kind and the secret store; an unknown stored value counts as
  // the first choice (a password, kept in the file), as it did before either
  // existed.
  [[nodiscard]] LoginKind Login() const;
  void SetLogin(LoginKind kind) { LoginKindByte = static_cast<std::uint8_t>(kind); }
  [[nodiscard]] SecretPlace SecretIn() const;
  void SetSecretIn(SecretPlace place) { SecretStoreByte = static_cast<std::uint8_t>(place); }
  [[nodiscard]] bool UsesOAuth() const { return Login() != LoginKind::loginPassword; }

  // The readable values of the text fields. The setters cut the text to the
  // field's capacity (100, 10 or 255 bytes) and scramble it.
  [[nodiscard]] std::string PlainAccountName() const;
  [[nodiscard]] std::string PlainServer() const;
  [[nodiscard]] std::string PlainUserName() const;
  [[nodiscard]] std::string PlainPassword() const;
  [[nodiscard]] std::string PlainAuthMethod() const;
  [[nodiscard]] std::string PlainUidlFileName() const;
  void SetPlainAccountName(std::string_view name);
  void SetPlainServer(std::string_view server);
  void SetPlainUserName(std::string_view user);
  void SetPlainPassword(std::string_view password);
  void SetPlainAuthMethod(std::string_view method);
  void SetPlainUidlFileName(std::string_view fileName);

  friend bool operator==(const AccountRecord&, const AccountRecord&) = default;
};

// What tells an account from the others across processes and edits: its
// seen-message file name, which is given once, kept through renames and unique
// to the account (the OAuth2 side file is keyed by it too); the name, for a
// damaged record without one. The two kinds never compare equal.
[[nodiscard]] std::string AccountIdentity(const AccountRecord& record);

// `current` with the change from `before` to `after` applied: each field in
// which `after` differs from `before` is taken from `after`, every other field
// stays as `current` holds it. An edit made on a copy read earlier thus keeps
// what another writer changed meanwhile in the fields the edit left alone.
[[nodiscard]] AccountRecord ApplyRecordChange(const AccountRecord& current,
                                              const AccountRecord& before,
                                              const AccountRecord& after);

// The name of a new seen-message file: the MD5 digest (32 upper-case hex
// digits) of the account name as typed followed by the tick count in decimal,
// then ".uidl" — 37 characters, plain (store it with SetPlainUidlFileName). The
// tick count makes the name differ from that of a deleted account of the same
// name, whose file stays on disk.
[[nodiscard]] std::string MakeUidlFileName(std::string_view plainName, std::uint32_t tickCount);

}  // namespace corvel
