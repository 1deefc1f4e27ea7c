// Text on the wire: what the published reference advertises, a client on an independent ORB with
// another native code set, and the client tools in the code page 932 mode of the original Windows
// programs. Peers that negotiate no code set are in legacy_peer_test.cc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// The stringified reference bound as "ZKmdImpl".
std::string PublishedReference(const ServerFixture& f) {
  ZKmd_var server = ResolveServer(f.ns_port());
  CORBA::String_var ior = TestOrb()->object_to_string(server.in());
  return ior.in();
}

// The native char code set catior shows for the reference of a server started with the line
// `conf_line` in its server.conf ("" when it shows none), and what the server logged.
std::string AdvertisedCodeSet(const std::string& conf_line, std::string* log = nullptr) {
  ServerFixture f;
  if (!conf_line.empty()) f.AddServerConf(conf_line);
  std::string why;
  if (!f.StartNaming(&why) || !f.StartServer(&why)) return why;
  if (log) *log = f.ServerLog();
  RunResult r = Run({"/usr/bin/catior", PublishedReference(f)});
  const std::string label = "char native code set:";
  size_t at = r.out.find(label);
  if (at == std::string::npos) return "";
  size_t begin = r.out.find_first_not_of(' ', at + label.size());
  return r.out.substr(begin, r.out.find('\n', begin) - begin);
}

TEST(WireTextTest, PublishedReferenceSaysWhatTheServerSends) {
  if (access("/usr/bin/catior", X_OK) != 0) {
    GTEST_SKIP() << "catior (Debian package omniorb) missing";
  }
  EXPECT_EQ("UTF-8", AdvertisedCodeSet(""));
  // The configuration file cannot talk the server out of it; the original programs' bytes
  // travel through the byte-transparent ISO-8859-1.
  EXPECT_EQ("UTF-8", AdvertisedCodeSet("nativeCharCodeSet = ISO-8859-1"));
  EXPECT_EQ("ISO-8859-1", AdvertisedCodeSet("zkWireText = cp932"));
  std::string log;
  EXPECT_EQ("UTF-8", AdvertisedCodeSet("zkWireText = sjis", &log));
  EXPECT_EQ("WARNING:server.confのzkWireTextはutf-8かcp932です。utf-8を使います。(sjis)\n", log);
}

TEST(WireTextTest, ClientOfAnotherOrbAndNativeCodeSetHandlesJapaneseNames) {
  const std::string script = std::string(getenv("ZK_SOURCE")) + "/tests/combat_client.tcl";
  if (test::Run({"/bin/sh", "-c", "echo 'package require combat' | tclsh"}).status != 0) {
    GTEST_SKIP() << "tclsh with Combat (Debian package tcl-combat) missing";
  }
  ServerFixture f;
  f.AddUser("u1", "pw1");
  ASSERT_NO_FATAL_FAILURE(f.Start());
  const std::string store = f.storage_dir("u1");
  WriteFile(store + "/other.txt", "");  // what a mask turned into "??*" would also match
  const std::string ior = PublishedReference(f);

  // A client that announces Shift_JIS, and one that announces ISO-8859-1 (whose library would
  // write "?" for every character it cannot represent).
  for (const std::string native : {"shiftjis", "iso8859-1"}) {
    SCOPED_TRACE(native);
    RunResult r = test::Run({"/usr/bin/tclsh", script, ior, native, "copy"});
    EXPECT_TRUE(Ended(r, 0,
                      "auth -1\nupload 0 0\ncount 1\nlisted 日本語.txt 5\n"
                      "download 0 0 日本語.txt hello\n",
                      ""));
    EXPECT_EQ("hello", ReadFile(store + "/日本語.txt"));

    r = test::Run({"/usr/bin/tclsh", script, ior, native, "remove"});
    EXPECT_TRUE(Ended(r, 0, "auth -1\ncount 1\nlisted 日本語.txt 5\nremove 0\ncount 0\n", ""));
    EXPECT_FALSE(Exists(store + "/日本語.txt"));
    EXPECT_TRUE(Exists(store + "/other.txt"));
  }
  EXPECT_EQ("", f.ServerLog());
}

TEST(WireTextTest, ClientToolsInCodePage932ModeShareNamesWithTheServer) {
  ServerFixture f;
  f.AddServerConf("zkWireText = cp932");
  const std::string client = f.AddUser("u1", "pw1");
  ASSERT_NO_FATAL_FAILURE(f.Start());
  const std::string store = f.storage_dir("u1");
  WriteFile(client + "/client.conf", "zkWireText = cp932\n");
  mkdir((client + "/up").c_str(), 0700);
  mkdir((client + "/up/ソフト").c_str(), 0700);
  WriteFile(client + "/up/ソフト/表示.txt", "abc");
  WriteFile(client + "/up/a¥b.txt", "x");  // "¥" has no code of its own, only that of "\"

  // The name that cannot travel is a file not copied: the run ends with 20.
  RunResult r = f.RunClient("u1", "zkcp", {"-p", "pw1", "up/*", "::"});
  EXPECT_TRUE(Ended(r, 20,
                    client + "/up/a¥b.txt\n" + client + "/up/ソフト/表示.txt\n" +
                        "                 1 個のファイルをコピーしました。\n",
                    "WARNING:サーバへ送れない文字を含んでいます。(a¥b.txt)\n"
                    "ERROR:アップロードに失敗しました。(a¥b.txt)\n"));
  EXPECT_EQ("abc", ReadFile(store + "/ソフト/表示.txt"));
  EXPECT_FALSE(Exists(store + "/a¥b.txt"));

  r = f.RunClient("u1", "zkls", {"-p", "pw1", "::ソフト\\表*"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find(" 表示.txt\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("       1 個のファイル")) << r.out;

  r = f.RunClient("u1", "zkrm", {"-p", "pw1", "::ソフト\\*"});
  EXPECT_TRUE(Ended(
      r, 0, "ソフト\\表示.txt\n                 1 個のディレクトリ・ファイルを削除しました。\n",
      ""));
  EXPECT_FALSE(Exists(store + "/ソフト/表示.txt"));
  EXPECT_EQ("", f.ServerLog());
}

}  // namespace
}  // namespace test
}  // namespace zk
