#include "codec/header_decode.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/exception.h"

namespace corvel {
namespace {

using namespace std::string_literals;

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// --- Examples every header decoder of the program must reproduce ----------

TEST(DecodeHeaderValue, DecodesLowerCaseQWordToRawBytes) {
  EXPECT_EQ(DecodeHeaderValue("=?iso-8859-1?q?Gr=FC=DFe?="), Bytes({'G', 'r', 0xFC, 0xDF, 'e'}));
}

TEST(DecodeHeaderValue, TurnsUnderscoreIntoBlank) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?Hello_World?="), "Hello World");
}

TEST(DecodeHeaderValue, DecodesBWordAndDropsThePaddingZero) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?SGVsbG8=?="), "Hello");
}

TEST(DecodeHeaderValue, LeavesUtf8WordUnchanged) {
  EXPECT_EQ(DecodeHeaderValue("=?UTF-8?B?SGVsbG8=?="), "=?UTF-8?B?SGVsbG8=?=");
  EXPECT_EQ(DecodeHeaderValue("=?KOI8-R?Q?a?= =?US-ASCII?Q?b?="),
            "=?KOI8-R?Q?a?= =?US-ASCII?Q?b?=");
}

TEST(DecodeHeaderValue, DecodesIsoWordsBeforeWindowsWords) {
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?Q?a?= =?ISO-8859-1?Q?b?="), "a b");
}

TEST(DecodeHeaderValue, KeepsWhiteSpaceBetweenAdjacentWords) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?="), "a b");
  EXPECT_EQ(DecodeHeaderValue("Re: =?ISO-8859-1?Q?caf=E9?=  ok"), "Re: caf\xE9  ok");
}

TEST(DecodeHeaderValue, ReturnsPlainValueWithoutItsZeroBytes) {
  EXPECT_EQ(DecodeHeaderValue("Ann <ann@example.org>"), "Ann <ann@example.org>");
  EXPECT_EQ(DecodeHeaderValue("a\0b\0"s), "ab");
  EXPECT_EQ(DecodeHeaderValue(""), "");
}

TEST(DecodeHeaderValue, ConvertsIso2022JpWordToShiftJis) {
  // Decoded bytes: ESC "$B" 0x30 0x21 ESC "(B".
  EXPECT_EQ(DecodeHeaderValue("=?ISO-2022-JP?B?GyRCMCEbKEI=?="), Bytes({0x88, 0x9F}));
  EXPECT_EQ(DecodeHeaderValue("=?iso-2022-jp?Q?=1B$B0!=1B(B?="), Bytes({0x88, 0x9F}));
}

TEST(DecodeHeaderValue, ConvertsOnlyTheCharsetIso2022JpItself) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-2022-JP-2?Q?=1B$B0!=1B(B?="), "\x1B$B0!\x1B(B");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?=1B$B0!?="), "\x1B$B0!");
}

// --- Recognising words -----------------------------------------------------

TEST(DecodeHeaderValue, RecognisesPrefixesInAnyCase) {
  EXPECT_EQ(DecodeHeaderValue("=?Iso-8859-15?Q?x?="), "x");
  EXPECT_EQ(DecodeHeaderValue("=?WiNdOwS-1252?q?y?="), "y");
  EXPECT_EQ(DecodeHeaderValue("=?ISO?Q?z?="), "z") << "an empty rest of the charset name";
}

TEST(DecodeHeaderValue, DecodesAnyEncodingOtherThanQAsB) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?b?SGVsbG8=?="), "Hello");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?X?SGVsbG8=?="), "Hello");
}

TEST(DecodeHeaderValue, TakesTheOneCharacterAfterTheCharsetAsEncoding) {
  // "QX" is encoding Q; the "X" is neither encoding nor text.
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?QX?a_b?="), "a b");
}

TEST(DecodeHeaderValue, EndsAWordAtTheFirstQuestionMarkEquals) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?a?b?=c?="), "a?bc?=");
}

