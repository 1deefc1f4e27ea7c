// Listing records, sort keys and the listing sort.
#include "server/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <random>

namespace zk {
namespace {

DirEntry Entry(const std::string& name, bool dir, int64_t size, int64_t mtime = 0) {
  DirEntry e;
  e.name = name;
  e.is_dir = dir;
  e.size = size;
  e.mtime = mtime;
  return e;
}

std::vector<ListingRecord> Records(const std::vector<DirEntry>& entries) {
  std::vector<ListingRecord> recs;
  for (const DirEntry& e : entries) recs.push_back(MakeListingRecord(e));
  return recs;
}

// Names in the order the listing sort leaves them under `code`.
std::vector<std::string> Sorted(const std::string& code, const std::vector<DirEntry>& entries) {
  std::vector<ListingRecord> recs = Records(entries);
  std::vector<std::string> names;
  for (size_t i : ListingOrder(SortKeys(code, recs))) names.push_back(recs[i].name);
  return names;
}

using Names = std::vector<std::string>;

TEST(ListingRecordTest, FieldsOfFilesAndDirectories) {
  setenv("TZ", "UTC", 1);
  tzset();
  ListingRecord dir = MakeListingRecord(Entry("sub", true, 0, 1143886830));
  EXPECT_EQ("sub", dir.name);
  EXPECT_EQ("<DIR>", dir.type);
  EXPECT_EQ(0, dir.size);
  EXPECT_EQ("2006/04/01 10:20:30", dir.upd_dt);

  ListingRecord file = MakeListingRecord(Entry("a.txt", false, 1234, 1143886830));
  EXPECT_EQ("", file.type);
  EXPECT_EQ(1234, file.size);

  // A zero time is "no time"; sizes keep their low 32 bits, signed.
  EXPECT_EQ("1899/12/30 00:00:00", MakeListingRecord(Entry("z", false, 0, 0)).upd_dt);
  EXPECT_EQ(1073741824, MakeListingRecord(Entry("5g", false, 5LL << 30)).size);
  EXPECT_EQ(-1073741824, MakeListingRecord(Entry("3g", false, 3LL << 30)).size);
}

TEST(SortKeyTest, KeysOfEachCode) {
  ListingRecord file = MakeListingRecord(Entry("Report.v2.txt", false, 20));
  ListingRecord dir = MakeListingRecord(Entry("sub.d", true, 0));
  file.upd_dt = "2006/04/01 10:20:30";

  EXPECT_EQ("Report.v2.txt", SortKey("nm", file));
  EXPECT_EQ("2REPORT.V2", SortKey("df", file));
  EXPECT_EQ("1SUB", SortKey("df", dir));
  EXPECT_EQ("REPORT.V2", SortKey("fn", file));
  EXPECT_EQ("000000000000020", SortKey("sz", file));
  EXPECT_EQ("000000000000000", SortKey("sz", dir));
  EXPECT_EQ("2006/04/01 10:20:30", SortKey("dt", file));
  EXPECT_EQ("", SortKey("xx", file));
  EXPECT_EQ("", SortKey("NM", file));  // codes are case-sensitive

  // A leading dot starts the extension; no dot means no extension.
  EXPECT_EQ("2", SortKey("df", MakeListingRecord(Entry(".profile", false, 0))));
  EXPECT_EQ("2C", SortKey("df", MakeListingRecord(Entry("c", false, 0))));
  // Only ASCII letters are upper-cased.
  EXPECT_EQ("ÄBC", SortKey("fn", MakeListingRecord(Entry("Äbc.x", false, 0))));

  // Sizes beyond 15 digits cannot occur; negative (wrapped) sizes keep their sign in the key.
  EXPECT_EQ("000002147483647", SortKey("sz", MakeListingRecord(Entry("m", false, 2147483647))));
  EXPECT_EQ("0000-1073741824", SortKey("sz", MakeListingRecord(Entry("n", false, 3LL << 30))));

  EXPECT_TRUE(IsKnownSortCode("dt"));
  EXPECT_FALSE(IsKnownSortCode(""));
  EXPECT_FALSE(IsKnownSortCode("xx"));
}

TEST(ListingOrderTest, OrdersOfTheSortCodes) {
  // Search order: upper-cased name.
  std::vector<DirEntry> dir = {Entry("A.doc", false, 100), Entry("b.txt", false, 5),
                               Entry("c", false, 20), Entry("sub", true, 0)};
  EXPECT_EQ((Names{"sub", "A.doc", "b.txt", "c"}), Sorted("df", dir));
  EXPECT_EQ((Names{"sub", "b.txt", "c", "A.doc"}), Sorted("sz", dir));
  EXPECT_EQ((Names{"A.doc", "b.txt", "c", "sub"}), Sorted("fn", dir));

  // Bytes: upper case before lower case.
  EXPECT_EQ((Names{"B.txt", "a.txt"}),
            Sorted("nm", {Entry("a.txt", false, 1), Entry("B.txt", false, 1)}));

  // Directories and empty files share the zero key and come before everything else.
  EXPECT_EQ((Names{"d", "e", "f5", "f20", "f100"}),
            Sorted("sz", {Entry("d", true, 0), Entry("e", false, 0), Entry("f100", false, 100),
                          Entry("f20", false, 20), Entry("f5", false, 5)}));

  // Time text sorts chronologically.
  std::vector<DirEntry> timed = {Entry("new", false, 1, 1700000000),
                                 Entry("old", false, 1, 1000000000), Entry("none", false, 1, 0)};
  EXPECT_EQ((Names{"none", "old", "new"}), Sorted("dt", timed));

  // An unknown code keeps the order as found.
  EXPECT_EQ((Names{"c", "a", "b"}),
            Sorted("xx", {Entry("c", false, 1), Entry("a", false, 2), Entry("b", false, 3)}));
}

TEST(ListingOrderTest, EmptyAndSingle) {
  EXPECT_TRUE(ListingOrder({}).empty());
  EXPECT_EQ(std::vector<size_t>{0}, ListingOrder({"x"}));
}

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

}  // namespace
}  // namespace zk
