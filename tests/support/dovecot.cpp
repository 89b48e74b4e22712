#include "support/dovecot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/loopback.h"

extern char** environ;

namespace corvel::test {

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}
namespace {

using Clock = std::chrono::steady_clock;

bool WriteFile(const std::string& path, std::string_view bytes, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool OwnByNobody(const std::string& path) {
  const passwd* pw = ::getpwnam("nobody");
  const group* gr = ::getgrnam("nogroup");
  if (pw == nullptr || gr == nullptr) return false;
  return ::chown(path.c_str(), pw->pw_uid, gr->gr_gid) == 0;
}

// Connects and reads the first line: the greeting, once Dovecot serves.
bool ReadGreeting(std::uint16_t port, int timeoutMs, std::string& greeting) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  greeting.clear();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ok && greeting.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      ok = false;
      break;
    }
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ok = false;
      break;
    }
    greeting.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok && greeting.rfind("+OK", 0) == 0;
}

std::string ConfigText(const std::string& dir, std::uint16_t port, std::uint16_t tlsPort,
                       std::uint16_t imapPort, std::uint16_t imapsPort,
                       const DovecotOptions& options) {
  const bool tls = !options.sslCertFile.empty();
  std::ostringstream c;
  c << "base_dir = " << dir << "/run\n"
    << "state_dir = " << dir << "/state\n"
    << "log_path = " << dir << "/dovecot.log\n"
    << "listen = 127.0.0.1\n"
    << (options.imap ? "protocols = pop3 imap\n" : "protocols = pop3\n")
    << (tls ? "ssl = yes\nssl_cert = <" + options.sslCertFile + "\nssl_key = <" +
                  options.sslKeyFile + "\nssl_min_protocol = TLSv1.2\n"
            : std::string("ssl = no\n"))
    << "disable_plaintext_auth = no\n"
    << "auth_mechanisms = " << options.authMechanisms << "\n"
    << "mail_location = maildir:" << dir << "/mail/%u\n"
    << "pop3_uidl_format = %g\n"
    << "default_internal_user = dovecot\n"
    << "default_login_user = dovenull\n"
    << (options.oauth2IntrospectionUrl.empty()
            ? std::string()
            : "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + dir +
                  "/oauth2.conf.ext\n}\n")
    << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << dir << "/passwd\n}\n"
    << "userdb {\n  driver = static\n  args = uid=nobody gid=nogroup home=" << dir
    << "/mail/%u\n}\n"
    << "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port
    << "\n  }\n"
    << (tls ? "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " +
                  std::to_string(tlsPort) + "\n    ssl = yes\n  }\n"
            : std::string())
    << "}\n"
    << (options.imap
            ? "namespace inbox {\n  inbox = yes\n  separator = /\n"
              "  mailbox Junk {\n    special_use = \\Junk\n  }\n"
              "  mailbox Trash {\n    special_use = \\Trash\n  }\n}\n"
              "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = " +
                  std::to_string(imapPort) + "\n  }\n" +
                  (tls ? "  inet_listener imaps {\n    address = 127.0.0.1\n    port = " +
                             std::to_string(imapsPort) + "\n    ssl = yes\n  }\n"
                       : std::string()) +
                  "}\n"
            : std::string())
    // Failed logins are answered after a growing per-address delay; without
    // the penalty listener a refused login costs about half a second.
    << "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
  return c.str();
}

}  // namespace

std::string DefaultDovecotBinary() {
  const char* path = std::getenv("CORVEL_DOVECOT");
  return path != nullptr && *path != '\0' ? path : "/usr/sbin/dovecot";
}

std::unique_ptr<DovecotServer> DovecotServer::Start(const DovecotOptions& options,
                                                    std::string& whyNot) {
  if (::access(options.binary.c_str(), X_OK) != 0) {
    whyNot = options.binary + " is not installed (Debian package dovecot-pop3d)";
    return nullptr;
  }
  if (::geteuid() != 0) {
    whyNot = "Dovecot's mail processes run as nobody, which needs root";
    return nullptr;
  }
  std::unique_ptr<DovecotServer> server(new DovecotServer());
  // A port can be taken between choosing and binding it: try a few.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (server->Launch(options, whyNot)) return server;
    server->Stop();
  }
  return nullptr;
}

