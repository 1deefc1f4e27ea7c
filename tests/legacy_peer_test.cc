// Peers that negotiate no code set, as the original Windows programs: this process's ORB speaks
// GIOP 1.0 only (which has no code set negotiation) with the byte-transparent ISO-8859-1 as its
// native code set, so every string goes out and comes back as the bytes written here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "idl/chunk_memory.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// Set up before any test, so that the harness's direct calls share this ORB.
class LegacyOrb : public ::testing::Environment {
 public:
  void SetUp() override {
    InitOrb({"zktest", "-ORBmaxGIOPVersion", "1.0", "-ORBnativeCharCodeSet", "ISO-8859-1",
             "-ORBtraceLevel", "0"});
  }
};
const ::testing::Environment* const kLegacyOrb = ::testing::AddGlobalTestEnvironment(new LegacyOrb);

// Code page 932 bytes of the names used below.
const std::string kSoft932 = "\x83\x5C\x83\x74\x83\x67";          // ソフト
const std::string kShow932 = "\x95\x5C\x8E\xA6.txt";              // 表示.txt
const std::string kJapanese932 = "\x93\xFA\x96\x7B\x8C\xEA.txt";  // 日本語.txt
const std::string kJapanMask932 = "\x93\xFA\x96\x7B*";            // 日本*

// One chunk per (directory, name), each a whole file holding "abc"; or, with `len`, one request
// for that many bytes of each.
ZKmd::zkSeqFileBuf Chunks(const std::vector<std::pair<std::string, std::string>>& files,
                          long len = 0) {
  ZKmd::zkSeqFileBuf seq;
  seq.length(static_cast<CORBA::ULong>(files.size()));
  for (CORBA::ULong i = 0; i < seq.length(); ++i) {
    seq[i] = OneChunk(files[i].second, len ? "" : "abc", 0, len)[0];
    seq[i].filePath = files[i].first.c_str();
  }
  return seq;
}

// The names zkFileList gives for the count zkFileCount gave.
std::vector<std::string> Listed(ZKmd_ptr server, const std::string& dir, const std::string& mask) {
  ZKmd::zkSeqFileLst list;
  list.length(static_cast<CORBA::ULong>(server->zkFileCount("u1", dir.c_str(), mask.c_str())));
  server->zkFileList("u1", dir.c_str(), mask.c_str(), "nm", list);
  std::vector<std::string> names;
  for (CORBA::ULong i = 0; i < list.length(); ++i) names.push_back(list[i].fileNm.in());
  return names;
}

// `log` with each peer address ("giop:tcp:[::ffff:127.0.0.1]:40000") written as "PEER".
std::string WithoutPeers(std::string log) {
  for (size_t at = log.find("giop:tcp:"); at != std::string::npos; at = log.find("giop:tcp:", at)) {
    log.replace(at, log.find(' ', at) - at, "PEER");
  }
  return log;
}

// Registers u1, starts `f` and logs u1 in on a connection of this test's ORB.
void StartWithU1(ServerFixture& f, ZKmd_var* server) {
  f.AddUser("u1", "pw1");
  ASSERT_NO_FATAL_FAILURE(f.Start());
  *server = ResolveServer(f.ns_port());
  ASSERT_EQ(-1, (*server)->zkExistsUser("u1", "pw1"));
}

const std::string kRefused = "WARNING:文字コードを変換できない文字列を含む要求を拒否しました。(";

