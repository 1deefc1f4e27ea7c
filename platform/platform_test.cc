// Pure platform pieces where the programs' tests cannot reach every case: the time text (zones
// with summer time, malformed text, years beyond four digits), name matching with wildcards,
// local paths made absolute and taken apart, count fields, and the Windows-style split of a
// command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/pathtext.h"
#include "platform/process.h"
#include "platform/startdir.h"
#include "platform/text.h"
#include "platform/timetext.h"
#include "tests/time_zone.h"

namespace zk {
namespace {

using test::TimeZone;

TEST(TimeTextTest, LocalTimeRoundTrips) {
  {
    // Zero is the "no time" text; one second before the epoch is a real time, not a failure.
    TimeZone tz("JST-9");
    EXPECT_EQ(FormatLocalTime(0), "1899/12/30 00:00:00");
    int64_t secs = -1;
    ASSERT_TRUE(ParseLocalTime("1899/12/30 00:00:00", &secs));
    EXPECT_EQ(secs, 0);
    EXPECT_EQ(FormatLocalTime(1709218799), "2024/02/29 23:59:59");
    ASSERT_TRUE(ParseLocalTime("1970/01/01 08:59:59", &secs));
    EXPECT_EQ(secs, -1);
  }
  // A zone with summer time: both halves of the year come back to the same second.
  TimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  for (int64_t t : {int64_t{1}, int64_t{1000000000}, int64_t{1700000000}, int64_t{1720000000},
                    int64_t{4102444800}}) {
    std::string text = FormatLocalTime(t);
    int64_t back = 0;
    ASSERT_TRUE(ParseLocalTime(text, &back)) << text;
    EXPECT_EQ(back, t) << text;
  }
}

TEST(TimeTextTest, MalformedTextIsRefused) {
  int64_t secs = 42;
  for (const char* bad :
       {"", "2024/01/01", "2024/01/01 00:00", "2024/01/01 00:00:00x", "2024/13/01 00:00:00",
        "2024/00/10 00:00:00", "2024/01/32 00:00:00", "2024/02/31 00:00:00", "2024/01/01 24:00:00",
        "2024/01/01 00:60:00", "abcd/ef/gh ij:kl:mn", "2024-01-01 00:00:00",
        // The right length, but blanks or signs for digits, a 60th second, days that never were.
        "1899/12/ 2300:00:00", "1949/+1/30 00:00:00", "2024/01/01 00:00:60", " 2024/1/01 0:00:00",
        "2023/02/29 00:00:00", "0000/01/01 00:00:00"}) {
    EXPECT_FALSE(ParseLocalTime(bad, &secs)) << bad;
  }
  EXPECT_EQ(secs, 42);
  ASSERT_TRUE(ParseLocalTime("2024/02/29 12:00:00", &secs));
}

TEST(TimeTextTest, TimesBeyondFourDigitYearsHaveNoText) {
  TimeZone tz("UTC0");
  EXPECT_EQ(FormatLocalTime(253402300799), "9999/12/31 23:59:59");
  // Year 10000, and a time whose year does not fit an int once 1900 is added.
  for (int64_t t : {int64_t{253402300800}, int64_t{67768035876284399}, INT64_MAX, INT64_MIN}) {
    EXPECT_EQ(FormatLocalTime(t), "1899/12/30 00:00:00") << t;
  }
}

TEST(TimeTextTest, IsoTimeHasMillisecondsAndTheZonesOffset) {
  {
    TimeZone tz("JST-9");
    EXPECT_EQ(FormatIsoTime(1709218799123), "2024-02-29T23:59:59.123+09:00");
    EXPECT_EQ(FormatIsoTime(0), "1970-01-01T09:00:00.000+09:00");
    EXPECT_EQ(FormatIsoTime(-1), "1970-01-01T08:59:59.999+09:00");
  }
  {
    TimeZone tz("UTC0");
    EXPECT_EQ(FormatIsoTime(1700000000007), "2023-11-14T22:13:20.007+00:00");
  }
  // West of Greenwich, and an offset of hours and minutes; summer time moves it.
  TimeZone tz("NST3:30NDT,M3.2.0,M11.1.0");
  EXPECT_EQ(FormatIsoTime(1704067200000), "2023-12-31T20:30:00.000-03:30");
  EXPECT_EQ(FormatIsoTime(1720000000000), "2024-07-03T07:16:40.000-02:30");
}

TEST(WildcardTest, WindowsStyleMatching) {
  for (const char* name : {"noext", ".hidden", "x."}) EXPECT_TRUE(WildcardMatch("*.*", name));
  using Case = std::pair<const char*, const char*>;
  for (Case c : {Case{"*.txt", "README.TXT"},
                 {"a?c", "abc"},
                 {"*a*b", "xaxxb"},
                 {"ファイル*", "ファイル一覧"}})
    EXPECT_TRUE(WildcardMatch(c.first, c.second)) << c.first << " " << c.second;
  // Only ASCII letters fold.
  for (Case c : {Case{"*.txt", "a.txt.bak"},
                 {"a?c", "ac"},
                 {"a?c", "abbc"},
                 {"*a*b", "xaxxbx"},
                 {"ä*", "Ä.txt"}})
    EXPECT_FALSE(WildcardMatch(c.first, c.second)) << c.first << " " << c.second;
  // Many stars over a long name that does not match: must finish (no exponential backtracking).
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*b", std::string(20000, 'a')));
}

TEST(WildcardTest, CharactersStarsInNamesAndMasksEndingInADot) {
  using Case = std::pair<const char*, const char*>;
  // "?" is one character however many bytes it takes; a "*" in the mask is a wildcard first, also
  // where the name holds a "*"; "*." and "a*." want names without an extension.
  for (Case c : {Case{"?.txt", "日.txt"},
                 {"??", "日本"},
                 {"*?語", "日本語"},
                 {"*b", "*ab"},
                 {"*.", "README"},
                 {"a*.", "ab"},
                 {"a.*", "a"},
                 {"*.txt.*", "b.txt"},
                 {"x.", "x."}})
    EXPECT_TRUE(WildcardMatch(c.first, c.second)) << c.first << " " << c.second;
  for (Case c : {Case{"?", "日本"},
                 {"?.txt", "日本.txt"},
                 {"*.", "a.txt"},
                 {"a*.", "ab.txt"},
                 {"*.", ".hidden"}})
    EXPECT_FALSE(WildcardMatch(c.first, c.second)) << c.first << " " << c.second;
}

TEST(AbsoluteFromTest, DotsAreResolvedLexically) {
  using Case = std::pair<const char*, const char*>;
  for (Case c : {Case{"../data/zero.txt", "/w/data/zero.txt"},
                 {"./x/../y", "/w/rel/y"},
                 {"x/./y/", "/w/rel/x/y/"},
                 {".", "/w/rel/"},
                 {"..", "/w/"},
                 {"a/..", "/w/rel/"},
                 {"../../../..", "/"},
                 {"/abs//p/../q", "/abs/q"},
                 {"", "/w/rel/"}})
    EXPECT_EQ(AbsoluteFrom("/w/rel", c.first), c.second) << c.first;
  // Without a starting directory the path stays relative, ".." above it kept.
  EXPECT_EQ(AbsoluteFrom("", "../a/./b"), "../a/b");
}

TEST(PathTextTest, PartsAndComponents) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
    std::vector<std::string> components;
  };
  for (const Case& c :
       {Case{"a/b/c", "a/b", "c", {"a", "b", "c"}}, Case{"c", "", "c", {"c"}},
        Case{"/c", "", "c", {"c"}}, Case{"a/", "a", "", {"a"}}, Case{"", "", "", {}},
        Case{"//a/./b//../", "//a/./b//..", "", {"a", "b", ".."}},
        Case{"a\b", "", "a\b", {"a\b"}}}) {
    EXPECT_EQ(c.dir, DirPart(c.path)) << c.path;
    EXPECT_EQ(c.name, NamePart(c.path)) << c.path;
    EXPECT_EQ(c.components, PathComponents(c.path)) << c.path;
  }
  for (const char* yes : {"a/", "a\\", "/", "\\"}) EXPECT_TRUE(EndsWithSeparator(yes)) << yes;
  for (const char* no : {"", "a", "a/b", "a\\b"}) EXPECT_FALSE(EndsWithSeparator(no)) << no;
  // One "/" at the end, never two; a "\" is a character of the name here.
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"a", "a/"}, {"a/", "a/"}, {"", "/"}, {"/", "/"}, {"a\\", "a\\/"}})
    EXPECT_EQ(c.second, WithSlash(c.first)) << c.first;
}