TEST(DecodeHeaderValue, LeavesIncompleteWordsUnchanged) {
  for (const std::string value :
       {"=?ISO", "=?ISO-8859-1", "=?ISO-8859-1?Q", "=?ISO-8859-1?Q?", "=?ISO-8859-1?Q?abc",
        "=?ISO-8859-1?Q?abc?", "=?ISO-8859-1?Q?=", "=?WINDOWS", "=?windows-1252?Q?abc",
        "=?windows-1252?Q", "x =?ISO-8859-1?Q?a y", "=?ISO=?ISO=?ISO", "=?WINDOWS=?WINDOWS?"}) {
    EXPECT_EQ(DecodeHeaderValue(value), value);
  }
}

TEST(DecodeHeaderValue, DecodesWindowsWordsBeforeAnIncompleteOne) {
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?Q?a?= =?windows-1252?Q?b?= =?windows-1252?Q?c"),
            "a b =?windows-1252?Q?c");
}

TEST(DecodeHeaderValue, DecodesWindowsWordsBeforeAnIncompleteIsoWord) {
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?Q?a?= =?ISO-8859-1?Q?b"), "a =?ISO-8859-1?Q?b");
}

TEST(DecodeHeaderValue, DecodesIsoWordInsideWindowsWordFirst) {
  // The "=?ISO" word inside the Windows word decodes to "?=", which then
  // closes the Windows word ("a"). Taken the other way round, the Windows
  // word would end at "Q?=" and fail on the pair "?I".
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?Q?a=?ISO-8859-1?Q?=3F=3D?="), "a");
}

// --- Rescanning decoded text -------------------------------------------------

TEST(DecodeHeaderValue, RescansBytesThatAWordDecodedTo) {
  // The Windows word decodes to "y=?ISO-8859-1?Q?x?=" plus two padding zeros.
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?B?eT0/SVNPLTg4NTktMT9RP3g/PQ==?="), "yx");
}

TEST(DecodeHeaderValue, DoesNotDecodeAgainAnIsoWordDecodedToItsOwnPlace) {
  // Decodes to "=?ISO-8859-1?Q?x?=" at the word's own position; the search
  // resumes one byte further, so that word stays.
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?PT9JU08tODg1OS0xP1E/eD89?="), "=?ISO-8859-1?Q?x?=");
  // Likewise after a Windows word: its text "=3D?ISO..." holds no "=?ISO" of
  // its own, and the word it decodes to begins at its place.
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?Q?=3D?ISO-8859-1?Q?x=3F=3D?="), "=?ISO-8859-1?Q?x?=");
}

TEST(DecodeHeaderValue, DecodesAWindowsWordDecodedToItsOwnPlaceAgain) {
  // The Windows search starts at position 1 each time.
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?B?PT93aW5kb3dzLTEyNTI/UT96Pz0=?="), "z");
}

TEST(DecodeHeaderValue, UnwrapsDeeplyNestedWindowsWords) {
  std::string value = "core";
  for (int level = 0; level < 12; ++level) {
    value = "=?windows-1252?B?" + EncodeBase64(value) + "?=";
  }
  EXPECT_EQ(DecodeHeaderValue(value), "core");
}

TEST(DecodeHeaderValue, ReadsTheWordAfterAnEmptyOneAtTheSamePlace) {
  // The empty word leaves no bytes; the next word starts where it began and is
  // still decoded.
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?\?==?ISO-8859-1?Q?b?="), "b");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?\?==?ISO-8859-1?B?Yg==?="), "b");
}

// --- Q text --------------------------------------------------------------

TEST(DecodeHeaderValue, ReadsHexPairsInEitherCase) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?=e9=E9=0a?="), "\xE9\xE9\n");
}

TEST(DecodeHeaderValue, CopiesEqualsSignTooCloseToTheEnd) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?ab=4?="), "ab=4");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?ab=?="), "ab=");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?=?="), "=");
}

TEST(DecodeHeaderValue, DecodesEmptyQTextToNothing) {
  EXPECT_EQ(DecodeHeaderValue("x=?ISO-8859-1?Q?\?=y"), "xy");
  EXPECT_EQ(DecodeHeaderValue("=?windows-1252?q?\?="), "");
}