TEST(LegacyPeerTest, KeepsAsciiAndUtf8NamesAndIsRefusedOtherBytes) {
  ServerFixture f;
  ZKmd_var server;
  ASSERT_NO_FATAL_FAILURE(StartWithU1(f, &server));
  const std::string store = f.storage_dir("u1");

  // ASCII names work as with any peer; UTF-8 bytes are taken as they are sent.
  CORBA::Long index = -1;
  EXPECT_EQ(0,
            server->zkFileUpload("u1", Chunks({{"\\", "plain.txt"}, {"\\", "日本語.txt"}}), index));
  EXPECT_EQ("abc", ReadFile(store + "/plain.txt"));
  EXPECT_EQ((std::vector<std::string>{"日本語.txt"}), Listed(server, ".\\", "日本*"));
  ZKmd::zkSeqFileBuf down = Chunks({{"\\", "plain.txt"}}, 3);
  EXPECT_EQ(0, server->zkFileDownload("u1", down, index));
  EXPECT_EQ('c', down[0].fileBuf[2]);

  // Shift_JIS bytes are no UTF-8: refused with the operation's failure answer, never read as a
  // separator (0x5C) nor as a mask that matches everything. Chunks before the refused one stay.
  EXPECT_EQ(20,
            server->zkFileUpload("u1", Chunks({{"\\", "second.txt"}, {"\\", kShow932}}), index));
  EXPECT_EQ(2, index);
  EXPECT_EQ(0, server->zkFileCount("u1", ".\\", kJapanMask932.c_str()));
  EXPECT_EQ(-1, server->zkFileRemove("u1", kJapanese932.c_str()));
  down = Chunks({{"\\", kShow932}}, 3);
  EXPECT_EQ(20, server->zkFileDownload("u1", down, index));
  EXPECT_EQ((std::vector<std::string>{"plain.txt", "second.txt", "日本語.txt"}),
            Listed(server, ".\\", "*"));

  // One line for each refused request, naming the operation, the peer and the text.
  EXPECT_EQ(kRefused + "zkFileUpload PEER fileNm=\\x95\\\\x8E\\xA6.txt)\n" + kRefused +
                "zkFileCount PEER fileMask=\\x93\\xFA\\x96{*)\n" + kRefused +
                "zkFileRemove PEER fileName=\\x93\\xFA\\x96{\\x8C\\xEA.txt)\n" + kRefused +
                "zkFileDownload PEER fileNm=\\x95\\\\x8E\\xA6.txt)\n",
            WithoutPeers(f.ServerLog()));
}

TEST(LegacyPeerTest, CodePage932ModeStoresUtf8AndGivesBackTheSameBytes) {
  ServerFixture f;
  f.AddServerConf("zkWireText = cp932");
  ZKmd_var server;
  ASSERT_NO_FATAL_FAILURE(StartWithU1(f, &server));
  const std::string store = f.storage_dir("u1");

  // "表" ends in 0x5C, and so does every character of "ソフト": one name, one folder.
  CORBA::Long index = -1;
  EXPECT_EQ(0,
            server->zkFileUpload(
                "u1", Chunks({{"\\" + kSoft932 + "\\", kShow932}, {"\\", kJapanese932}}), index));
  EXPECT_EQ("abc", ReadFile(store + "/ソフト/表示.txt"));
  EXPECT_EQ("abc", ReadFile(store + "/日本語.txt"));
  EXPECT_EQ((std::vector<std::string>{kShow932}), Listed(server, kSoft932, "*"));
  EXPECT_EQ((std::vector<std::string>{kJapanese932}), Listed(server, ".\\", kJapanMask932));
  ZKmd::zkSeqFileBuf down = Chunks({{kSoft932 + "\\", kShow932}}, 3);
  EXPECT_EQ(0, server->zkFileDownload("u1", down, index));
  EXPECT_EQ(kSoft932 + "\\", down[0].filePath.in());  // given back as sent
  EXPECT_EQ(kShow932, down[0].fileNm.in());
  EXPECT_EQ('c', down[0].fileBuf[2]);

  // A name that is no code page 932 text is refused; the chunk before it is stored.
  EXPECT_EQ(20,
            server->zkFileUpload("u1", Chunks({{"\\", "first.txt"}, {"\\", "\x85\x40"}}), index));
  EXPECT_EQ(2, index);
  EXPECT_TRUE(Exists(store + "/first.txt"));

  // Names on disk without a code page 932 form are left out of counts and listings alike.
  WriteFile(store + "/ソフト/a¥b.txt", "");
  WriteFile(store + "/ソフト/\xFF.txt", "");
  EXPECT_EQ((std::vector<std::string>{kShow932}), Listed(server, kSoft932, "*"));

  EXPECT_EQ(0, server->zkFileRemove("u1", (kSoft932 + "\\" + kShow932).c_str()));
  EXPECT_FALSE(Exists(store + "/ソフト/表示.txt"));

  EXPECT_EQ(kRefused +
                "zkFileUpload PEER fileNm=\\x85@)\n"
                "WARNING:通信の文字コードで表せない名前を一覧から除きました。(ソフト\\a¥b.txt)\n"
                "WARNING:通信の文字コードで表せない名前を一覧から除きました。(ソフト\\\\xFF.txt)\n",
            WithoutPeers(f.ServerLog()));
}

