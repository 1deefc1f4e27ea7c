// Units, chunk cutting, batch limits, transfer-mode decisions and result lines of zkcp.
#include "clients/copy_plan.h"

#include <gtest/gtest.h>

#include "idl/orb.h"
#include "platform/text.h"

namespace zk {
namespace {

TEST(CopyPlanTest, UnitMustBeAPositiveDecimalThatFitsOneMessage) {
  int64_t bytes = 0;
  ASSERT_TRUE(ParseUnit("1", &bytes));
  EXPECT_EQ(bytes, 1024);
  ASSERT_TRUE(ParseUnit("01000", &bytes));
  EXPECT_EQ(bytes, 1024000);
  ASSERT_TRUE(ParseUnit(std::to_string(MaxUnitKb()), &bytes));
  // The largest batch, with its full header budget, still fits one GIOP message.
  EXPECT_LE(bytes + 2 * kBatchHeaderBudget, kMaxMessageBytes);
  for (const char* bad :
       {"", "0", "000", "-1", "+5", " 5", "5 ", "5k", "1.5", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(ParseUnit(bad, &bytes)) << bad;
  }
  EXPECT_FALSE(ParseUnit(std::to_string(MaxUnitKb() + 1), &bytes));
}

TEST(CopyPlanTest, CutFileGivesUnitChunksWithTheLastMarked) {
  auto c = CutFile(2500, 1024);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].pos, 0);
  EXPECT_EQ(c[0].len, 1024);
  EXPECT_EQ(c[1].pos, 1024);
  EXPECT_EQ(c[2].pos, 2048);
  EXPECT_EQ(c[2].len, 452);
  EXPECT_EQ(c[2].no, 3);
  EXPECT_TRUE(c[0].next && c[1].next && !c[2].next);

  c = CutFile(0, 1024);  // an empty file is one empty last chunk
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].len, 0);
  EXPECT_FALSE(c[0].next);
  EXPECT_EQ(CutFile(1024, 1024).size(), 1u);
  c = CutFile(2048, 1024);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1].len, 1024);
  EXPECT_FALSE(c[1].next);
  // Any size: chunks are contiguous, cover the file and only the last is marked.
  for (int64_t size : {1, 1023, 1025, 4096, 1000000}) {
    auto chunks = CutFile(size, 1000);
    int64_t pos = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].pos, pos);
      EXPECT_EQ(chunks[i].no, static_cast<int32_t>(i + 1));
      EXPECT_EQ(chunks[i].next, i + 1 < chunks.size());
      EXPECT_LE(chunks[i].len, 1000);
      pos += chunks[i].len;
    }
    EXPECT_EQ(pos, size);
  }
}

TEST(CopyPlanTest, BatchHoldsAtMostOneUnitOfDataAndBoundedHeaders) {
  BatchBudget b(1024);
  EXPECT_FALSE(b.MustSendBefore(1024, 100));  // an empty batch takes any chunk
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(b.MustSendBefore(300, 100));
    b.Add(300, 100);
  }
  EXPECT_FALSE(b.MustSendBefore(124, 100));  // exactly one unit
  EXPECT_TRUE(b.MustSendBefore(125, 100));
  b.Clear();
  EXPECT_TRUE(b.empty());
  // Empty files cost no data, but their headers are bounded too.
  int added = 0;
  while (!b.MustSendBefore(0, 1000) && added < 100000) {
    b.Add(0, 1000);
    ++added;
  }
  EXPECT_EQ(added, kBatchHeaderBudget / 1000);
}

TEST(CopyPlanTest, NameIndexFindsEveryEntryWhateverTheOrder) {
  // A listing in byte order ("nm") is not in upper-cased order: lower-case names come last.
  std::vector<ListEntry> entries;
  for (char c = 'a'; c <= 'z'; ++c) entries.push_back({std::string(1, c) + ".txt", false, 1, ""});
  for (char c = 'Z'; c >= 'A'; --c) entries.push_back({std::string("X") + c, false, 1, ""});
  NameIndex index(entries);
  for (const ListEntry& e : entries) {
    const ListEntry* found = index.Find(UpperAscii(e.name));
    ASSERT_NE(found, nullptr) << e.name;
    EXPECT_EQ(found, &e);
  }
  EXPECT_NE(index.Find("Q.TXT"), nullptr);
  EXPECT_EQ(index.Find("q.txt2"), nullptr);
  EXPECT_EQ(NameIndex(std::vector<ListEntry>()).Find("a"), nullptr);
}

TEST(CopyPlanTest, TransferModesDecideOnExistingEntries) {
  const std::string t1 = "2020/01/02 03:04:05", t2 = "2020/01/02 03:04:06";
  ListEntry file{"a", false, 10, t1};
  ListEntry dir{"a", true, 0, t1};
  // No entry: always copied.
  for (CopyMode m : {CopyMode::kSkip, CopyMode::kUpdate, CopyMode::kReplace}) {
    EXPECT_TRUE(ShouldCopy(m, nullptr, 10, t1));
  }
  EXPECT_FALSE(ShouldCopy(CopyMode::kSkip, &file, 99, t2));
  EXPECT_FALSE(ShouldCopy(CopyMode::kSkip, &dir, 99, t2));
  EXPECT_TRUE(ShouldCopy(CopyMode::kReplace, &file, 10, t1));
  EXPECT_FALSE(ShouldCopy(CopyMode::kUpdate, &dir, 99, t2));
  EXPECT_TRUE(ShouldCopy(CopyMode::kUpdate, &file, 11, t1));   // sizes differ
  EXPECT_TRUE(ShouldCopy(CopyMode::kUpdate, &file, 10, t2));   // destination older
  EXPECT_FALSE(ShouldCopy(CopyMode::kUpdate, &file, 10, t1));  // same time
  ListEntry newer{"a", false, 10, t2};
  EXPECT_FALSE(ShouldCopy(CopyMode::kUpdate, &newer, 10, t1));
  // Times are compared as times, not as texts of some locale: December is after September.
  ListEntry sept{"a", false, 10, "2020/09/30 23:59:59"};
  EXPECT_TRUE(ShouldCopy(CopyMode::kUpdate, &sept, 10, "2020/12/01 00:00:00"));
  ListEntry garbled{"a", false, 10, "unknown"};
  EXPECT_TRUE(ShouldCopy(CopyMode::kUpdate, &garbled, 10, t1));
}

}  // namespace
}  // namespace zk
