// The listing sort where the listings cannot show it: ties in the order of the original
// procedure, and inputs that drive that procedure to its worst case.
#include "server/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "idl/orb.h"

namespace zk {
namespace {

// The procedure, unbounded, as the listings of the original server ordered ties. Records the
// deepest recursion it reached.
void ReferenceSort(std::vector<std::string>& k, std::vector<size_t>& p, long i, long j, int depth,
                   int* max_depth) {
  *max_depth = std::max(*max_depth, depth);
  if (i >= j) return;
  long m = i + 1;
  while (m <= j && k[m] == k[i]) ++m;
  if (m > j) return;
  std::string pivot = std::max(k[i], k[m]);
  long l = i, r = j;
  while (r >= l) {
    while (l <= j && k[l] < pivot) ++l;
    while (r >= i && k[r] >= pivot) --r;
    if (r < l) break;
    std::swap(k[l], k[r]);
    std::swap(p[l], p[r]);
    ++l;
    --r;
  }
  ReferenceSort(k, p, i, l - 1, depth + 1, max_depth);
  ReferenceSort(k, p, l, j, depth + 1, max_depth);
}

TEST(ListingOrderTest, TiesFollowTheProcedureWithinTheDepthLimit) {
  std::mt19937 rng(7);
  int compared = 0;
  for (int round = 0; round < 400; ++round) {
    size_t n = 1 + rng() % 60;
    int distinct = 1 + static_cast<int>(rng() % 6);  // few distinct keys: many ties
    std::vector<std::string> keys(n);
    for (auto& k : keys) k = std::string(1, static_cast<char>('a' + rng() % distinct));
    std::vector<std::string> ref_keys = keys;
    std::vector<size_t> ref(n);
    for (size_t i = 0; i < n; ++i) ref[i] = i;
    int depth = 0;
    ReferenceSort(ref_keys, ref, 0, static_cast<long>(n) - 1, 0, &depth);

    std::vector<size_t> got = ListingOrder(keys);
    ASSERT_EQ(n, got.size());
    for (size_t i = 0; i + 1 < n; ++i) ASSERT_LE(keys[got[i]], keys[got[i + 1]]);
    if (depth <= ListingDepthLimit(n)) {
      ASSERT_EQ(ref, got) << "round " << round;
      ++compared;
    }
  }
  EXPECT_GT(compared, 300);  // the exact order is checked in the usual case
}

// Sorted, reverse-sorted and nearly-equal inputs drive the procedure to its worst case; the
// bounded sort must still give a sorted permutation of the same entries (and finish promptly).
TEST(ListingOrderTest, AdversarialInputsOfAHundredThousand) {
  const size_t n = 100000;
  std::vector<std::vector<std::string>> inputs(4);
  for (size_t i = 0; i < n; ++i) {
    char buf[32];
    snprintf(buf, sizeof(buf), "f%07zu", i);
    inputs[0].push_back(buf);                              // ascending
    inputs[2].push_back(i + 1 == n ? "a" : "b");           // one differs, at the end
    inputs[3].push_back(i % 2 ? "000000000000000" : buf);  // alternating
  }
  inputs[1].assign(inputs[0].rbegin(), inputs[0].rend());  // descending
  for (const auto& keys : inputs) {
    std::vector<size_t> got = ListingOrder(keys);
    ASSERT_EQ(n, got.size());
    std::vector<bool> seen(n, false);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_LT(got[i], n);
      ASSERT_FALSE(seen[got[i]]);
      seen[got[i]] = true;
      if (i > 0) {
        ASSERT_LE(keys[got[i - 1]], keys[got[i]]);
      }
    }
  }
}

// Sizes beyond 32 bits keep their place in the size order ("sz"), and the 32-bit listing says
// -1 for them rather than a low part that looks like a small file.
TEST(ListingRecordTest, LargeSizesSortBySizeAndAreNotCutShort) {
  DirEntry small, big, bigger, dir;
  small.name = "small";
  small.size = 100;
  big.name = "big";
  big.size = (4LL << 30) + 100;  // its low 32 bits are 100
  bigger.name = "bigger";
  bigger.size = 5LL << 30;
  dir.name = "dir";
  dir.is_dir = true;
  std::vector<ListingRecord> recs;
  for (const DirEntry& e : {bigger, big, small, dir}) recs.push_back(MakeListingRecord(e));
  EXPECT_EQ(big.size, recs[1].size);
  EXPECT_EQ("000004294967396", SortKey("sz", recs[1]));
  std::vector<size_t> order = ListingOrder(SortKeys("sz", recs));
  EXPECT_EQ((std::vector<size_t>{3, 2, 1, 0}), order);
  EXPECT_EQ(100, NarrowSize(small.size));
  EXPECT_EQ(-1, NarrowSize(big.size));
  EXPECT_EQ(0x7fffffff, NarrowSize(0x7fffffffLL));
  EXPECT_EQ(-1, NarrowSize(0x80000000LL));
}

}  // namespace
}  // namespace zk
