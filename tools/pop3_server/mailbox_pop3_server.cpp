#include "pop3_server/mailbox_pop3_server.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "codec/base64.h"
#include "codec/md5.h"
#include "codec/sha1.h"

namespace corvel::test {
namespace {

constexpr int kWriteTimeoutMs = 60000;

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The server's own HMAC-MD5, kept apart from the client's.
std::string ServerHmacMd5Hex(std::string_view key, std::string_view message) {
  Md5Digest keyDigest{};
  if (key.size() > 64) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, key.data(), key.size());
    keyDigest = Md5Final(ctx);
    key = std::string_view(reinterpret_cast<const char*>(keyDigest.data()), keyDigest.size());
  }
  std::array<std::uint8_t, 64> ipad{};
  std::array<std::uint8_t, 64> opad{};
  std::copy(key.begin(), key.end(), ipad.begin());
  std::copy(key.begin(), key.end(), opad.begin());
  for (auto& b : ipad) b ^= 0x36;
  for (auto& b : opad) b ^= 0x5C;
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, ipad.data(), ipad.size());
  Md5Update(ctx, message.data(), message.size());
  const Md5Digest inner = Md5Final(ctx);
  Md5Init(ctx);
  Md5Update(ctx, opad.data(), opad.size());
  Md5Update(ctx, inner.data(), inner.size());
  const Md5Digest outer = Md5Final(ctx);
  return Hex(outer.data(), outer.size());
}

std::string ServerHmacSha1Hex(std::string_view key, std::string_view message) {
  const auto digest = HmacSha1(message, key);
  return Hex(digest.data(), digest.size());
}

std::string NormalizeLineEnds(std::string_view content) {
  std::string out;
  out.reserve(content.size() + content.size() / 32);
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '\n' && (i == 0 || content[i - 1] != '\r')) out.push_back('\r');
    out.push_back(content[i]);
  }
  return out;
}

// Splits "CMD arg rest" into the upper-cased command and its arguments.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  if (!words.empty()) words[0] = Upper(words[0]);
  return words;
}

bool ParseIndex(const std::string& text, std::size_t count, std::size_t& index) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long number = std::strtoul(text.c_str(), nullptr, 10);
  if (number < 1 || number > count) return false;
  index = number - 1;
  return true;
}

// The answer to RETR or TOP: the message's lines, dot-stuffed, then ".".
std::string MultiLineBody(const std::string& content, long bodyLines) {
  std::string out;
  bool inBody = false;
  long bodyCount = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find("\r\n", pos);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + pos, end - pos);
    if (inBody && bodyLines >= 0 && bodyCount++ >= bodyLines) break;
    if (!line.empty() && line[0] == '.') out.push_back('.');
    out.append(line);
    out.append("\r\n");
    if (!inBody && line.empty()) inBody = true;
    pos = end + 2;
  }
  out.append(".\r\n");
  return out;
}

}  // namespace

struct MailboxPop3Server::Session {
  std::vector<MailboxMessage> messages;
  std::vector<bool> deleted;
};

MailboxPop3Server::MailboxPop3Server(MailboxOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { Run(); });
}

MailboxPop3Server::~MailboxPop3Server() {
  stop_.Raise();
  thread_.join();
}

void MailboxPop3Server::AddMessage(std::string uidl, std::string_view content) {
  std::lock_guard lock(mutex_);
  messages_.push_back({std::move(uidl), NormalizeLineEnds(content)});
}

void MailboxPop3Server::SetOptions(MailboxOptions options) {
  std::lock_guard lock(mutex_);
  options_ = std::move(options);
}

std::vector<MailboxMessage> MailboxPop3Server::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> MailboxPop3Server::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::size_t MailboxPop3Server::SessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_;
}

void MailboxPop3Server::Run() {
  for (;;) {
    int fd = -1;
    const WaitResult accepted = listener_.Accept(stop_, 3600 * 1000, fd);
    if (accepted == WaitResult::kStopped || accepted == WaitResult::kError) return;
    if (accepted != WaitResult::kOk) continue;
    {
      std::lock_guard lock(mutex_);
      ++sessions_;
    }
    ServerConnection connection(fd, stop_, nullptr);
    Serve(connection);
  }
}

