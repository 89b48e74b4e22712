// libcurl is loaded at its first use; where it cannot be loaded, what needed
// it (a token request, the check of an OAuth2 address) fails with a reason
// that names the library and the loader's own words, and nothing crashes.
#include "app/auth/posix/curl_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "app/auth/oauth_flow.h"
#include "app/auth/oauth_platform.h"

namespace corvel {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

TEST(CurlLibrary, MissingLibraryFailsTokenRequestsAndAddressChecksWithTheReason) {
  // The library is loaded once per process: the case runs in a process of
  // its own, started afresh rather than forked from one that may have
  // loaded it already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr char kMissing[] = "/nonexistent/libcurl-missing.so.4";
  const std::string reason = std::string("libcurl (") + kMissing +
                             ") could not be loaded: " + kMissing +
                             ": cannot open shared object file";
  EXPECT_EXIT(
      {
        SetCurlLibraryFile(kMissing);
        const std::string url = "https://login.example.com/token";
        const HttpFormAnswer answer = PostForm(url, {{"grant_type", "refresh_token"}}, 1000);
        std::cerr << "request reached=" << answer.reached << ": " << answer.reason << "\n"
                  << "address: " << RefusedEndpoint(kTokenUrlName, url).value_or("accepted")
                  << "\n";
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("request reached=0: " + reason),
            HasSubstr("address: " + std::string(kTokenUrlName) + " cannot be read (" + reason)));
}

}  // namespace
}  // namespace corvel
