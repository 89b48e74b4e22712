// Per-account options that do not fit the 688-byte record: which protocol an
// account speaks and, for IMAP, which mailboxes it watches. They live in a
// small text file beside the accounts file, one section per account, named by
// the account's seen-message file name (unique, and kept when the account is
// renamed), one key=value line per option:
//
//   [0123...89.uidl]
//   protocol=imap
//   folders=INBOX,Lists/dev
//
// A POP3 account needs no section: its record alone says everything, byte
// for byte as before, so older copies of Corvel read the accounts file as
// they always did. Keys and lines this version does not know are kept as
// they are when the file is rewritten, so a newer version's options survive
// an older one's edit. Every change goes through EditAccountOptions, under
// the file's lock, applied to the file as it is at that moment.
//
// Values are UTF-8; a key or value holds no line break.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

inline constexpr std::string_view kAccountOptionsFileName = "mail.options.qor";

inline constexpr std::string_view kProtocolKey = "protocol";
inline constexpr std::string_view kFoldersKey = "folders";

// The side file that belongs to `accountsFile`: kAccountOptionsFileName in
// the same folder.
[[nodiscard]] std::filesystem::path AccountOptionsFileFor(
    const std::filesystem::path& accountsFile);

// The options of one account, in the order of the file.
class OptionSection {
 public:
  [[nodiscard]] std::optional<std::string> Get(std::string_view key) const;
  // Replaces the key's value, or adds the key at the end. Throws
  // std::invalid_argument for a key that is empty or holds "=", "[" at its
  // start or a line break, and for a value with a line break.
  void Set(std::string_view key, std::string_view value);
  void Erase(std::string_view key);
  [[nodiscard]] bool Empty() const { return lines_.empty(); }

 private:
  friend class AccountOptionsFile;
  struct Line {
    std::string key;
    std::string value;
    bool keyed = true;  // false: a line kept as it was (no "=" in it)
  };
  std::vector<Line> lines_;
};

class AccountOptionsFile {
 public:
  // The sections of a file's content; lines before the first section are
  // kept too.
  [[nodiscard]] static AccountOptionsFile Parse(std::string_view content);
  // The content to write: every section with its lines, LF-ended.
  [[nodiscard]] std::string Text() const;

  [[nodiscard]] const OptionSection* Find(std::string_view name) const;
  // The section of that name, added at the end when missing.
  OptionSection& Section(std::string_view name);
  void Erase(std::string_view name);

 private:
  std::vector<std::string> preamble_;
  std::vector<std::pair<std::string, OptionSection>> sections_;
};

// The options file as it is now; no file is no options. Throws
// InOutException.
[[nodiscard]] AccountOptionsFile LoadAccountOptions(const std::filesystem::path& fileName);

// Changes the section `name` as the file holds it now, under the file's lock
// (EditFileUnderLock): `edit` gets the section (empty when new), and a
// section left empty is removed. Nothing is written when the content stays
// the same. Throws InOutException, or what `edit` throws (nothing written
// then).
void EditAccountOptions(const std::filesystem::path& fileName, std::string_view name,
                        const std::function<void(OptionSection&)>& edit);

// ---- The protocol options.

enum class MailProtocol { pop3, imap };

// IMAP's ports: plain text (or STARTTLS), and TLS from the first byte (RFC
// 8314).
inline constexpr std::int32_t kImapPort = 143;
inline constexpr std::int32_t kImapsPort = 993;

// The mailbox an IMAP account watches when it names none.
inline constexpr std::string_view kDefaultFolder = "INBOX";

struct ProtocolOptions {
  MailProtocol protocol = MailProtocol::pop3;
  // The mailboxes an IMAP account watches, in UTF-8, as the user wrote them.
  std::vector<std::string> folders = {std::string(kDefaultFolder)};
  friend bool operator==(const ProtocolOptions&, const ProtocolOptions&) = default;
};

// What a section says; no section (or no protocol key) is POP3. A folder
// list that cannot be read is the default.
[[nodiscard]] ProtocolOptions ProtocolOptionsOf(const OptionSection* section);
// Writes the options into the section: a POP3 account keeps no protocol or
// folders keys at all.
void StoreProtocolOptions(const ProtocolOptions& options, OptionSection& section);

// "imap" or "pop3".
[[nodiscard]] std::string_view ProtocolName(MailProtocol protocol);
[[nodiscard]] std::optional<MailProtocol> ParseProtocolName(std::string_view name);

// The mailboxes of a comma-separated list ("INBOX, Lists/dev"): blanks
// around each name dropped, names kept in order, each once. Nothing, with
// `why` set, for an empty list, an empty name, a name that is not UTF-8 or
// holds a control character.
[[nodiscard]] std::optional<std::vector<std::string>> ParseFolderList(std::string_view text,
                                                                      std::string& why);
// The list as the user writes it: "INBOX,Lists/dev".
[[nodiscard]] std::string FolderListText(const std::vector<std::string>& folders);

}  // namespace corvel