TEST(DecodeHeaderValue, RemovesZeroBytesThatQTextDecodesTo) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?a=00b?="), "ab");
}

std::string ConversionFailure(const std::string& value) {
  try {
    (void)DecodeHeaderValue(value);
  } catch (const ConvertException& e) {
    EXPECT_EQ(e.ClassName(), "ConvertException");
    return e.what();
  }
  return "no exception";
}

TEST(DecodeHeaderValue, RaisesConvertExceptionForInvalidHexPair) {
  EXPECT_EQ(ConversionFailure("=?ISO-8859-1?Q?a=ZZb?="), "'$ZZ' is not a valid integer value");
  EXPECT_EQ(ConversionFailure("Subject =?windows-1252?Q?=G1?="),
            "'$G1' is not a valid integer value");
  EXPECT_EQ(ConversionFailure("=?ISO-8859-1?Q?=?x?="), "'$?x' is not a valid integer value");
  EXPECT_EQ(ConversionFailure("=?ISO-8859-1?Q?=4 ?="), "'$4 ' is not a valid integer value");
}

// --- B text --------------------------------------------------------------

TEST(DecodeHeaderValue, CountsTheTerminatorIntoTheLastBGroup) {
  // "SGVsbA" + "?=" is two groups: "Hel", then "l" and two zero bytes.
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?SGVsbA?="), "Hell");
}

TEST(DecodeHeaderValue, IgnoresAShortRestOfBText) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?SGVsb?="), "Hel");
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?S?="), "");
}

TEST(DecodeHeaderValue, CountsCharactersOutsideTheAlphabetAsZeroInBText) {
  // The blank counts 0: the group " bG8" gives (0*4 + 27/16) = 0x01,
  // (27*16 + 6/4) mod 256 = 0xB1 and (6*64 + 60) mod 256 = 0xBC.
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?SGVs bG8?="), "Hel" + Bytes({0x01, 0xB1, 0xBC}));
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?SGVs\xE9"
                              "bG8?="),
            "Hel" + Bytes({0x01, 0xB1, 0xBC}));
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?B?////?="), Bytes({0xFF, 0xFF, 0xFF}));
}

// --- JisToShiftJis -------------------------------------------------------

TEST(JisToShiftJis, ConvertsDoubleByteTextBetweenEscapes) {
  EXPECT_EQ(JisToShiftJis("\x1B$B\x30\x21\x1B(B"), Bytes({0x88, 0x9F}));
  EXPECT_EQ(JisToShiftJis("a\x1B$B\x30\x21\x1B(Bb"), Bytes({'a', 0x88, 0x9F, 'b'}));
}

TEST(JisToShiftJis, AppliesOddAndEvenRowRules) {
  EXPECT_EQ(JisToShiftJis("\x1B$B\x21\x21"), Bytes({0x81, 0x40}));  // odd row, cell below 0x60
  EXPECT_EQ(JisToShiftJis("\x1B$B\x21\x60"), Bytes({0x81, 0x80}));  // odd row, cell 0x60 and up
  EXPECT_EQ(JisToShiftJis("\x1B$B\x5F\x21"), Bytes({0xE0, 0x40}));  // row 0x5F uses 0xB1
  EXPECT_EQ(JisToShiftJis("\x1B$B\x60\x21"), Bytes({0xE0, 0x9F}));  // even row
}

TEST(JisToShiftJis, ComputesOutOfRangeBytesModulo256) {
  EXPECT_EQ(JisToShiftJis("\x1B$B\x00\xFF"s), Bytes({0xF0, 0x7D}));
  EXPECT_EQ(JisToShiftJis("\x1B$B\xFF\xFF"s), Bytes({0x30, 0x1F}));
}

