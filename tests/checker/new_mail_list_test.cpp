// The index of the "New mail" rows follows every change of the rows: a row
// deleted or cleared can be listed again, one still there is never listed
// twice, and no two pairs of caption and identifier are taken for one.
#include "checker/new_mail_list.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

MailRow Row(std::string account, std::string uidl) {
  MailRow row;
  row.account = std::move(account);
  row.uidl = std::move(uidl);
  return row;
}

TEST(NewMailList, HoldsExactlyTheCaptionsAndIdentifiersOfItsRows) {
  NewMailList list;
  list.Append(Row("Home", "x"));
  list.Append(Row("Home", ""));
  list.Append(Row("Home", ""));
  list.Append(Row("a", "1"));
  EXPECT_TRUE(list.Holds("Home", "x"));
  EXPECT_FALSE(list.Holds("Work", "x"));
  EXPECT_FALSE(list.Holds("a1", ""));
  EXPECT_FALSE(list.Holds("Home", "X"));

  list.Delete(1);  // one of the two rows without an identifier
  EXPECT_TRUE(list.Holds("Home", ""));
  list.Delete(1);
  EXPECT_FALSE(list.Holds("Home", ""));
  EXPECT_TRUE(list.Holds("a", "1"));

  list.Clear();
  EXPECT_FALSE(list.Holds("Home", "x"));
  list.Append(Row("Home", "x"));
  EXPECT_TRUE(list.Holds("Home", "x"));
  EXPECT_EQ(list.Count(), 1u);
}

}  // namespace
}  // namespace corvel