void MailboxPop3Server::Serve(ServerConnection& connection) {
  MailboxOptions options;
  {
    std::lock_guard lock(mutex_);
    options = options_;
  }
  auto send = [&](const std::string& text) {
    return connection.Write(text, kWriteTimeoutMs) == WaitResult::kOk;
  };
  auto line = [&](const std::string& text) { return send(text + "\r\n"); };
  auto readLine = [&](std::string& text) {
    if (connection.ReadLine(text, options.idleTimeoutMs) != WaitResult::kOk) return false;
    std::lock_guard lock(mutex_);
    commands_.push_back(text);
    return true;
  };

  std::string greeting = "+OK Corvel test POP3 server ready";
  if (!options.timestamp.empty()) greeting += " " + options.timestamp;
  if (!line(greeting)) return;

  Session session;
  bool loggedIn = false;
  std::string userGiven;
  auto login = [&](bool ok) {
    if (!ok) return line("-ERR [AUTH] Authentication failed.");
    std::lock_guard lock(mutex_);
    session.messages = messages_;
    session.deleted.assign(session.messages.size(), false);
    loggedIn = true;
    return send("+OK Logged in.\r\n");
  };

  std::string text;
  while (readLine(text)) {
    const std::vector<std::string> words = Words(text);
    const std::string command = words.empty() ? std::string() : words[0];
    const std::string arg1 = words.size() > 1 ? words[1] : std::string();
    bool ok = true;
    if (command == "QUIT") {
      if (loggedIn) {
        std::lock_guard lock(mutex_);
        // UPDATE state: the marked messages go away for good.
        for (std::size_t i = session.messages.size(); i-- > 0;) {
          if (!session.deleted[i]) continue;
          const std::string& uidl = session.messages[i].uidl;
          std::erase_if(messages_, [&](const MailboxMessage& m) { return m.uidl == uidl; });
        }
      }
      line("+OK Logging out.");
      return;
    }
    if (command == "NOOP" && loggedIn) {
      ok = line("+OK");
    } else if (command == "CAPA") {
      std::string capa = "+OK\r\nTOP\r\nUIDL\r\nUSER\r\nSASL";
      if (options.allowLogin) capa += " LOGIN";
      if (options.allowCramMd5) capa += " CRAM-MD5";
      if (options.allowCramSha1) capa += " CRAM-SHA1";
      if (options.pipelining) capa += "\r\nPIPELINING";
      ok = send(capa + "\r\n.\r\n");
    } else if (!loggedIn) {
      if (command == "USER" && options.allowUserPass) {
        userGiven = arg1;
        ok = line("+OK");
      } else if (command == "PASS" && options.allowUserPass && !userGiven.empty()) {
        const std::string password = text.size() > 5 ? text.substr(5) : std::string();
        ok = login(userGiven == options.user && password == options.password);
      } else if (command == "APOP" && options.allowApop && !options.timestamp.empty()) {
        const std::string expected = Lower(Md5HexDigest(options.timestamp + options.password));
        ok = login(words.size() == 3 && arg1 == options.user && words[2] == expected);
      } else if (command == "AUTH" && words.size() >= 2) {
        const std::string mechanism = Upper(arg1);
        std::string answer;
        if (mechanism == "LOGIN" && options.allowLogin) {
          std::string user;
          std::string password;
          ok = line("+ " + EncodeBase64("Username:")) && readLine(user) &&
               line("+ " + EncodeBase64("Password:")) && readLine(password);
          if (ok) {
            ok = login(DecodeBase64(user) == options.user &&
                       DecodeBase64(password) == options.password);
          }
        } else if ((mechanism == "CRAM-MD5" && options.allowCramMd5) ||
                   (mechanism == "CRAM-SHA1" && options.allowCramSha1)) {
          ok = line("+ " + EncodeBase64(options.cramChallenge)) && readLine(answer);
          if (ok) {
            const std::string digest =
                mechanism == "CRAM-MD5"
                    ? ServerHmacMd5Hex(options.password, options.cramChallenge)
                    : ServerHmacSha1Hex(options.password, options.cramChallenge);
            ok = login(DecodeBase64(answer) == options.user + " " + digest);
          }
        } else {
          ok = line("-ERR Unsupported authentication mechanism.");
        }
      } else {
        ok = line("-ERR Unknown command or not allowed now.");
      }
    } else {
      const std::size_t count = session.messages.size();
      std::size_t index = 0;
      auto visible = [&](std::size_t i) { return !session.deleted[i]; };
      auto size = [&](std::size_t i) { return session.messages[i].content.size(); };
      const bool hasArg = !arg1.empty();
      const bool validArg = hasArg && ParseIndex(arg1, count, index) && visible(index);
      if (command == "STAT") {
        std::size_t n = 0;
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) {
          if (visible(i)) {
            ++n;
            total += size(i);
          }
        }
        ok = line("+OK " + std::to_string(n) + " " + std::to_string(total));
      } else if ((command == "LIST" || command == "UIDL") && hasArg) {
        if (!validArg) {
          ok = line("-ERR No such message");
        } else {
          const std::string value =
              command == "LIST" ? std::to_string(size(index)) : session.messages[index].uidl;
          ok = line("+OK " + std::to_string(index + 1) + " " + value);
        }
      } else if (command == "LIST" || command == "UIDL") {
        std::string out = "+OK\r\n";
        for (std::size_t i = 0; i < count; ++i) {
          if (!visible(i)) continue;
          out += std::to_string(i + 1) + " " +
                 (command == "LIST" ? std::to_string(size(i)) : session.messages[i].uidl) + "\r\n";
        }
        ok = send(out + ".\r\n");
      } else if (command == "RETR" || command == "TOP") {
        long bodyLines = -1;
        if (command == "TOP") {
          const std::string arg2 = words.size() > 2 ? words[2] : std::string();
          if (arg2.empty() || arg2.find_first_not_of("0123456789") != std::string::npos ||
              arg2.size() > 9) {
            bodyLines = -2;
          } else {
            bodyLines = std::strtol(arg2.c_str(), nullptr, 10);
          }
        }
        if (!validArg || bodyLines == -2) {
          ok = line("-ERR No such message");
        } else {
          ok = send("+OK " + std::to_string(size(index)) + " octets\r\n" +
                    MultiLineBody(session.messages[index].content, bodyLines));
        }
      } else if (command == "DELE") {
        if (!validArg) {
          ok = line("-ERR No such message");
        } else {
          session.deleted[index] = true;
          ok = line("+OK Marked to be deleted.");
        }
      } else if (command == "RSET") {
        session.deleted.assign(count, false);
        ok = line("+OK");
      } else if (command == "LAST") {
        ok = line("+OK 0");
      } else {
        ok = line("-ERR Unknown command.");
      }
    }
    if (!ok) return;
  }
}

}  // namespace corvel::test
