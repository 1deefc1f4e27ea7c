// The servant on a file system in memory, with a state of its own: what a login on a connection
// lets that connection do, and the operations of a logged-in user on the area. The settings file
// is a real one in a temporary folder.
#include "server/zkmdimpl.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "idl/omniorb/streams.h"
#include "idl/wire.h"
#include "platform/fs_memory.h"
#include "server/chunk_calls.h"
#include "server/connection_auth.h"
#include "server/server_state.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

// `len` bytes that differ from piece to piece and from place to place.
std::string Pattern(size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
  return s;
}

// A chunk of an upload with `data`, as zkcp fills one.
ZKmd::zkStrctFileBuf UploadChunk(const char* name, CORBA::Long no, bool next,
                                 const std::string& data) {
  ZKmd::zkStrctFileBuf c;
  c.filePath = "\\";
  c.fileNm = name;
  c.fileSize = 0;
  c.updDt = "2024/05/06 07:08:09";
  c.crtDt = "2024/05/06 07:08:09";
  c.bufNo = no;
  c.nextBuf = next;
  c.bufPos = 0;
  c.bufUnitSize = 0;
  c.fileBuf.length(static_cast<CORBA::ULong>(data.size()));
  if (!data.empty()) std::memcpy(c.fileBuf.get_buffer(), data.data(), data.size());
  return c;
}

class ServantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-servant-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    env_ = dir_ + "/server.zkd";
    ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(env_, "127.0.0.1", "1", "2", "1000"));
    ASSERT_EQ(WriteStatus::kDone, AddUser(env_, "u1", "pw1", "/srv/u1"));
    ASSERT_EQ(WriteStatus::kDone, AddUser(env_, "u2", "pw2", "/srv/u2"));
    ASSERT_EQ(WriteStatus::kDone, AddJob(env_, "gone", "/opt/nowhere/job", "", ""));
    fs_.AddDir("/srv/u1");
    fs_.AddDir("/srv/u2");
    servant_.SetFileSystem(&fs_);
    servant_.SetEnvFile(env_);
    state_.connections.Accepted(&first_);
    state_.connections.Accepted(&second_);
  }
  void TearDown() override {
    unlink(env_.c_str());
    rmdir(dir_.c_str());
  }

  // zkExistsUser on connection `conn`.
  CORBA::Long Login(const int* conn, const char* user, const char* password) {
    CallScope scope(conn, "giop:tcp:127.0.0.1:40000", -1);
    return servant_.zkExistsUser(user, password);
  }

  // A one-chunk upload of `data` as `name` in the area's root, on connection `conn`.
  CORBA::Long Upload(const int* conn, const char* user, const char* name, const std::string& data,
                     CORBA::Long* index) {
    ZKmd::zkSeqFileBuf batch;
    batch.length(1);
    batch[0] = UploadChunk(name, 1, false, data);
    CallScope scope(conn, "giop:tcp:127.0.0.1:40000", -1);
    return servant_.zkFileUpload(user, batch, *index);
  }

  // A 64-bit download of the first `len` bytes of `name` in the area's root; the data in *data.
  CORBA::Long Download(const int* conn, const char* user, const char* name, long len,
                       std::string* data) {
    ZKmd::zkSeqFileBuf64 requests;
    requests.length(1);
    ZKmd::zkStrctFileBuf64& c = requests[0];
    c.filePath = "\\";
    c.fileNm = name;
    c.fileSize = 0;
    c.updDt = "";
    c.crtDt = "";
    c.bufNo = 1;
    c.nextBuf = false;
    c.bufPos = 0;
    c.bufUnitSize = len;
    CORBA::Long index = 0;
    CallScope scope(conn, "giop:tcp:127.0.0.1:40000", -1);
    CORBA::Long r = servant_.zkFileDownload64(user, requests, index);
    data->clear();
    for (CORBA::ULong i = 0; i < requests.length(); ++i) {
      const ZKmd::DataBuffer& buf = requests[i].fileBuf;
      data->append(reinterpret_cast<const char*>(buf.get_buffer()), buf.length());
    }
    return r;
  }

  CORBA::Long Count(const int* conn, const char* user) {
    CallScope scope(conn, "giop:tcp:127.0.0.1:40000", -1);
    return servant_.zkFileCount(user, "", kEveryEntry);
  }

  CORBA::Long Job(const int* conn, const char* user, const char* job) {
    CORBA::String_var ret = CORBA::string_dup("");
    CallScope scope(conn, "giop:tcp:127.0.0.1:40000", -1);
    return servant_.zkRemoteJob(user, job, "", "", kJobNoWaitMode, ret.inout());
  }

  std::string dir_, env_;
  MemoryFileSystem fs_;
  ServerState state_;
  ZKmdImpl servant_{&state_};
  const int first_ = 1, second_ = 2;  // two connections, by their keys
};

