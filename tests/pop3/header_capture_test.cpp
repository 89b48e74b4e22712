// Capture of the eight header fields from the lines of a RETR/TOP answer.
#include "pop3/header_capture.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace corvel {
namespace {

// Runs the capture over `lines` as the engine does while inHeader is set;
// returns the index of the line that ended the header part, or -1.
int Capture(Pop3HeaderFields& fields, std::initializer_list<std::string> lines) {
  fields.Reset();
  int index = 0;
  for (const std::string& line : lines) {
    if (fields.inHeader && CaptureHeaderLine(fields, line)) return index;
    ++index;
  }
  return -1;
}

TEST(Pop3HeaderCapture, JoinsFoldedSubjectKeepingTheWhiteSpaceOfTheFold) {
  Pop3HeaderFields fields;
  EXPECT_EQ(Capture(fields, {"From: Ann", "Subject: Quarterly report for", " the finance team",
                             "Date: x", "", "body"}),
            4);
  EXPECT_EQ(fields.from, "Ann");
  EXPECT_EQ(fields.subject, "Quarterly report for the finance team");
  EXPECT_EQ(fields.date, "x");
  EXPECT_FALSE(fields.inHeader);
}

TEST(Pop3HeaderCapture, KeepsWhiteSpaceAfterTheFoldingCharacter) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject: a", "\t  b"});
  EXPECT_EQ(fields.subject, "a\t  b");
  EXPECT_EQ(fields.data, "  b");
}

TEST(Pop3HeaderCapture, DropsTheFoldBetweenTwoEncodedWordsOnly) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject: =?ISO-8859-1?Q?Gr=FC?=", " \t=?ISO-8859-1?Q?=DFe?=", " =?x?=", " y"});
  EXPECT_EQ(fields.subject, "=?ISO-8859-1?Q?Gr=FC?==?ISO-8859-1?Q?=DFe?= =?x?= y");
}

TEST(Pop3HeaderCapture, TrimsAndLowerCasesTheName) {
  Pop3HeaderFields fields;
  Capture(fields, {"SUBJECT : Test"});
  EXPECT_EQ(fields.keyword, "subject");
  EXPECT_EQ(fields.subject, "Test");
}

TEST(Pop3HeaderCapture, TakesValueWithoutSpaceAfterColon) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject:Test"});
  EXPECT_EQ(fields.subject, "Test");
}

TEST(Pop3HeaderCapture, DropsOnlyOneSpaceAfterColon) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject:  Test  "});
  EXPECT_EQ(fields.subject, " Test  ");
}

TEST(Pop3HeaderCapture, ColonAtLineEndGivesEmptyValue) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject:"});
  EXPECT_EQ(fields.keyword, "subject");
  EXPECT_EQ(fields.subject, "");
}

TEST(Pop3HeaderCapture, RepeatedHeaderReplacesEarlierValue) {
  Pop3HeaderFields fields;
  Capture(fields, {"To: first", "To: second"});
  EXPECT_EQ(fields.to, "second");
}

TEST(Pop3HeaderCapture, OtherHeadersChangeNoField) {
  Pop3HeaderFields fields;
  Capture(fields, {"From: Ann", "Received: from x by y", " continued"});
  EXPECT_EQ(fields.from, "Ann");
  EXPECT_EQ(fields.keyword, "received");
  EXPECT_EQ(fields.data, "continued");
  EXPECT_EQ(fields.subject, "");
  EXPECT_EQ(fields.to, "");
}

TEST(Pop3HeaderCapture, CapturesAllEightFields) {
  Pop3HeaderFields fields;
  Capture(fields, {"From: f", "To: t", "Subject: s", "Date: d", "Message-ID: <m>", "Reply-To: r",
                   "In-Reply-To: <i>", "Return-Path: <p>"});
  EXPECT_EQ(fields.from, "f");
  EXPECT_EQ(fields.to, "t");
  EXPECT_EQ(fields.subject, "s");
  EXPECT_EQ(fields.date, "d");
  EXPECT_EQ(fields.messageId, "<m>");
  EXPECT_EQ(fields.replyTo, "r");
  EXPECT_EQ(fields.inReplyTo, "<i>");
  EXPECT_EQ(fields.returnPath, "<p>");
}

TEST(Pop3HeaderCapture, LineWithoutColonKeepsLastKeywordForContinuations) {
  Pop3HeaderFields fields;
  Capture(fields, {"Subject: a", "1 1200", " b"});
  EXPECT_EQ(fields.keyword, "subject");
  EXPECT_EQ(fields.subject, "a b");
}

TEST(Pop3HeaderCapture, NoBlankLineLeavesHeaderOpen) {
  Pop3HeaderFields fields;
  EXPECT_EQ(Capture(fields, {"From: a", "Subject: b"}), -1);
  EXPECT_TRUE(fields.inHeader);
}

TEST(Pop3HeaderCapture, LimitsHeaderDataTo10000Characters) {
  Pop3HeaderFields fields;
  const std::string huge(12000, 'v');
  Capture(fields, {"Subject: " + huge, " " + huge});
  EXPECT_EQ(fields.data.size(), kMaxHeaderData);
  EXPECT_EQ(fields.subject.size(), 2 * kMaxHeaderData + 1);
}

TEST(Pop3HeaderCapture, EndlessContinuationsStopGrowingTheField) {
  Pop3HeaderFields fields;
  fields.Reset();
  CaptureHeaderLine(fields, "Subject: start");
  const std::string piece = " " + std::string(4000, 'c');
  for (int i = 0; i < 1000; ++i) CaptureHeaderLine(fields, piece);
  EXPECT_EQ(fields.subject.size(), kMaxHeaderValue);
  EXPECT_EQ(fields.subject.substr(0, 5), "start");
}

TEST(Pop3HeaderCapture, ResetEmptiesEverything) {
  Pop3HeaderFields fields;
  Capture(fields, {"From: a", ""});
  fields.Reset();
  EXPECT_TRUE(fields.inHeader);
  EXPECT_EQ(fields.from, "");
  EXPECT_EQ(fields.keyword, "");
  EXPECT_EQ(fields.data, "");
}

}  // namespace
}  // namespace corvel
