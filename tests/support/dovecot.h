// Starts a private Dovecot POP3 (and, when asked, IMAP) server for
// interoperability tests: its own
// configuration, port, passwd file and maildirs under a fresh folder in /tmp,
// no systemd, stopped (and the folder removed) when the object goes. Users
// are added to a passwd-file with plain-text passwords (so APOP and CRAM-MD5
// work) and messages are delivered into a user's maildir new/ folder under a
// chosen base name, which with "pop3_uidl_format = %g" is also the message's
// UIDL. Needs root (the mail processes run as nobody). No test framework in
// here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::test {

// True when running under CI (CI=true), where a Dovecot that cannot be
// started fails the tests instead of skipping them.
[[nodiscard]] bool InCi();

// The Dovecot binary: $CORVEL_DOVECOT when set, else Debian's path.
std::string DefaultDovecotBinary();

struct DovecotOptions {
  std::string binary = DefaultDovecotBinary();
  // The SASL mechanisms offered; "apop" puts the timestamp in the greeting.
  std::string authMechanisms = "plain login cram-md5 apop";
  // From the start to the first greeting; a fresh machine needs ~11 s.
  int startTimeoutMs = 30000;
  // ---- TLS (for the TLS tests). With a certificate and its key (PEM
  // files), Dovecot offers STLS on Port() and TLS from the first byte on
  // TlsPort(); without, it has no TLS at all (ssl = no).
  std::string sslCertFile;
  std::string sslKeyFile;
  // ---- IMAP. When set, Dovecot also speaks IMAP on ImapPort() (with
  // STARTTLS when TLS is on) and, with a certificate, IMAP over TLS from the
  // first byte on ImapsPort(); mailbox names use "/" as their hierarchy
  // delimiter, and "Junk" and "Trash" are the \Junk and \Trash mailboxes.
  bool imap = false;
  // ---- OAuth2. With an introspection address, XOAUTH2 and OAUTHBEARER
  // tokens are checked there (RFC 7662, by POST) instead of against the
  // passwd-file: the answer must say "active": true and the user's name
  // in "username".
  std::string oauth2IntrospectionUrl;
};

class DovecotServer {
 public:
  // Starts Dovecot and waits for its greeting. On failure returns null and
  // says why in `whyNot`.
  static std::unique_ptr<DovecotServer> Start(const DovecotOptions& options, std::string& whyNot);
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  [[nodiscard]] static std::string Host() { return "127.0.0.1"; }
  [[nodiscard]] std::uint16_t Port() const { return port_; }
  [[nodiscard]] std::string PortText() const { return std::to_string(port_); }
  // TLS from the first byte; 0 when the options gave no certificate.
  [[nodiscard]] std::uint16_t TlsPort() const { return tlsPort_; }
  [[nodiscard]] std::string TlsPortText() const { return std::to_string(tlsPort_); }
  [[nodiscard]] const std::string& Folder() const { return folder_; }
  // The IMAP listeners; 0 when the options asked for none.
  [[nodiscard]] std::uint16_t ImapPort() const { return imapPort_; }
  [[nodiscard]] std::uint16_t ImapsPort() const { return imapsPort_; }

  // Adds a user with a plain-text password and creates its maildir.
  bool AddUser(const std::string& name, const std::string& password, std::string& error);
  // Delivers `bytes` (LF line ends, as maildir keeps them) as the file
  // new/<baseName> of the user's maildir.
  bool Deliver(const std::string& user, const std::string& baseName, std::string_view bytes,
               std::string& error);
  [[nodiscard]] std::string MaildirOf(const std::string& user) const;
  // Runs doveadm with this server's configuration ("mailbox create -u tim
  // X", "save -u tim -m X" with `input` as the message); its output, or
  // nothing when it failed (its output then in `error`).
  [[nodiscard]] std::optional<std::string> Doveadm(const std::vector<std::string>& arguments,
                                                   std::string_view input, std::string& error);
  // Dovecot's own log, for failure messages.
  [[nodiscard]] std::string LogText() const;

 private:
  DovecotServer() = default;
  bool Launch(const DovecotOptions& options, std::string& whyNot);
  void Stop();

  std::string folder_;
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  std::uint16_t imapPort_ = 0;
  std::uint16_t imapsPort_ = 0;
  pid_t pid_ = -1;
};

struct DovecotUser {
  std::string name;
  std::string password;  // for an OAuth2 login: the access token it takes
};

// A test's Dovecot with `users` in its passwd-file; null, with why not, when
// it cannot be had.
[[nodiscard]] std::unique_ptr<DovecotServer> StartDovecotWithUsers(
    const DovecotOptions& options, const std::vector<DovecotUser>& users, std::string& whyNot);

// For a test's set-up: without a Dovecot the test is skipped, and fails
// under CI (a fatal failure, so its body does not run).
void RequireDovecot(const DovecotServer* server, const std::string& whyNot);

}  // namespace corvel::test
