#include "net/resolve.h"

#include <gtest/gtest.h>

#include <string>

#include "net/async_socket.h"
#include "net/socket_calls.h"

namespace corvel {
namespace {

// The exception text a call raises, or "" when it raises nothing.
template <typename Call>
std::string RaisedText(Call call) {
  try {
    call();
  } catch (const SocketException& e) {
    return e.what();
  }
  return "";
}

constexpr std::uint32_t Address(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                std::uint32_t d) {
  return sockets::HostToNet32((a << 24) | (b << 16) | (c << 8) | d);
}

TEST(IsDottedQuad, AcceptsFourNumbersUpTo255) {
  EXPECT_TRUE(IsDottedQuad("10.0.0.1"));
  EXPECT_TRUE(IsDottedQuad("0.0.0.0"));
  EXPECT_TRUE(IsDottedQuad("255.255.255.255"));
  EXPECT_TRUE(IsDottedQuad("192.168.100.254"));
}

TEST(IsDottedQuad, AllowsLeadingBlanksAndATrailingRunOfBlanks) {
  EXPECT_TRUE(IsDottedQuad("10.0.0.1 "));
  EXPECT_TRUE(IsDottedQuad("10.0.0.1    "));
  EXPECT_TRUE(IsDottedQuad("  10.0.0.1"));
}

TEST(IsDottedQuad, RefusesWrongShapes) {
  for (const char* text : {"10.0.0", "10.0.0.1.2", "256.1.1.1", ".1.1.1", "1..1.1", "", "   ",
                           "a.b.c.d", "10.0.0.1x", "10.0.0.", "10.0.0.256", "10.0.0.1 x",
                           "10.0 .0.1", "localhost", "1.2.3.4.", "99999999999.1.1.1"}) {
    EXPECT_FALSE(IsDottedQuad(text)) << "'" << text << "'";
  }
}

TEST(ResolveHost, ConvertsADottedQuadDirectly) {
  EXPECT_EQ(ResolveHost("10.0.0.1"), Address(10, 0, 0, 1));
  EXPECT_EQ(ResolveHost(" 127.0.0.1 "), Address(127, 0, 0, 1));
  EXPECT_EQ(ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
}

TEST(ResolveHost, ReadsDottedNumbersAsDecimal) {
  EXPECT_EQ(ResolveHost("010.000.000.001"), Address(10, 0, 0, 1));
}

TEST(ResolveHost, LooksUpAHostName) { EXPECT_EQ(ResolveHost("localhost"), Address(127, 0, 0, 1)); }

TEST(ResolveHost, RefusesAnEmptyOrOverlongText) {
  EXPECT_EQ(RaisedText([] { (void)ResolveHost(""); }), "ResolveHost: '' Invalid Hostname.");
  std::string longName(257, 'a');
  EXPECT_EQ(RaisedText([&] { (void)ResolveHost(longName); }),
            "ResolveHost: '" + longName + "' Invalid Hostname.");
}

TEST(ResolveHost, RefusesADottedTextThatConvertsToTheNoneValue) {
  EXPECT_EQ(RaisedText([] { (void)ResolveHost("0255.255.255.255"); }),
            "ResolveHost: '0255.255.255.255' Invalid IP address.");
}

TEST(ResolveHost, ReportsAFailedLookupWithTheHostNotFoundCode) {
  // A name with an empty label fails in the resolver itself, without a query.
  EXPECT_EQ(RaisedText([] { (void)ResolveHost("no..such..host"); }),
            "ResolveHost: Cannot convert host address 'no..such..host', Error #11001");
}

TEST(ResolvePort, LooksUpAServiceName) {
  EXPECT_EQ(ResolvePort("pop3", "tcp"), 110);
  EXPECT_EQ(ResolvePort("smtp", "tcp"), 25);
}

TEST(ResolvePort, ReadsLeadingDigitsAndStopsAtTheFirstOther) {
  EXPECT_EQ(ResolvePort("110", "tcp"), 110);
  EXPECT_EQ(ResolvePort("80x", "tcp"), 80);
  EXPECT_EQ(ResolvePort("0", "tcp"), 0);
  EXPECT_EQ(ResolvePort("65535", "tcp"), 65535);
}

TEST(ResolvePort, LooksUpTheTrimmedTextWhenItBeginsWithABlank) {
  EXPECT_EQ(ResolvePort(" pop3 ", " tcp "), 110);
  EXPECT_EQ(RaisedText([] { (void)ResolvePort(" 110", "tcp"); }),
            "ResolvePort: Cannot convert port '110', Error #11004");
}

TEST(ResolvePort, ReportsAnUnknownServiceName) {
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("nosuchservice", "tcp"); }),
            "ResolvePort: Cannot convert port 'nosuchservice', Error #11004");
}

TEST(ResolvePort, RefusesEmptyAndOverlongTexts) {
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("", "tcp"); }), "ResolvePort: Invalid Port.");
  EXPECT_EQ(RaisedText([] { (void)ResolvePort(std::string(32, '1'), "tcp"); }),
            "ResolvePort: Invalid Port.");
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("110", ""); }), "ResolvePort: Invalid Proto.");
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("110", std::string(32, 't')); }),
            "ResolvePort: Invalid Proto.");
  EXPECT_EQ(RaisedText([] { (void)ResolvePort(std::string(31, '0'), "tcp"); }), "");
}

TEST(ResolvePort, RefusesANumberBeyondThePortRange) {
  // Cut to 16 bits it would name another port (70000 is 4464).
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("70000", "tcp"); }), "ResolvePort: Invalid Port.");
  EXPECT_EQ(RaisedText([] { (void)ResolvePort("65536", "tcp"); }), "ResolvePort: Invalid Port.");
}

TEST(ResolveProto, KnowsTcpUdpAndRawInAnyLetterCase) {
  EXPECT_EQ(ResolveProto("TCP"), 6);
  EXPECT_EQ(ResolveProto("tcp"), 6);
  EXPECT_EQ(ResolveProto("udp"), 17);
  EXPECT_EQ(ResolveProto("raw"), 255);
  EXPECT_EQ(ResolveProto(" Udp "), 17);
}

TEST(ResolveProto, ReadsLeadingDigits) {
  EXPECT_EQ(ResolveProto("6"), 6);
  EXPECT_EQ(ResolveProto("17x"), 17);
}

TEST(ResolveProto, LooksUpOtherNamesInTheProtocolsDatabase) {
  EXPECT_EQ(ResolveProto("icmp"), 1);
  EXPECT_EQ(RaisedText([] { (void)ResolveProto("NoSuchProto"); }),
            "ResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(ResolveProto, RefusesEmptyAndOverlongTexts) {
  EXPECT_EQ(RaisedText([] { (void)ResolveProto(""); }), "ResolveProto: Invalid Protocol.");
  EXPECT_EQ(RaisedText([] { (void)ResolveProto(std::string(32, 'x')); }),
            "ResolveProto: Invalid Protocol.");
}

TEST(AddressToText, WritesTheNormalisedDottedForm) {
  EXPECT_EQ(AddressToText(Address(10, 0, 0, 1)), "10.0.0.1");
  EXPECT_EQ(AddressToText(DottedQuadToAddress(" 010.1.02.255 ")), "10.1.2.255");
}

}  // namespace
}  // namespace corvel