TEST(CountFieldTest, GroupedRightAlignedWithOneBlank) {
  EXPECT_EQ(std::string(17, ' ') + "0 ", CountField(0));
  EXPECT_EQ(std::string(12, ' ') + "12,345 ", CountField(12345));
  EXPECT_EQ(std::string(4, ' ') + "-2,147,483,648 ", CountField(INT32_MIN));
  // Wider than the field: its last 19 columns.
  EXPECT_EQ("00,000,000,000,000 ", CountField(1000000000000000000));
}

TEST(SplitCommandLineTest, BlanksSeparateQuotesGroup) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("  \t "), V{});
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\x.exe\" -o \"a b\""),
            (V{"C:\\Program Files\\x.exe", "-o", "a b"}));
  EXPECT_EQ(SplitCommandLine("say \"\" end"), (V{"say", "", "end"}));
  EXPECT_EQ(SplitCommandLine("ab\"c d\"e f"), (V{"abc de", "f"}));
  EXPECT_EQ(SplitCommandLine("\"open ended"), (V{"open ended"}));
  // Backslashes are literal except before a quote.
  EXPECT_EQ(SplitCommandLine("C:\\dir\\sub\\ x"), (V{"C:\\dir\\sub\\", "x"}));
  EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
  EXPECT_EQ(SplitCommandLine("\"a\\\\\" b"), (V{"a\\", "b"}));
}

}  // namespace
}  // namespace zk
