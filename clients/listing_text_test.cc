// Console lines of zkls and zkrm, column by column.
#include "clients/listing_text.h"

#include <gtest/gtest.h>

namespace zk {
namespace {

TEST(ListingTextTest, TheFourLinesOfTheExampleListing) {
  EXPECT_EQ("2006/04/01 10:20:30 <DIR>             sub",
            EntryLine("2006/04/01 10:20:30", true, 0, "sub"));
  EXPECT_EQ("2006/04/01 10:20:30             1,234 a.txt",
            EntryLine("2006/04/01 10:20:30", false, 1234, "a.txt"));
  EXPECT_EQ("                 1 個のファイル                     1,234 バイト",
            FileSummaryLine(1, 1234));
  EXPECT_EQ("                 1 個のディレクトリ  ", DirSummaryLine(1));
  EXPECT_EQ(" .\\のディレクトリ", HeadingLine(".\\"));
}

TEST(ListingTextTest, FieldsAreCutToTheirWidths) {
  // A time text longer than 20 keeps its first 20; an empty one is all blanks.
  EXPECT_EQ("2006/04/01 10:20:30X<DIR>             d",
            EntryLine("2006/04/01 10:20:30XYZ", true, 0, "d"));
  const std::string blank(20, ' ');
  EXPECT_EQ(blank + std::string(16, ' ') + "0 e", EntryLine("", false, 0, "e"));
  EXPECT_EQ(blank + "    2,147,483,647 big", EntryLine("", false, 2147483647, "big"));
  EXPECT_EQ(blank + "   -2,147,483,648 neg", EntryLine("", false, -2147483647 - 1, "neg"));
  // Names are neither padded nor cut, also when they are wide.
  EXPECT_EQ("2006/04/01 10:20:30                 1 日本語のファイル名.txt",
            EntryLine("2006/04/01 10:20:30", false, 1, "日本語のファイル名.txt"));
  EXPECT_EQ("         1,234,567 個のファイル             2,000,000,000 バイト",
            FileSummaryLine(1234567, 2000000000));
}

TEST(ListingTextTest, RemovalSummary) {
  EXPECT_EQ("                 0 個のディレクトリ・ファイルを削除しました。", RemoveSummaryLine(0));
  EXPECT_EQ("             1,024 個のディレクトリ・ファイルを削除しました。",
            RemoveSummaryLine(1024));
}

TEST(ListingTextTest, SortCodes) {
  EXPECT_EQ("", SortCodeOf({}));
  EXPECT_EQ("nm", SortCodeOf({"n"}));
  EXPECT_EQ("df", SortCodeOf({"G"}));
  EXPECT_EQ("fn", SortCodeOf({"f"}));
  EXPECT_EQ("sz", SortCodeOf({"s"}));
  EXPECT_EQ("sz", SortCodeOf({"S"}));
  EXPECT_EQ("dt", SortCodeOf({"d"}));
  // Unknown values are ignored; an earlier valid one stays.
  EXPECT_EQ("", SortCodeOf({"name"}));
  EXPECT_EQ("", SortCodeOf({""}));
  EXPECT_EQ("sz", SortCodeOf({"s", "name"}));
  EXPECT_EQ("dt", SortCodeOf({"s", "x", "D"}));
}

TEST(ListingTextTest, EntryPaths) {
  EXPECT_EQ(".\\logs", EntryPath(".\\", "logs"));
  EXPECT_EQ("logs\\a.tmp", EntryPath("logs\\", "a.tmp"));
  EXPECT_EQ("logs\\a.tmp", EntryPath("logs", "a.tmp"));
}

}  // namespace
}  // namespace zk