TEST(JisToShiftJis, DropsEscJAndKeepsTheMode) {
  EXPECT_EQ(JisToShiftJis("\x1B$B\x30\x21\x1B(J\x30\x21"), Bytes({0x88, 0x9F, 0x88, 0x9F}));
  EXPECT_EQ(JisToShiftJis("a\x1B(Jb"), "ab");
  EXPECT_EQ(JisToShiftJis("a\x1B$@b"), "ab");
}

TEST(JisToShiftJis, DropsALoneLastByteOfDoubleByteText) {
  EXPECT_EQ(JisToShiftJis("\x1B$B\x30\x21\x30"), Bytes({0x88, 0x9F}));
  EXPECT_EQ(JisToShiftJis("\x1B$B\x30"), "");
}

TEST(JisToShiftJis, DropsOnlyTheEscapeWhenFewerThanTwoBytesFollow) {
  EXPECT_EQ(JisToShiftJis("a\x1B"), "a");
  EXPECT_EQ(JisToShiftJis("a\x1B$"), "a$");
  EXPECT_EQ(JisToShiftJis("\x1B$B\x1B$"), "") << "the lone '$' is a last byte in double-byte mode";
}

TEST(JisToShiftJis, CopiesSingleByteTextUnchanged) {
  EXPECT_EQ(JisToShiftJis("plain text\x80\xFF"), "plain text\x80\xFF");
  EXPECT_EQ(JisToShiftJis(""), "");
}

// --- PosFrom ----------------------------------------------------------------

TEST(PosFrom, TreatsStartZeroAsOne) {
  EXPECT_EQ(PosFrom("ab", "abcab", 0, false), 1u);
  EXPECT_EQ(PosFrom("ab", "abcab", 1, false), 1u);
}

TEST(PosFrom, FindsFirstOccurrenceAtOrAfterStart) {
  EXPECT_EQ(PosFrom("ab", "abcab", 2, false), 4u);
  EXPECT_EQ(PosFrom("ab", "abcab", 4, false), 4u);
  EXPECT_EQ(PosFrom("?", "=?ISO?Q?", 3, false), 6u);
}

TEST(PosFrom, ReturnsZeroWhenNotFound) {
  EXPECT_EQ(PosFrom("xyz", "abcab", 1, false), 0u);
  EXPECT_EQ(PosFrom("ab", "abcab", 5, false), 0u);
  EXPECT_EQ(PosFrom("abcabc", "abcab", 1, false), 0u);
  EXPECT_EQ(PosFrom("", "abc", 1, false), 0u);
  EXPECT_EQ(PosFrom("a", "", 0, false), 0u);
}

TEST(PosFrom, FindsNeedleAtTheVeryEnd) {
  EXPECT_EQ(PosFrom("?=", "abc?=", 1, false), 4u);
  EXPECT_EQ(PosFrom("?=", "abc?=", 4, false), 4u);
  EXPECT_EQ(PosFrom("=", "abc?=", 5, false), 5u);
}

TEST(PosFrom, ReturnsZeroForStartPastTheEnd) {
  EXPECT_EQ(PosFrom("a", "abc", 4, false), 0u);
  EXPECT_EQ(PosFrom("a", "abc", 1000, true), 0u);
  EXPECT_EQ(PosFrom("a", "abc", static_cast<size_t>(-1), false), 0u);
}

TEST(PosFrom, ComparesAsciiLettersWithoutCaseWhenAsked) {
  EXPECT_EQ(PosFrom("=?iso", "x =?IsO-8859-1", 1, true), 3u);
  EXPECT_EQ(PosFrom("=?iso", "x =?IsO-8859-1", 1, false), 0u);
  EXPECT_EQ(PosFrom("WINDOWS", "a windows b", 1, true), 3u);
  EXPECT_EQ(PosFrom("\xE9", "\xC9\xE9", 1, true), 2u) << "only ASCII letters fold";
}

TEST(PosFrom, FindsNeedlesHoldingZeroBytes) { EXPECT_EQ(PosFrom("\0b"s, "a\0b"s, 1, false), 2u); }

// --- Size limit ---------------------------------------------------------------

