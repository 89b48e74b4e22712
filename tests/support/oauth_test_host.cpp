// The OAuth2 test server as a program of its own, for the desktop tests
// that drive a whole program (corvel.exe under Wine): it prints its port,
// then reads one command a line from its standard input until it ends, and
// answers each with "ok" (or the asked figure):
//   deny ERROR    /authorize sends the browser back with error=ERROR
//   allow         ... with a code again
//   revoke        every token given so far is refused from now on
//   access TOKEN  every grant gives TOKEN as the access token
//   grants        the number of code grants and of refresh grants
#include <iostream>
#include <sstream>
#include <string>

#include "support/oauth_test_server.h"

int main() {
  corvel::test::OAuthTestServer server;
  const std::string url = server.TokenUrl();
  const std::size_t colon = url.rfind(':');
  std::cout << url.substr(colon + 1, url.find('/', colon) - colon - 1) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    std::string argument;
    words >> command >> argument;
    if (command == "deny") {
      server.DenyAuthorization(argument);
    } else if (command == "allow") {
      server.DenyAuthorization("");
    } else if (command == "revoke") {
      server.RevokeRefreshTokens();
    } else if (command == "access") {
      server.SetAccessToken(argument, 3600);
    } else if (command == "grants") {
      std::cout << server.CodeGrants() << ' ' << server.RefreshGrants() << std::endl;
      continue;
    } else {
      std::cout << "unknown command " << command << std::endl;
      continue;
    }
    std::cout << "ok" << std::endl;
  }
}
