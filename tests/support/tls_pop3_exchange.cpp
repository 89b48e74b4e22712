// The POP3 side of a TLS test peer, the same whether the peer's TLS runs
// here or in the TLS peer host.
#include "support/tls_test_server.h"

namespace corvel::test {

std::string Pop3Exchange(TlsPeer& peer,
                         const std::vector<std::pair<std::string, std::string>>& exchange) {
  std::string received;
  for (const auto& [command, reply] : exchange) {
    const std::string line = peer.ReadLine();
    received += line;
    if (line != command + "\r\n" || !peer.Write(reply + "\r\n")) break;
  }
  return received;
}

}  // namespace corvel::test
