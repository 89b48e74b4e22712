#include "net/send_block.h"

#include <gtest/gtest.h>

#include <string>

namespace corvel {
namespace {

std::string Unsent(const SendBlock& block) {
  auto bytes = block.Peek();
  return std::string(bytes.data(), bytes.size());
}

TEST(SendBlock, ACapacityOfZeroOrLessMeans1514) {
  EXPECT_EQ(SendBlock(0).Capacity(), 1514);
  EXPECT_EQ(SendBlock(-5).Capacity(), 1514);
  EXPECT_EQ(SendBlock().Capacity(), 1514);
  EXPECT_EQ(SendBlock(1460).Capacity(), 1460);
}

TEST(SendBlock, WriteCopiesWhatFitsAndSaysHowMuch) {
  SendBlock block(8);
  EXPECT_EQ(block.Write("abcde", 5), 5);
  EXPECT_EQ(block.Write("fghijk", 6), 3);
  EXPECT_EQ(block.Write("x", 1), 0);
  EXPECT_EQ(Unsent(block), "abcdefgh");
}

TEST(SendBlock, WriteOfNothingStoresNothing) {
  SendBlock block(8);
  EXPECT_EQ(block.Write("abc", 0), 0);
  EXPECT_EQ(block.Write(nullptr, 3), 0);
  EXPECT_EQ(block.Write("abc", -1), 0);
  EXPECT_TRUE(block.Peek().empty());
}

TEST(SendBlock, RemoveMarksBytesAsSentAndPeekShowsTheRest) {
  SendBlock block(16);
  block.Write("hello world", 11);
  EXPECT_EQ(block.Remove(6), 6);
  EXPECT_EQ(Unsent(block), "world");
  EXPECT_EQ(block.ReadCount(), 6);
  EXPECT_EQ(block.WriteCount(), 11);
}

TEST(SendBlock, RemoveTakesAtMostTheUnsentBytes) {
  SendBlock block(16);
  block.Write("abc", 3);
  EXPECT_EQ(block.Remove(10), 3);
  EXPECT_EQ(block.Remove(1), 0);
  EXPECT_EQ(block.Remove(-2), 0);
}

TEST(SendBlock, ADrainedBlockIsReusedFromItsStart) {
  SendBlock block(4);
  block.Write("abcd", 4);
  EXPECT_EQ(block.Write("e", 1), 0);
  block.Remove(4);
  EXPECT_EQ(block.ReadCount(), 0);
  EXPECT_EQ(block.WriteCount(), 0);
  EXPECT_EQ(block.Write("wxyz", 4), 4);
  EXPECT_EQ(Unsent(block), "wxyz");
}

TEST(SendBlock, APartlySentBlockKeepsItsReadPosition) {
  SendBlock block(4);
  block.Write("abcd", 4);
  block.Remove(2);
  // Still full: the sent bytes are not reclaimed until the rest has gone.
  EXPECT_EQ(block.Write("e", 1), 0);
  EXPECT_EQ(Unsent(block), "cd");
}

TEST(SendBlock, ChangingTheCapacityKeepsTheStoredBytes) {
  SendBlock block(4);
  block.Write("abcd", 4);
  block.SetCapacity(8);
  EXPECT_EQ(block.Write("efgh", 4), 4);
  EXPECT_EQ(Unsent(block), "abcdefgh");
  block.SetCapacity(2);
  EXPECT_EQ(Unsent(block), "abcdefgh");
  block.SetCapacity(0);
  EXPECT_EQ(block.Capacity(), 1514);
}

}  // namespace
}  // namespace corvel