bool DovecotServer::Launch(const DovecotOptions& options, std::string& whyNot) {
  char pattern[] = "/tmp/corvel-dovecot-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    whyNot = std::string("mkdtemp failed: ") + std::strerror(errno);
    return false;
  }
  folder_ = pattern;
  // The login and mail processes (dovenull, nobody) must be able to enter.
  ::chmod(folder_.c_str(), 0755);
  for (const char* sub : {"/run", "/state", "/mail"}) {
    std::filesystem::create_directories(folder_ + sub);
  }
  ::chmod((folder_ + "/mail").c_str(), 0755);
  port_ = ClosedLoopbackPort();
  tlsPort_ = 0;
  while (!options.sslCertFile.empty() && (tlsPort_ == 0 || tlsPort_ == port_)) {
    tlsPort_ = ClosedLoopbackPort();
  }
  imapPort_ = imapsPort_ = 0;
  while (options.imap && (imapPort_ == 0 || imapPort_ == port_ || imapPort_ == tlsPort_)) {
    imapPort_ = ClosedLoopbackPort();
  }
  while (options.imap && !options.sslCertFile.empty() &&
         (imapsPort_ == 0 || imapsPort_ == port_ || imapsPort_ == tlsPort_ ||
          imapsPort_ == imapPort_)) {
    imapsPort_ = ClosedLoopbackPort();
  }
  const std::string config = folder_ + "/dovecot.conf";
  if (!WriteFile(config, ConfigText(folder_, port_, tlsPort_, imapPort_, imapsPort_, options)) ||
      !WriteFile(folder_ + "/passwd", "") ||
      !WriteFile(
          folder_ + "/oauth2.conf.ext",
          "introspection_mode = post\nintrospection_url = " + options.oauth2IntrospectionUrl +
              "\nusername_attribute = username\nusername_format = %u\n"
              "active_attribute = active\nactive_value = true\n")) {
    whyNot = "cannot write the configuration in " + folder_;
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = folder_ + "/dovecot.out";
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string binary = options.binary;
  std::string foreground = "-F";
  std::string configFlag = "-c";
  std::string configPath = config;
  char* argv[] = {binary.data(), foreground.data(), configFlag.data(), configPath.data(), nullptr};
  const int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    whyNot = "cannot start " + binary + ": " + std::strerror(rc);
    return false;
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
  std::string greeting;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream in(output);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      whyNot = "dovecot exited at start: " + text + LogText();
      return false;
    }
    if (ReadGreeting(port_, 2000, greeting)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  whyNot = "dovecot gave no greeting on port " + std::to_string(port_) + " within " +
           std::to_string(options.startTimeoutMs) + " ms: " + LogText();
  return false;
}

DovecotServer::~DovecotServer() { Stop(); }

void DovecotServer::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    // Dovecot takes two or three seconds to let its children go.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    folder_.clear();
  }
}

std::string DovecotServer::MaildirOf(const std::string& user) const {
  return folder_ + "/mail/" + user;
}

bool DovecotServer::AddUser(const std::string& name, const std::string& password,
                            std::string& error) {
  if (name.empty() || name.find_first_of(":/\n") != std::string::npos ||
      password.find('\n') != std::string::npos) {
    error = "unusable user name or password";
    return false;
  }
  const std::string maildir = MaildirOf(name);
  for (const char* sub : {"", "/new", "/cur", "/tmp"}) {
    const std::string path = maildir + sub;
    std::filesystem::create_directories(path);
    if (!OwnByNobody(path)) {
      error = "cannot give " + path + " to nobody";
      return false;
    }
  }
  if (!WriteFile(folder_ + "/passwd", name + ":{PLAIN}" + password + "\n", true)) {
    error = "cannot write the passwd file";
    return false;
  }
  return true;
}

bool DovecotServer::Deliver(const std::string& user, const std::string& baseName,
                            std::string_view bytes, std::string& error) {
  const std::string maildir = MaildirOf(user);
  const std::string temporary = maildir + "/tmp/" + baseName;
  const std::string final = maildir + "/new/" + baseName;
  // Written in tmp/ and renamed, so Dovecot never sees half a message.
  if (!WriteFile(temporary, bytes) || !OwnByNobody(temporary) ||
      ::rename(temporary.c_str(), final.c_str()) != 0) {
    error = "cannot deliver " + final;
    return false;
  }
  return true;
}

std::optional<std::string> DovecotServer::Doveadm(const std::vector<std::string>& arguments,
                                                  std::string_view input, std::string& error) {
  const std::filesystem::path binary =
      std::filesystem::path(DefaultDovecotBinary()).parent_path().parent_path() / "bin/doveadm";
  const std::string inputFile = folder_ + "/doveadm.in";
  const std::string outputFile = folder_ + "/doveadm.out";
  if (!WriteFile(inputFile, input)) {
    error = "cannot write " + inputFile;
    return std::nullopt;
  }
  std::vector<std::string> argv = {binary.string(), "-c", folder_ + "/dovecot.conf"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = -1;
  const int rc =
      ::posix_spawn(&child, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return std::nullopt;
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::ifstream in(outputFile);
  std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "doveadm failed: " + output;
    return std::nullopt;
  }
  return output;
}

std::string DovecotServer::LogText() const {
  std::ifstream in(folder_ + "/dovecot.log");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::unique_ptr<DovecotServer> StartDovecotWithUsers(const DovecotOptions& options,
                                                     const std::vector<DovecotUser>& users,
                                                     std::string& whyNot) {
  std::unique_ptr<DovecotServer> server = DovecotServer::Start(options, whyNot);
  for (const DovecotUser& user : users) {
    if (server && !server->AddUser(user.name, user.password, whyNot)) server.reset();
  }
  return server;
}

void RequireDovecot(const DovecotServer* server, const std::string& whyNot) {
  if (server != nullptr) return;
  if (InCi()) FAIL() << "Dovecot could not be started: " << whyNot;
  GTEST_SKIP() << "Dovecot could not be started: " << whyNot;
}

}  // namespace corvel::test
