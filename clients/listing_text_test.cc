// The column fields of zkls and zkrm: widths in display columns (Japanese names and texts take
// two per character), grouped numbers, fields cut at their width, and the sort codes.
#include "clients/listing_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zk {
namespace {

TEST(ListingTextTest, ColumnsLineUp) {
  const std::string t = "2006/04/01 10:20:30";
  // The listing of a folder with one subfolder and one file of 1,234 bytes.
  EXPECT_EQ("2006/04/01 10:20:30 <DIR>             sub", EntryLine(t, true, 0, "sub"));
  EXPECT_EQ("2006/04/01 10:20:30             1,234 a.txt", EntryLine(t, false, 1234, "a.txt"));
  EXPECT_EQ("                 1 個のファイル                     1,234 バイト",
            FileSummaryLine(1, 1234));
  EXPECT_EQ("                 1 個のディレクトリ  ", DirSummaryLine(1));
  // Names are neither padded nor cut; a negative size (the low 32 bits of a large file) is shown
  // as it comes; a number wider than its field keeps its last columns.
  EXPECT_EQ(t + "            -1,024 日本語の名前", EntryLine(t, false, -1024, "日本語の名前"));
  EXPECT_EQ(t + "     2,147,483,647 x", EntryLine(t, false, 2147483647, "x"));
  EXPECT_EQ("    -2,147,483,648 個のファイル            -2,147,483,648 バイト",
            FileSummaryLine(INT32_MIN, INT32_MIN));
  EXPECT_EQ("                 0 個のディレクトリ・ファイルを削除しました。", RemoveSummaryLine(0));
  EXPECT_EQ(" .\\のディレクトリ", HeadingLine(".\\"));
  EXPECT_EQ(".\\a\\b", EntryPath(".\\a\\", "b"));
  EXPECT_EQ("a\\b", EntryPath("a", "b"));
}

TEST(ListingTextTest, TheLastKnownSortOptionCounts) {
  using V = std::vector<std::string>;
  EXPECT_EQ("", SortCodeOf(V{}));
  EXPECT_EQ("nm", SortCodeOf(V{"n"}));
  EXPECT_EQ("dt", SortCodeOf(V{"G", "x", "D"}));
  EXPECT_EQ("df", SortCodeOf(V{"g", "unknown", ""}));
  EXPECT_EQ("sz", SortCodeOf(V{"F", "S"}));
  EXPECT_EQ("fn", SortCodeOf(V{"f"}));
  EXPECT_EQ("", SortCodeOf(V{"NM"}));
}

}  // namespace
}  // namespace zk