TEST_F(ServantTest, ALoginServesItsUserOnItsConnectionAlone) {
  fs_.AddFile("/srv/u1/a.txt", "abc");
  CORBA::Long index = 0;
  // Nobody logged in: every operation gives its failure answer.
  EXPECT_EQ(0, Count(&first_, "u1"));
  EXPECT_EQ(kTransferFileFailed, Upload(&first_, "u1", "b.txt", "x", &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(kJobUnknown, Job(&first_, "u1", "gone"));
  {
    CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
    EXPECT_EQ(kChangeFailed, servant_.zkFileRemove("u1", "a.txt"));
  }

  EXPECT_EQ(kLoginRefused, Login(&first_, "u1", "wrong"));
  EXPECT_EQ(0, Count(&first_, "u1"));
  EXPECT_EQ(kLoginRefused, Login(&first_, "nobody", "pw1"));

  EXPECT_EQ(kLoginAccepted, Login(&first_, "u1", "pw1"));
  EXPECT_EQ(1, Count(&first_, "u1"));
  EXPECT_EQ(0, Count(&first_, "u2"));   // another user id on the same connection
  EXPECT_EQ(0, Count(&second_, "u1"));  // the same user id on another connection
  // Past the guard, the job is looked up: its program is not there.
  EXPECT_EQ(kJobNoProgram, Job(&first_, "u1", "gone"));

  // A failed login on the connection leaves nobody logged in there.
  EXPECT_EQ(kLoginRefused, Login(&first_, "u1", "wrong"));
  EXPECT_EQ(0, Count(&first_, "u1"));
  EXPECT_FALSE(state_.connections.HasLogin(&first_));
}

TEST_F(ServantTest, ALoggedInUserUploadsListsDownloadsAndRemovesInTheirAreaOnly) {
  ASSERT_EQ(kLoginAccepted, Login(&first_, "u1", "pw1"));
  CORBA::Long index = -5;
  ASSERT_EQ(kTransferOk, Upload(&first_, "u1", "hello.txt", "hello, area", &index));
  EXPECT_EQ(0, index);
  EXPECT_EQ("hello, area", fs_.Content("/srv/u1/hello.txt"));
  EXPECT_EQ("", fs_.Content("/srv/u2/hello.txt"));

  {
    CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
    EXPECT_EQ(kEntryExists, servant_.zkExistsFile("u1", "hello.txt"));
    ZKmd::zkSeqFileLst64 list;
    list.length(1);  // the caller's slots, from zkFileCount
    EXPECT_EQ(0, servant_.zkFileList64("u1", "", kEveryEntry, kSortByName, list));
    ASSERT_EQ(1u, list.length());
    EXPECT_STREQ("hello.txt", list[0].fileNm.in());
    EXPECT_EQ(11, list[0].fileSize);
  }

  std::string data;
  EXPECT_EQ(kTransferOk, Download(&first_, "u1", "hello.txt", 5, &data));
  EXPECT_EQ("hello", data);
  // Not a path out of the area, and not for another connection.
  EXPECT_EQ(kTransferFileFailed, Download(&first_, "u1", "..\\u2\\x", 1, &data));
  EXPECT_EQ(kTransferFileFailed, Download(&second_, "u1", "hello.txt", 5, &data));
  EXPECT_EQ("", data);

  CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
  EXPECT_EQ(kChangeDone, servant_.zkFileRemove("u1", "hello.txt"));
  EXPECT_EQ(kEntryAbsent, servant_.zkExistsFile("u1", "hello.txt"));
  EXPECT_EQ(kChangeFailed, servant_.zkFileRemove("u1", "hello.txt"));
}

// A user's storage limit, read from the settings file per batch: an upload past it is refused
// with zkFileUpload's 20 and lands nothing; the server's own removals and replacements free their
// bytes in the area's figure without a walk; another user and a removed limit are not held back.
TEST_F(ServantTest, UploadsStayWithinTheUsersLimitAndRemovalsFreeTheirBytes) {
  fs_.AddFile("/srv/u1/keep", std::string(40, 'k'));
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(env_, "u1", 100));
  ASSERT_EQ(kLoginAccepted, Login(&first_, "u1", "pw1"));
  ASSERT_EQ(kLoginAccepted, Login(&second_, "u2", "pw2"));
  CORBA::Long index = 0;
  ASSERT_EQ(kTransferOk, Upload(&first_, "u1", "a", std::string(50, 'a'), &index));
  EXPECT_EQ(90, state_.area_usage.Figure("/srv/u1/"));
  EXPECT_EQ(kTransferFileFailed, Upload(&first_, "u1", "b", std::string(20, 'b'), &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(kEntryAbsent, [&] {
    CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
    return servant_.zkExistsFile("u1", "b");
  }());
  EXPECT_EQ(2, Count(&first_, "u1"));  // keep and a, no temporary file
  EXPECT_EQ(90, state_.area_usage.Figure("/srv/u1/"));

  {
    CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
    EXPECT_EQ(kChangeDone, servant_.zkFileRemove("u1", "a"));
  }
  EXPECT_EQ(40, state_.area_usage.Figure("/srv/u1/"));
  ASSERT_EQ(kTransferOk, Upload(&first_, "u1", "b", std::string(20, 'b'), &index));
  // 40 + 20 + the new keep's 30 fits while both keeps are there; then the old one's bytes go.
  ASSERT_EQ(kTransferOk, Upload(&first_, "u1", "keep", std::string(30, 'n'), &index));
  EXPECT_EQ(50, state_.area_usage.Figure("/srv/u1/"));
  EXPECT_EQ(std::string(30, 'n'), fs_.Content("/srv/u1/keep"));

  // Another user has no limit; a removed limit holds nobody back from the next batch on.
  EXPECT_EQ(kTransferOk, Upload(&second_, "u2", "big", std::string(500, 'x'), &index));
  EXPECT_EQ(kTransferFileFailed, Upload(&first_, "u1", "big", std::string(500, 'x'), &index));
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(env_, "u1", 0));
  EXPECT_EQ(kTransferOk, Upload(&first_, "u1", "big", std::string(500, 'x'), &index));
  EXPECT_EQ(550, state_.area_usage.Figure("/srv/u1/"));
}

// The server reads an upload request as the generated stub writes it, in either byte order: a
// file in a large chunk (streamed into its file) and a small one, and a small file.
TEST_F(ServantTest, StoresAnUploadRequestAsTheGeneratedStubWritesIt) {
  int argc = 1;
  char name[] = "zkmdimpl_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);  // for the texts' code sets
  ASSERT_EQ(kLoginAccepted, Login(&first_, "u1", "pw1"));
  const std::string big = Pattern(2 * kChunkPieceBytes + 100);
  const size_t cut = 2 * kChunkPieceBytes - 3;
  for (bool little : {true, false}) {
    for (int start : {0, 5}) {  // where the body starts past an 8-byte boundary
      const std::string tag = (little ? "-le" : "-be") + std::to_string(start);
      const std::string big_name = "big" + tag + ".bin", small_name = "small" + tag + ".txt";
      ZKmd::zkSeqFileBuf batch;
      batch.length(3);
      batch[0] = UploadChunk(big_name.c_str(), 1, true, big.substr(0, cut));
      batch[1] = UploadChunk(big_name.c_str(), 2, false, big.substr(cut));
      batch[2] = UploadChunk(small_name.c_str(), 1, false, "small");
      cdrMemoryStream request;
      request.setByteSwapFlag(little);
      for (int k = 0; k < start; ++k) request.marshalOctet(0);
      request.marshalString("u1", 0);
      batch >>= request;
      CORBA::Long(0) >>= request;

      request.rewindInputPtr();
      for (int k = 0; k < start; ++k) request.unmarshalOctet();
      CORBA::Long index = -1;
      CallScope scope(&first_, "giop:tcp:127.0.0.1:40000", -1);
      EXPECT_EQ(kTransferOk, StoreUploadRequest(request, &servant_, &index)) << tag;
      EXPECT_EQ(0, index);
      EXPECT_TRUE(fs_.Content("/srv/u1/" + big_name) == big) << tag;
      EXPECT_EQ("small", fs_.Content("/srv/u1/" + small_name));
    }
  }
}

}  // namespace
}  // namespace zk
