// Pure platform pieces: column fields and number text, the time text, name matching with
// wildcards and the Windows-style split of a command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/timetext.h"

namespace zk {
namespace {

TEST(TextTest, DisplayWidthCountsWideCharactersTwice) {
  EXPECT_EQ(DisplayWidth(""), 0);
  EXPECT_EQ(DisplayWidth("abc 1"), 5);
  EXPECT_EQ(DisplayWidth("個のファイル"), 12);
  EXPECT_EQ(DisplayWidth("ｶﾀｶﾅ"), 4);  // half-width katakana: one column each
  EXPECT_EQ(DisplayWidth("a個ｶ"), 4);
}

TEST(TextTest, FieldsPadAndCutByColumnsNeverSplittingACharacter) {
  EXPECT_EQ(LeftField("abc", 5), "abc  ");
  EXPECT_EQ(LeftField("abcdef", 3), "abc");
  EXPECT_EQ(LeftField("", 2), "  ");
  EXPECT_EQ(LeftField("ファイル", 5), "ファ ");
  EXPECT_EQ(LeftField("ファイル", 8), "ファイル");

  EXPECT_EQ(RightField("12", 5), "   12");
  EXPECT_EQ(RightField("123456", 3), "456");
  EXPECT_EQ(RightField("個のファイル", 14), "  個のファイル");
  EXPECT_EQ(RightField("ファイル", 5), " イル");
  EXPECT_EQ(DisplayWidth(RightField("1,234個", 20)), 20);
}

TEST(TextTest, GroupedNumbers) {
  EXPECT_EQ(FormatGrouped(0), "0");
  EXPECT_EQ(FormatGrouped(999), "999");
  EXPECT_EQ(FormatGrouped(1000), "1,000");
  EXPECT_EQ(FormatGrouped(123456), "123,456");
  EXPECT_EQ(FormatGrouped(1234567), "1,234,567");
  EXPECT_EQ(FormatGrouped(-1234), "-1,234");
  EXPECT_EQ(FormatGrouped(-999), "-999");
  EXPECT_EQ(FormatGrouped(INT64_MAX), "9,223,372,036,854,775,807");
  EXPECT_EQ(FormatGrouped(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(TextTest, UpperCaseChangesAsciiLettersOnly) {
  EXPECT_EQ(UpperAscii("abz-AZ_09.txt"), "ABZ-AZ_09.TXT");
  EXPECT_EQ(UpperAscii("äöüｶな"), "äöüｶな");
}

// Runs the body with the process's time zone set to `tz`, then restores the previous one.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(TimeTextTest, ZeroIsTheNoTimeText) {
  TimeZone tz("JST-9");
  EXPECT_EQ(FormatLocalTime(0), "1899/12/30 00:00:00");
  int64_t secs = -1;
  ASSERT_TRUE(ParseLocalTime("1899/12/30 00:00:00", &secs));
  EXPECT_EQ(secs, 0);
}

TEST(TimeTextTest, LocalTimeRoundTrips) {
  {
    TimeZone tz("JST-9");
    EXPECT_EQ(FormatLocalTime(31536000), "1971/01/01 09:00:00");
    EXPECT_EQ(FormatLocalTime(1709218799), "2024/02/29 23:59:59");
    int64_t secs = 0;
    ASSERT_TRUE(ParseLocalTime("2024/02/29 23:59:59", &secs));
    EXPECT_EQ(secs, 1709218799);
    // One second before the epoch is a real time, not a failure.
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
  // The fixed-width text orders like the times it shows.
  EXPECT_LT(FormatLocalTime(1700000000), FormatLocalTime(1700000001));
  EXPECT_LT(FormatLocalTime(999999999), FormatLocalTime(1000000000));
}

TEST(TimeTextTest, MalformedTextIsRefused) {
  int64_t secs = 42;
  for (const char* bad :
       {"", "2024/01/01", "2024/01/01 00:00", "2024/01/01 00:00:00x", "2024/13/01 00:00:00",
        "2024/00/10 00:00:00", "2024/01/32 00:00:00", "2024/02/31 00:00:00", "2024/01/01 24:00:00", "2024/01/01 00:60:00",
        "abcd/ef/gh ij:kl:mn", "2024-01-01 00:00:00"}) {
    EXPECT_FALSE(ParseLocalTime(bad, &secs)) << bad;
  }
  EXPECT_EQ(secs, 42);
}

TEST(WildcardTest, WindowsStyleMatching) {
  for (const char* name : {"noext", "a.b.c", ".hidden", "x."}) {
    EXPECT_TRUE(WildcardMatch("*", name)) << name;
    EXPECT_TRUE(WildcardMatch("*.*", name)) << name;
  }
  EXPECT_TRUE(WildcardMatch("*.txt", "README.TXT"));
  EXPECT_TRUE(WildcardMatch("Data*", "dATA1.bin"));
  EXPECT_FALSE(WildcardMatch("*.txt", "a.txt.bak"));
  EXPECT_TRUE(WildcardMatch("a?c", "abc"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_FALSE(WildcardMatch("a?c", "abbc"));
  EXPECT_TRUE(WildcardMatch("*a*b", "xaxxb"));
  EXPECT_FALSE(WildcardMatch("*a*b", "xaxxbx"));
  EXPECT_TRUE(WildcardMatch("exact.name", "EXACT.NAME"));
  EXPECT_FALSE(WildcardMatch("exact.name", "exact.names"));
  EXPECT_TRUE(WildcardMatch("ファイル*", "ファイル一覧.txt"));
  EXPECT_FALSE(WildcardMatch("ä*", "Ä.txt"));  // only ASCII letters fold
  // Many stars over a long name that does not match: must finish (no exponential backtracking).
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*b", std::string(20000, 'a')));
}

TEST(SplitCommandLineTest, BlanksSeparateQuotesGroup) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine(""), V{});
  EXPECT_EQ(SplitCommandLine("  \t "), V{});
  EXPECT_EQ(SplitCommandLine("prog a  b\tc "), (V{"prog", "a", "b", "c"}));
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\x.exe\" -o \"a b\""),
            (V{"C:\\Program Files\\x.exe", "-o", "a b"}));
  EXPECT_EQ(SplitCommandLine("say \"\" end"), (V{"say", "", "end"}));
  EXPECT_EQ(SplitCommandLine("ab\"c d\"e f"), (V{"abc de", "f"}));
  EXPECT_EQ(SplitCommandLine("\"open ended"), (V{"open ended"}));
  // Backslashes are literal except before a quote.
  EXPECT_EQ(SplitCommandLine("C:\\dir\\sub\\ x"), (V{"C:\\dir\\sub\\", "x"}));
  EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
  EXPECT_EQ(SplitCommandLine("\"a\\\\\" b"), (V{"a\\", "b"}));
  // Shell characters mean nothing.
  EXPECT_EQ(SplitCommandLine("echo $HOME;rm *|x"), (V{"echo", "$HOME;rm", "*|x"}));
}

}  // namespace
}  // namespace zk
