// Tests of whole-file digests: pieces in order and held ahead give the file's digest; a gap, a
// piece twice, a start mid-file or more held than the budget give none.
#include "server/file_digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zk {
namespace {

std::string Content(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

std::string Whole(const std::string& s) {
  StreamDigest d;
  d.Update(s.data(), s.size());
  return DigestText(d.Value());
}

// Gives `digest` the pieces [from, to) of `s`, in the order listed.
void Give(FileDigest* digest, const std::string& s,
          const std::vector<std::pair<size_t, size_t>>& pieces) {
  for (const auto& p : pieces)
    digest->Add(static_cast<int64_t>(p.first), s.data() + p.first, p.second - p.first);
}

TEST(FileDigestTest, ThePiecesOfAFileInAnyServedOrderGiveItsDigest) {
  const std::string s = Content(10000);
  AheadBudget budget(1 << 20);
  struct Case {
    const char* name;
    std::vector<std::pair<size_t, size_t>> pieces;
  } cases[] = {
      {"in order", {{0, 4000}, {4000, 8000}, {8000, 10000}}},
      {"the next batch first", {{0, 4000}, {8000, 10000}, {4000, 8000}}},
      {"pieces of two batches interleaved", {{0, 1000}, {4000, 5000}, {1000, 4000}, {5000, 10000}}},
      {"all ahead but the first", {{9000, 10000}, {5000, 9000}, {1000, 5000}, {0, 1000}}},
  };
  for (const Case& c : cases) {
    FileDigest digest(&budget);
    Give(&digest, s, c.pieces);
    EXPECT_EQ(digest.Text(10000), Whole(s)) << c.name;
    EXPECT_EQ(digest.Text(9999), "") << c.name << ": the digest is of another length";
    EXPECT_EQ(budget.left(), 1 << 20) << c.name << ": nothing is held once the gap is filled";
  }
  FileDigest empty;
  EXPECT_EQ(empty.Text(0), Whole(""));
  EXPECT_EQ(empty.Text(-1), "") << "a size that is not known";
}

TEST(FileDigestTest, BytesSkippedOrGivenTwiceGiveNoDigest) {
  const std::string s = Content(10000);
  AheadBudget budget(1 << 20);
  struct Case {
    const char* name;
    std::vector<std::pair<size_t, size_t>> pieces;
  } cases[] = {
      {"a gap never filled", {{0, 4000}, {8000, 10000}}},
      {"begun mid-file", {{4000, 10000}}},
      {"a part asked again", {{0, 4000}, {4000, 8000}, {4000, 8000}, {8000, 10000}}},
      {"the start again", {{0, 10000}, {0, 10000}}},
      {"overlapping", {{0, 4000}, {3000, 10000}}},
      {"ahead twice", {{0, 1000}, {5000, 6000}, {5000, 6000}, {1000, 5000}, {6000, 10000}}},
      {"ahead overlapping", {{0, 1000}, {5000, 7000}, {6000, 8000}, {1000, 5000}, {8000, 10000}}},
  };
  for (const Case& c : cases) {
    {
      FileDigest digest(&budget);
      Give(&digest, s, c.pieces);
      EXPECT_EQ(digest.Text(10000), "") << c.name;
    }
    EXPECT_EQ(budget.left(), 1 << 20) << c.name << ": what was held is given back";
  }
  // Without a budget nothing waits: a piece ahead spoils the digest.
  FileDigest strict;
  Give(&strict, s, {{0, 4000}, {8000, 10000}, {4000, 8000}});
  EXPECT_EQ(strict.Text(10000), "");
}

TEST(FileDigestTest, WhatIsHeldAheadIsBoundedAndGivenBack) {
  const std::string s = Content(10000);
  AheadBudget budget(3000);
  {
    FileDigest a(&budget), b(&budget);
    a.Add(5000, s.data() + 5000, 2000);
    EXPECT_EQ(budget.left(), 1000);
    b.Add(5000, s.data() + 5000, 2000);  // more than is left: b is spoilt, a goes on
    EXPECT_EQ(budget.left(), 1000);
    Give(&a, s, {{0, 5000}, {7000, 10000}});
    Give(&b, s, {{0, 5000}, {5000, 10000}});
    EXPECT_EQ(a.Text(10000), Whole(s));
    EXPECT_EQ(b.Text(10000), "");
    EXPECT_EQ(budget.left(), 3000);
    a.Add(20000, s.data(), 1000);  // held by a digest that ends with it
    EXPECT_EQ(budget.left(), 2000);
  }
  EXPECT_EQ(budget.left(), 3000) << "a digest that ends gives back what it held";
  AheadBudget plenty(1LL << 40);
  FileDigest big(&plenty);
  const std::string far(static_cast<size_t>(kMaxAheadBytesPerFile) + 1, 'x');
  big.Add(1, far.data(), far.size());  // more than one file may hold
  big.Add(0, "x", 1);
  EXPECT_EQ(big.Text(static_cast<int64_t>(far.size()) + 1), "");
  EXPECT_EQ(plenty.left(), 1LL << 40);
}

}  // namespace
}  // namespace zk
