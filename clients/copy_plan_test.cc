// The pure decisions of zkcp: the unit text, how a batch fills, and whether a file is copied in
// each transfer mode.
#include "clients/copy_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace zk {
namespace {

const char kTime[] = "2020/01/02 03:04:05";
const char kLater[] = "2020/01/02 03:04:06";

TEST(CopyPlanTest, TheUnitIsAWholeNumberOfKbWithinTheMessageLimit) {
  const std::string max = std::to_string(MaxUnitKb());
  const std::string over = std::to_string(MaxUnitKb() + 1);
  struct Case {
    std::string text;
    int64_t bytes;  // 0: refused
  };
  for (const Case& c : {Case{"1", 1024}, Case{"0064", 64 * 1024}, Case{max, MaxUnitKb() * 1024},
                        Case{over, 0}, Case{"0", 0}, Case{"", 0}, Case{"-1", 0}, Case{"+1", 0},
                        Case{" 1", 0}, Case{"1 ", 0}, Case{"1.5", 0}, Case{"1K", 0},
                        // Large enough to wrap a 64-bit count if it were read on.
                        Case{"999999999999", 0}, Case{"18446744073709551617", 0}}) {
    int64_t bytes = -7;
    EXPECT_EQ(c.bytes != 0, ParseUnit(c.text, &bytes)) << "'" << c.text << "'";
    EXPECT_EQ(c.bytes != 0 ? c.bytes : -7, bytes) << "'" << c.text << "'";
  }
}

TEST(CopyPlanTest, ABatchIsSentBeforeItsDataOrItsHeadersWouldOverflow) {
  // Each case: the chunks already in the batch (data, header bytes), then the next one.
  using Chunk = std::pair<int64_t, int64_t>;
  struct Case {
    std::vector<Chunk> held;
    Chunk next;
    bool send_first;
  };
  const int64_t unit = 1024, all = kBatchHeaderBudget;
  for (const Case& c : {
           Case{{}, {5 * unit, 2 * all}, false},   // an empty batch takes anything
           Case{{{1000, 100}}, {24, 100}, false},  // exactly one unit of data
           Case{{{1000, 100}}, {25, 100}, true},
           Case{{{0, all - 10}}, {0, 10}, false},  // exactly the header budget
           Case{{{0, all - 10}}, {0, 11}, true},
           Case{{{0, 1}, {0, 1}, {unit - 1, 1}}, {1, 1}, false},
           Case{{{0, 1}, {0, 1}, {unit - 1, 1}}, {2, 1}, true},
       }) {
    BatchBudget budget(unit);
    for (const Chunk& k : c.held) budget.Add(k.first, k.second);
    EXPECT_EQ(c.send_first, budget.MustSendBefore(c.next.first, c.next.second))
        << c.held.size() << " held, next " << c.next.first << "/" << c.next.second;
    budget.Clear();
    EXPECT_FALSE(budget.MustSendBefore(c.next.first, c.next.second)) << "cleared";
    EXPECT_TRUE(budget.empty());
  }
}

TEST(CopyPlanTest, EachModeCopiesWhatItShould) {
  auto entry = [](bool dir, int64_t size, const char* upd, bool narrow) {
    ListEntry e;
    e.is_dir = dir;
    e.size = size;
    e.upd = upd;
    e.narrow = narrow;
    return e;
  };
  const ListEntry file = entry(false, 100, kTime, false);
  const ListEntry dir = entry(true, 0, kTime, false);
  const ListEntry newer = entry(false, 100, kLater, false);
  const ListEntry no_time = entry(false, 100, "yesterday", false);
  const int64_t big = (4LL << 30) + 100;  // the same low 32 bits as 100
  const ListEntry narrow = entry(false, 100, kTime, true);
  struct Case {
    CopyMode mode;
    const ListEntry* there;
    int64_t size;
    const char* upd;
    bool src_narrow;
    bool copy;
    const char* what;
  };
  for (const Case& c : {
           Case{CopyMode::kSkip, nullptr, 100, kTime, false, true, "skip: new name"},
           Case{CopyMode::kSkip, &file, 1, kLater, false, false, "skip: name there"},
           Case{CopyMode::kReplace, &dir, 100, kTime, false, true, "replace: even a directory"},
           Case{CopyMode::kReplace, &newer, 100, kTime, false, true, "replace: even newer"},
           Case{CopyMode::kUpdate, nullptr, 100, kTime, false, true, "update: new name"},
           Case{CopyMode::kUpdate, &dir, 100, kLater, false, false, "update: a directory"},
           Case{CopyMode::kUpdate, &file, 100, kTime, false, false, "update: same size and time"},
           Case{CopyMode::kUpdate, &file, 100, kLater, false, true, "update: there is older"},
           Case{CopyMode::kUpdate, &newer, 100, kTime, false, false, "update: there is newer"},
           Case{CopyMode::kUpdate, &newer, 99, kTime, false, true, "update: sizes differ"},
           Case{CopyMode::kUpdate, &no_time, 100, kTime, false, true, "update: time unknown"},
           Case{CopyMode::kUpdate, &file, 100, "", false, true, "update: source time unknown"},
           Case{CopyMode::kUpdate, &file, big, kTime, false, true, "update: beyond 32 bits"},
           Case{CopyMode::kUpdate, &narrow, big, kTime, false, false, "update: 32-bit listing"},
           Case{CopyMode::kUpdate, &file, big, kTime, true, false, "update: 32-bit source"},
       }) {
    EXPECT_EQ(c.copy, ShouldCopy(c.mode, c.there, c.size, c.upd, c.src_narrow)) << c.what;
  }
}

TEST(CopyPlanTest, ChunksAreCutOneByOne) {
  ChunkCutter cutter(2500, 1024);
  EXPECT_EQ(3, cutter.count());
  ChunkSpan span;
  std::vector<std::tuple<int64_t, int64_t, int, bool>> spans;
  while (cutter.Next(&span)) spans.emplace_back(span.pos, span.len, span.no, span.next);
  EXPECT_EQ((std::vector<std::tuple<int64_t, int64_t, int, bool>>{
                {0, 1024, 1, true}, {1024, 1024, 2, true}, {2048, 452, 3, false}}),
            spans);
  EXPECT_EQ(1, ChunkCutter(0, 1024).count());
  EXPECT_EQ(5LL << 20, ChunkCutter(5LL << 30, 1024).count());
}

TEST(CopyPlanTest, ALocalPathIsSplitIntoItsDirectoryAndMask) {
  struct Case {
    const char* path;
    const char* dir;
    const char* mask;
  };
  for (const Case& c :
       {Case{"/w/a.txt", "/w/", "a.txt"}, Case{"/w/sub/", "/w/sub/", "*.*"},
        Case{"a.txt", "./", "a.txt"}, Case{"", "./", "*.*"}, Case{"/", "/", "*.*"}}) {
    std::string dir, mask;
    SplitLocalPath(c.path, &dir, &mask);
    EXPECT_EQ(c.dir, dir) << c.path;
    EXPECT_EQ(c.mask, mask) << c.path;
  }
}

}  // namespace
}  // namespace zk