// The 64-bit listing and download pass the same boundary: names in the wire's code both ways,
// and a string that is no text of it refused with the operation's failure answer.
TEST(LegacyPeerTest, WideListingAndDownloadPassTheSameBoundaryInEitherMode) {
  for (bool cp932 : {false, true}) {
    ServerFixture f;
    if (cp932) f.AddServerConf("zkWireText = cp932");
    ZKmd_var server;
    ASSERT_NO_FATAL_FAILURE(StartWithU1(f, &server));
    ASSERT_EQ(0, mkdir((f.storage_dir("u1") + "/ソフト").c_str(), 0700));
    WriteFile(f.storage_dir("u1") + "/ソフト/表示.txt", "abc");
    // What this peer writes for the folder and the file: UTF-8 bytes, or code page 932.
    const std::string dir = cp932 ? kSoft932 : "ソフト", name = cp932 ? kShow932 : "表示.txt";

    ZKmd::zkSeqFileLst64 list;
    list.length(1);
    EXPECT_EQ(0, server->zkFileList64("u1", dir.c_str(), "*", "nm", list));
    EXPECT_EQ(name, list[0].fileNm.in()) << cp932;
    EXPECT_EQ(3, list[0].fileSize);

    ZKmd::zkSeqFileBuf64 down;
    down.length(1);
    down[0].filePath = (dir + "\\").c_str();
    down[0].fileNm = name.c_str();
    down[0].updDt = "";
    down[0].crtDt = "";
    down[0].bufNo = 1;
    down[0].nextBuf = false;
    down[0].bufPos = 1;
    down[0].bufUnitSize = 2;
    CORBA::Long index = -1;
    EXPECT_EQ(0, server->zkFileDownload64("u1", down, index));
    ASSERT_EQ(1u, down.length());
    EXPECT_EQ(name, down[0].fileNm.in());  // given back as sent
    EXPECT_EQ('c', down[0].fileBuf[1]);

    // Bytes that are no text of the wire: code page 932 on a UTF-8 wire, or no character of it.
    const std::string bad = cp932 ? "\x85\x40" : kShow932;
    ZKmd::zkSeqFileLst64 refused;
    refused.length(1);
    EXPECT_EQ(0, server->zkFileList64("u1", bad.c_str(), "*", "nm", refused));
    EXPECT_STREQ("", refused[0].fileNm.in());
    down[0].fileNm = bad.c_str();
    EXPECT_EQ(20, server->zkFileDownload64("u1", down, index));
    EXPECT_EQ(1, index);
    const std::string log = WithoutPeers(f.ServerLog());
    EXPECT_NE(std::string::npos, log.find(kRefused + "zkFileList64 PEER dirName=")) << log;
    EXPECT_NE(std::string::npos, log.find(kRefused + "zkFileDownload64 PEER fileNm=")) << log;
  }
}

// GIOP 1.0 states a message's size in its header: the server reckons the size of a reply whose
// data it reads from the file only while it writes it, and then writes exactly that much.
TEST(LegacyPeerTest, LargeChunksGoBothWaysWholeOverGiop10) {
  ServerFixture f;
  ZKmd_var server;
  ASSERT_NO_FATAL_FAILURE(StartWithU1(f, &server));
  // Within the 2 MiB that this process's ORB takes in one message.
  std::string content(3 * kChunkPieceBytes + 11, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + i / 1021);
  WriteFile(f.storage_dir("u1") + "/big.bin", content);

  ZKmd::zkSeqFileBuf down;
  down.length(2);
  const long first = static_cast<long>(kChunkPieceBytes) + 1,
             rest = static_cast<long>(content.size()) - first;
  for (CORBA::ULong i = 0; i < 2; ++i) {
    down[i] = OneChunk("big.bin", "", i == 0 ? 0 : first, i == 0 ? first : rest + 100)[0];
  }
  CORBA::Long index = -1;
  ASSERT_EQ(0, server->zkFileDownload("u1", down, index));
  ASSERT_EQ(2u, down.length());
  std::string got;
  for (CORBA::ULong i = 0; i < 2; ++i) {
    got.append(reinterpret_cast<const char*>(down[i].fileBuf.get_buffer()),
               down[i].fileBuf.length());
  }
  EXPECT_EQ(content.size() + 100, got.size());
  EXPECT_TRUE(content + std::string(100, '\0') == got);
  EXPECT_EQ(static_cast<CORBA::Long>(content.size()), down[1].fileSize);

  // And up: two large chunks of one file in one batch, written as they arrive.
  ZKmd::zkSeqFileBuf up;
  up.length(2);
  up[0] = OneChunk("up.bin", content.substr(0, first), 0, first)[0];
  up[0].nextBuf = true;
  up[1] = OneChunk("up.bin", content.substr(first), first, rest)[0];
  up[1].bufNo = 2;
  ASSERT_EQ(0, server->zkFileUpload("u1", up, index));
  EXPECT_TRUE(content == ReadFile(f.storage_dir("u1") + "/up.bin"));
}

}  // namespace
}  // namespace test
}  // namespace zk