TEST(DecodeHeaderValue, DecodesValueOfTheLimitLength) {
  const std::string word = "=?ISO-8859-1?Q?x?=";
  std::string value = word + std::string(kMaxDecodedHeaderLength - word.size(), 'a');
  ASSERT_EQ(value.size(), kMaxDecodedHeaderLength);
  EXPECT_EQ(DecodeHeaderValue(value),
            "x" + std::string(kMaxDecodedHeaderLength - word.size(), 'a'));
}

TEST(DecodeHeaderValue, OnlyRemovesZeroBytesFromValueLongerThanTheLimit) {
  const std::string word = "=?ISO-8859-1?Q?x?=";
  std::string value = word + std::string(kMaxDecodedHeaderLength - word.size(), 'a') + "\0"s + "b";
  EXPECT_EQ(DecodeHeaderValue(value),
            word + std::string(kMaxDecodedHeaderLength - word.size(), 'a') + "b");
}

// --- Hostile input -------------------------------------------------------------

// The scan written out step by step: after every word, "=?ISO" from one byte
// into the decoded text (from its own place when it decoded to nothing), else
// "=?WINDOWS" from position 1. Candidates that are not words change nothing,
// so the same candidate coming back before the next replacement means the
// scan would go round for ever: it stops there. Q and B text are decoded by
// small separate routines here.
std::string ReferenceQ(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '_') {
      out += ' ';
      ++i;
    } else if (text[i] == '=' && i + 2 < text.size()) {
      const std::string pair(text.substr(i + 1, 2));
      if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ConvertException("'$" + pair + "' is not a valid integer value");
      }
      out += static_cast<char>(std::stoi(pair, nullptr, 16));
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string ReferenceB(std::string_view text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto value = [](char c) {
    const size_t p = kAlphabet.find(c);
    return p == std::string::npos ? 0u : static_cast<unsigned>(p);
  };
  std::string out;
  for (size_t i = 0; i + 4 <= text.size(); i += 4) {
    const unsigned x1 = value(text[i]), x2 = value(text[i + 1]), x3 = value(text[i + 2]),
                   x4 = value(text[i + 3]);
    out += static_cast<char>((x1 * 4 + x2 / 16) % 256);
    out += static_cast<char>((x2 * 16 + x3 / 4) % 256);
    out += static_cast<char>((x3 * 64 + x4) % 256);
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

std::string ReferenceDecode(std::string text) {
  std::set<size_t> failedSinceChange;
  auto nextCandidate = [&](size_t from) {
    const size_t iso = PosFrom("=?ISO", Upper(text), from, false);
    return iso != 0 ? iso : PosFrom("=?WINDOWS", Upper(text), 1, false);
  };
  size_t a = nextCandidate(1);
  while (a > 0 && failedSinceChange.insert(a).second) {
    const std::string upper = Upper(text);
    const size_t q1 = PosFrom("?", upper, a + 5, false);
    const size_t q2 = q1 ? PosFrom("?", upper, q1 + 1, false) : 0;
    const size_t e = q2 ? PosFrom("?=", upper, q2 + 1, false) : 0;
    if (e == 0) {
      a = nextCandidate(a + 1);
      continue;
    }
    const std::string charset = text.substr(a + 1, q1 - a - 2);
    const char encoding = text[q1];
    std::string decoded = (encoding == 'Q' || encoding == 'q')
                              ? ReferenceQ(text.substr(q2, e - 1 - q2))
                              : ReferenceB(text.substr(q2, e + 1 - q2));
    if (Upper(charset) == "ISO-2022-JP") decoded = JisToShiftJis(decoded);
    text = text.substr(0, a - 1) + decoded + text.substr(e + 1);
    failedSinceChange.clear();
    a = nextCandidate(decoded.empty() ? a : a + 1);
  }
  std::erase(text, '\0');
  return text;
}

// The outcome of a decoding: the text, or the exception's message.
std::string Outcome(const std::string& value, bool reference) {
  try {
    return "ok:" + (reference ? ReferenceDecode(value) : DecodeHeaderValue(value));
  } catch (const ConvertException& e) {
    return std::string("error:") + e.what();
  }
}

const std::vector<std::string> kTokens = {"=?",
                                          "?=",
                                          "?",
                                          "=",
                                          "ISO",
                                          "iso",
                                          "WINDOWS",
                                          "windows",
                                          "-8859-1",
                                          "-2022-JP",
                                          "-1252",
                                          "Q",
                                          "q",
                                          "B",
                                          "b",
                                          "_",
                                          "a",
                                          "Z",
                                          "3D",
                                          "3F",
                                          "41",
                                          "1B",
                                          "=3D",
                                          "=3F",
                                          "$B",
                                          "(B",
                                          " ",
                                          "\0"s,
                                          "\x1B",
                                          "=?ISO-8859-1?Q?",
                                          "=?windows-1252?B?",
                                          "AAAA",
                                          "PT8=",
                                          "\xE9"};

std::string RandomValue(std::mt19937& random, int maxTokens) {
  std::uniform_int_distribution<size_t> pick(0, kTokens.size() - 1);
  std::uniform_int_distribution<int> count(0, maxTokens);
  std::string value;
  for (int n = count(random); n > 0; --n) value += kTokens[pick(random)];
  return value;
}

TEST(DecodeHeaderValue, EndsAndAgreesWithTheStepByStepScanOnRandomValues) {
  std::mt19937 random(1939);
  for (int round = 0; round < 20000; ++round) {
    const std::string value = RandomValue(random, 24);
    ASSERT_EQ(Outcome(value, false), Outcome(value, true)) << "value: " << value;
  }
}

// Wraps text into words over and over, in Q or B, so that decoding one word
// produces further words, some at the word's own place.
std::string Wrap(std::mt19937& random, std::string inner) {
  std::uniform_int_distribution<int> coin(0, 3);
  static const char* const kCharsets[] = {"ISO-8859-1", "windows-1252", "ISO-2022-JP", "iso"};
  const std::string charset = kCharsets[coin(random)];
  std::string encoded;
  std::string encoding;
  if (coin(random) < 2) {
    encoding = "B";
    encoded = EncodeBase64(inner);
  } else {
    encoding = "Q";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : inner) {
      const auto byte = static_cast<unsigned char>(c);
      if (std::isalnum(byte)) {
        encoded += c;
      } else {
        encoded += '=';
        encoded += kHex[byte >> 4];
        encoded += kHex[byte & 15];
      }
    }
  }
  const std::string prefix = coin(random) == 0 ? RandomValue(random, 2) : "";
  const std::string suffix = coin(random) == 0 ? RandomValue(random, 2) : "";
  return prefix + "=?" + charset + "?" + encoding + "?" + encoded + "?=" + suffix;
}

TEST(DecodeHeaderValue, EndsAndAgreesWithTheStepByStepScanOnNestedWords) {
  std::mt19937 random(2047);
  std::uniform_int_distribution<int> depth(1, 6);
  for (int round = 0; round < 3000; ++round) {
    std::string value = RandomValue(random, 4);
    for (int level = depth(random); level > 0; --level) value = Wrap(random, value);
    ASSERT_EQ(Outcome(value, false), Outcome(value, true)) << "value: " << value;
  }
}

TEST(DecodeHeaderValue, EndsOnLongHostileValues) {
  std::mt19937 random(99);
  const std::vector<std::string> units = {
      "=?WINDOWS", "=?ISO", "=?WINDOWS??\?=", "=?ISO??\?=", "=?windows-1252?Q?=3D?=", "?="};
  for (const auto& unit : units) {
    std::string value;
    while (value.size() + unit.size() <= kMaxDecodedHeaderLength) value += unit;
    EXPECT_NO_THROW((void)DecodeHeaderValue(value)) << unit;
  }
  std::string mixed;
  while (mixed.size() < kMaxDecodedHeaderLength - 64) mixed += RandomValue(random, 8);
  EXPECT_EQ(Outcome(mixed, false), Outcome(mixed, true));
}

}  // namespace
}  // namespace corvel
