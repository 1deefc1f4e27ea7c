// Console text in a Shift_JIS locale: what the tools print is converted from the program's UTF-8,
// what is typed on the command line is converted back, and the settings files keep UTF-8.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "settings/zkdb.h"
#include "tests/process.h"

namespace zk {
namespace test {
namespace {

std::string ToSjis(const std::string& utf8) {
  iconv_t cd = iconv_open("SHIFT_JIS", "UTF-8");
  std::string in = utf8, out(utf8.size() * 2 + 8, '\0');
  char* inp = &in[0];
  char* outp = &out[0];
  size_t inleft = in.size(), outleft = out.size();
  iconv(cd, &inp, &inleft, &outp, &outleft);
  iconv_close(cd);
  out.resize(out.size() - outleft);
  return out;
}

class ShiftJisConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The locale is built into the test's own folder; machines without the locale sources skip.
    RunResult made = test::Run(
        {"/bin/sh", "-c",
         "localedef -i ja_JP -f SHIFT_JIS " + dir_.path() + "/ja_JP.SJIS >/dev/null 2>&1"});
    if (made.status > 1) GTEST_SKIP() << "cannot build a Shift_JIS locale here";
    LinkProgram(dir_.path(), "zkenv");
    LinkProgram(dir_.path(), "zkdu");
  }

  RunResult Tool(const std::vector<std::string>& argv, const std::string& input = "") {
    RunOptions options;
    options.cwd = dir_.path();
    options.input = input;
    options.env = {"LOCPATH=" + dir_.path(), "LC_ALL=ja_JP.SJIS"};
    return test::Run(argv, options);
  }

  TempDir dir_;
};

TEST_F(ShiftJisConsoleTest, OutputIsShiftJisAndArgumentsAreStoredAsUtf8) {
  const std::string host = "名前解決サーバ";
  RunResult r = Tool({dir_ / "zkenv", "-n", ToSjis(host), "-i", "1", "-s", "2", "-u", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ToSjis("サーバ環境設定ファイルを作成・設定しました。(./server.zkd)\n"
                          "  NSサーバ名     :" +
                          host +
                          "\n"
                          "  IIOPポート番号 :1\n"
                          "  SSLポート番号  :2\n"
                          "  ユニットサイズ :3 KB\n"));
  // The file holds the host name in UTF-8, as every other program reads it.
  EXPECT_EQ(ReadEnvSetting(dir_ / "server.zkd", "ns"), host);

  // Standard error is converted too, including a Japanese argument echoed back.
  RunResult missing = Tool({dir_ / "zkdu", "-a", "lanternshadow", ToSjis("利用者")});
  EXPECT_EQ(missing.status, 20);
  EXPECT_EQ(missing.err, ToSjis("ERROR:存在しないユーザIDです。(利用者)\n"));
}

TEST_F(ShiftJisConsoleTest, BackslashAndTildeStayThemselvesBothWays) {
  // A Japanese console shows byte 0x5C as "\" and 0x7E as "~": typed in an argument, they reach
  // the settings file as such, and they print as the same bytes.
  RunResult r = Tool({dir_ / "zkenv", "-n", "num\\big~1", "-i", "1", "-s", "2", "-u", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadEnvSetting(dir_ / "server.zkd", "ns"), "num\\big~1");
  EXPECT_NE(r.out.find(ToSjis("  NSサーバ名     :") + "num\\big~1\n"), std::string::npos) << r.out;

  // A password typed at the prompt with a "\" in it matches the one stored.
  ASSERT_EQ(WriteStatus::kDone,
            UpdateEnvSetting(dir_ / "server.zkd", "adminpwd", "back\\slash", "", ""));
  RunResult typed = Tool({dir_ / "zkdu", "nobody"}, "back\\slash\n");
  EXPECT_EQ(typed.status, 20);
  EXPECT_EQ(typed.err, ToSjis("ERROR:存在しないユーザIDです。(nobody)\n"));
}

}  // namespace
}  // namespace test
}  // namespace zk
