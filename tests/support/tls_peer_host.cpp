// The TLS peer host: the OpenSSL server side of the TLS tests, and the
// OAuth2 test server with its browser, for test programs that have no
// OpenSSL or libcurl of their own (the Windows build, run under Wine on this
// machine). It listens on 127.0.0.1, prints its port, and serves each
// control connection in a process of its own, which holds one set of test
// certificates, one test server and its current peer, or one OAuth2 test
// server, and runs the commands of tls_peer_wire.h on them. A control
// connection that ends ends its process, with whatever it held.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pop3_server/plain_socket.h"
#include "support/loopback.h"
#include "support/oauth_test_server.h"
#include "support/tls_peer_wire.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"

namespace corvel::test {
namespace {

constexpr int kAcceptLimitMs = 20000;
constexpr int kControlLimitMs = 24 * 3600 * 1000;

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

class Control {
 public:
  explicit Control(PeerSocket socket) : socket_(std::move(socket)) {}

  void Run() {
    std::string line;
    while (ReadLine(line)) {
      const std::size_t blank = std::min(line.find(' '), line.size());
      const std::string command = line.substr(0, blank);
      const std::vector<std::string> args =
          wire::Fields(blank < line.size() ? std::string_view(line).substr(blank + 1) : "");
      std::vector<std::string> reply;
      try {
        reply = Execute(command, args);
      } catch (const std::exception& error) {
        reply = {"error", error.what()};
      }
      if (!socket_.SendAll(wire::Line(reply), kControlLimitMs)) return;
    }
  }

 private:
  bool ReadLine(std::string& line) {
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return true;
      }
      char chunk[65536];
      pollfd entry{socket_.Fd(), POLLIN, 0};
      if (plain::Poll(&entry, 1, kControlLimitMs) <= 0) return false;
      const int n = plain::Receive(socket_.Fd(), chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  static std::string Flag(bool value) { return value ? "1" : ""; }

  std::vector<std::string> Execute(const std::string& command, const std::vector<std::string>& a) {
    auto arg = [&a](std::size_t i) { return i < a.size() ? a[i] : std::string(); };
    if (command == "pki") {
      pki_ = std::make_unique<TestPki>();
      std::ifstream file(pki_->CaFile(), std::ios::binary);
      std::ostringstream pem;
      pem << file.rdbuf();
      return {"ok", pki_->Folder(), pki_->CaFile(), pem.str()};
    }
    if (command == "issue") {
      CertSpec spec;
      spec.commonName = arg(1);
      spec.dnsNames = Split(arg(2));
      spec.ipAddresses = Split(arg(3));
      spec.validFrom = std::stol(arg(4));
      spec.validUntil = std::stol(arg(5));
      spec.selfSigned = !arg(6).empty();
      const CertFiles files = pki_->Issue(arg(0), spec);
      return {"ok", files.cert, files.key};
    }
    if (command == "listen") {
      options_.files = {arg(0), arg(1)};
      options_.maxVersion = std::stoi(arg(2));
      options_.ioTimeoutMs = std::stoi(arg(3));
      listener_.emplace();
      return {"ok", listener_->PortText()};
    }
    if (command == "accept") {
      peer_.reset();
      PeerSocket socket = listener_->Accept(kAcceptLimitMs);
      if (!socket.Valid()) return {""};
      peer_ = std::make_unique<TlsPeer>(std::move(socket), options_);
      return {"ok"};
    }
    if (command == "end") {
      peer_.reset();
      return {"ok"};
    }
    if (command.starts_with("oauth")) return OAuth(command, a);
    if (!peer_) return {"error", "no peer"};
    TlsPeer& peer = *peer_;
    if (command == "handshake") {
      const bool done = peer.Handshake();
      return {Flag(done), peer.Error()};
    }
    if (command == "version") return {peer.Version()};
    if (command == "servername") return {peer.ServerName()};
    if (command == "write") return {Flag(peer.Write(arg(0))), peer.Error()};
    if (command == "read") {
      std::string bytes = peer.Read(std::stoul(arg(0)));
      return {bytes, Flag(peer.SawCloseNotify())};
    }
    if (command == "readline") {
      std::string line = peer.ReadLine();
      return {line, Flag(peer.SawCloseNotify())};
    }
    if (command == "readtoend") {
      std::string bytes = peer.ReadToEnd();
      return {bytes, Flag(peer.SawCloseNotify())};
    }
    if (command == "closenotify") {
      peer.SendCloseNotify();
      return {"ok"};
    }
    if (command == "writeclose") return {Flag(peer.WriteWithCloseNotify(arg(0)))};
    if (command == "writeplain") return {Flag(peer.WritePlain(arg(0)))};
    if (command == "readplainline") return {peer.ReadPlainLine()};
    if (command == "readraw") return {peer.ReadRaw(std::stoul(arg(0)))};
    if (command == "readrawtoend") return {peer.ReadRawToEnd()};
    if (command == "closetcp") {
      peer.CloseTcp();
      return {"ok"};
    }
    return {"error", "unknown command " + command};
  }

  std::vector<std::string> OAuth(const std::string& command, const std::vector<std::string>& a) {
    auto arg = [&a](std::size_t i) { return i < a.size() ? a[i] : std::string(); };
    if (command == "oauth") {
      oauth_ = std::make_unique<OAuthTestServer>();
      const std::string url = oauth_->TokenUrl();
      const std::size_t colon = url.rfind(':');
      return {"ok", url.substr(colon + 1, url.find('/', colon) - colon - 1)};
    }
    if (!oauth_) return {"error", "no OAuth test server"};
    OAuthTestServer& server = *oauth_;
    if (command == "oauth-user") {
      server.SetUser(arg(0));
    } else if (command == "oauth-issue") {
      return {"ok", server.IssueAccessToken()};
    } else if (command == "oauth-access") {
      server.SetAccessToken(arg(0), arg(1));
    } else if (command == "oauth-deny") {
      server.DenyAuthorization(arg(0));
    } else if (command == "oauth-revoke") {
      server.RevokeRefreshTokens();
    } else if (command == "oauth-secret") {
      server.RequireClientSecret(arg(0));
    } else if (command == "oauth-counts") {
      return {"ok", std::to_string(server.CodeGrants()), std::to_string(server.RefreshGrants()),
              std::to_string(server.Introspections()), server.Refusals()};
    } else if (command == "oauth-page") {
      return {"ok", server.BrowserPage()};
    } else if (command == "oauth-browse") {
      std::string why;
      if (!server.Browser()(arg(0), why)) return {"error", why};
    } else {
      return {"error", "unknown command " + command};
    }
    return {"ok"};
  }

  PeerSocket socket_;
  std::unique_ptr<OAuthTestServer> oauth_;
  std::string buffer_;
  std::unique_ptr<TestPki> pki_;
  TlsServerOptions options_;
  std::optional<LoopbackListener> listener_;
  std::unique_ptr<TlsPeer> peer_;
};

}  // namespace
}  // namespace corvel::test

int main() {
  using namespace corvel::test;
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGCHLD, SIG_IGN);  // no zombies
  LoopbackListener listener;
  std::printf("%s\n", listener.PortText().c_str());
  std::fflush(stdout);
  for (;;) {
    PeerSocket control = listener.Accept(60 * 60 * 1000);
    if (!control.Valid()) continue;
    const pid_t child = ::fork();
    if (child == 0) {
      listener.Close();
      Control(std::move(control)).Run();
      std::_Exit(0);
    }
  }
}
