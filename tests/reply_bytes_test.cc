// What the server and the tools marshal themselves, against omniORB's generated code on a real
// connection, over GIOP 1.0 (a body starts wherever its header ends) and 1.2 (bodies aligned to
// eight), through a relay on loopback that records both ways:
// - the replies the server writes itself (a login's answer, and every operation's failure answer
//   to a caller who has not logged in, written before its arguments are read) are byte for byte
//   the replies that the generated skeleton of a servant in this process writes for the same
//   results, and so are the replies to uploads;
// - the tools' own upload and download calls are served as the generated stub's.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "idl/chunk_wire.h"
#include "idl/orb.h"
#include "idl/wire.h"
#include "tests/raw_giop.h"
#include "tests/relay.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// The failure answers, as the generated skeleton marshals them.
class GeneratedFailures : public POA_ZKmd {
 public:
  CORBA::Long zkChgUserPwd(const char*, const char*) override { return kChangeFailed; }
  CORBA::Long zkExistsUser(const char*, const char* password) override {
    logged_in_ = std::string(password) == "pw1";
    return logged_in_ ? kLoginAccepted : kLoginRefused;
  }
  CORBA::Long zkExistsDir(const char*, const char*) override { return kEntryAbsent; }
  CORBA::Long zkExistsFile(const char*, const char*) override { return kEntryAbsent; }
  CORBA::Long zkFileCount(const char*, const char*, const char*) override { return 0; }
  CORBA::Long zkFileList(const char*, const char*, const char*, const char*,
                         ZKmd::zkSeqFileLst& list) override {
    list.length(0);
    return 0;
  }
  CORBA::Long zkFileUpload(const char*, const ZKmd::zkSeqFileBuf& bufs,
                           CORBA::Long& index) override {
    index = 1;
    if (!logged_in_) return kTransferFileFailed;
    // A chunk numbered 0 is taken by no server: the upload fails there.
    for (CORBA::ULong i = 0; i < bufs.length(); ++i) {
      index = static_cast<CORBA::Long>(i + 1);
      if (bufs[i].bufNo == 0) return kTransferFileFailed;
    }
    index = 0;
    return kTransferOk;
  }
  CORBA::Long zkFileUploadVerified(const char* user, const ZKmd::zkSeqFileBuf& bufs,
                                   const ZKmd::DataBuffer&, CORBA::Long& index) override {
    return zkFileUpload(user, bufs, index);
  }
  CORBA::Long zkFileKept(const char*, const char*, const char*, CORBA::LongLong, const char*,
                         CORBA::LongLong& kept, ZKmd::DataBuffer_out digests) override {
    kept = 0;
    digests = new ZKmd::DataBuffer;
    return kTransferFileFailed;
  }
  CORBA::Long zkFileResume(const char*, const char*, const char*, CORBA::LongLong, const char*,
                           CORBA::LongLong, CORBA::Long) override {
    return kTransferFileFailed;
  }
  CORBA::Long zkFileAgreed(const char*, const char*, const char*, CORBA::LongLong, const char*,
                           CORBA::LongLong, const ZKmd::DataBuffer&,
                           CORBA::LongLong& agreed) override {
    agreed = 0;
    return kTransferFileFailed;
  }
  CORBA::Long zkFileDownload(const char*, ZKmd::zkSeqFileBuf& bufs, CORBA::Long& index) override {
    bufs.length(0);
    index = 1;
    return kTransferFileFailed;
  }
  CORBA::Long zkDirRemove(const char*, const char*) override { return kChangeFailed; }
  CORBA::Long zkFileRemove(const char*, const char*) override { return kChangeFailed; }
  CORBA::Long zkRemoteJob(const char*, const char*, const char*, const char*, const char*,
                          char*& ret) override {
    CORBA::string_free(ret);
    ret = CORBA::string_dup(kJobNoReturnValue);
    return kJobUnknown;
  }
  CORBA::Long zkFileList64(const char*, const char*, const char*, const char*,
                           ZKmd::zkSeqFileLst64& list) override {
    list.length(0);
    return 0;
  }
  CORBA::Long zkFileDownload64(const char*, ZKmd::zkSeqFileBuf64& bufs,
                               CORBA::Long& index) override {
    bufs.length(0);
    index = 1;
    return kTransferFileFailed;
  }
  CORBA::Long zkFileDownloadVerified(const char*, ZKmd::zkSeqFileBuf64& bufs, CORBA::Long& index,
                                     ZKmd::DataBuffer_out digests) override {
    bufs.length(0);
    index = 1;
    digests = new ZKmd::DataBuffer;
    return kTransferFileFailed;
  }

 private:
  bool logged_in_ = false;  // the last login gave the right password
};

// Every operation once, with arguments of every kind, as a caller who has not logged in (the
// login's password is wrong); then a login, an upload, and one that fails at its second chunk.
void CallEveryOperation(ZKmd_ptr zk) {
  EXPECT_EQ(kLoginRefused, zk->zkExistsUser("u1", "wrong"));
  EXPECT_EQ(kChangeFailed, zk->zkChgUserPwd("u1", "new"));
  EXPECT_EQ(kEntryAbsent, zk->zkExistsDir("u1", "d"));
  EXPECT_EQ(kEntryAbsent, zk->zkExistsFile("u1", "f"));
  EXPECT_EQ(0, zk->zkFileCount("u1", ".\\", "*.*"));
  ZKmd::zkSeqFileLst list;
  list.length(3);
  EXPECT_EQ(0, zk->zkFileList("u1", ".\\", "*.*", "nm", list));
  EXPECT_EQ(0u, list.length());
  ZKmd::zkSeqFileLst64 list64;
  list64.length(2);
  EXPECT_EQ(0, zk->zkFileList64("u1", ".\\", "*.*", "", list64));
  ZKmd::zkSeqFileBuf bufs = OneChunk("a.txt", "hello", 0, 5);
  CORBA::Long index = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileUpload("u1", bufs, index));
  EXPECT_EQ(1, index);
  index = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileUploadVerified("u1", bufs, ZKmd::DataBuffer(), index));
  EXPECT_EQ(1, index);
  ZKmd::zkSeqFileBuf down = OneChunk("a.txt", "", 0, 64);
  index = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileDownload("u1", down, index));
  ZKmd::zkSeqFileBuf64 down64 = OneRequest64(".\\", "a.txt", 0, 64);
  index = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileDownload64("u1", down64, index));
  ZKmd::DataBuffer_var digests;
  index = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileDownloadVerified("u1", down64, index, digests.out()));
  EXPECT_EQ(0u, digests->length());
  CORBA::LongLong kept = -1;
  EXPECT_EQ(kTransferFileFailed,
            zk->zkFileKept("u1", ".\\", "a.txt", 5, "2020/01/02 03:04:05", kept, digests.out()));
  EXPECT_EQ(0, kept);
  EXPECT_EQ(kTransferFileFailed,
            zk->zkFileResume("u1", ".\\", "a.txt", 5, "2020/01/02 03:04:05", 4, 2));
  CORBA::LongLong agreed = -1;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileAgreed("u1", ".\\", "a.txt", 5, "2020/01/02 03:04:05",
                                                  0, ZKmd::DataBuffer(), agreed));
  EXPECT_EQ(0, agreed);
  EXPECT_EQ(kChangeFailed, zk->zkDirRemove("u1", "d"));
  EXPECT_EQ(kChangeFailed, zk->zkFileRemove("u1", "f"));
  CORBA::String_var ret = CORBA::string_dup("");
  EXPECT_EQ(kJobUnknown, zk->zkRemoteJob("u1", "job", "", "", kJobWaitMode, ret.inout()));
  EXPECT_STREQ(kJobNoReturnValue, ret.in());
  // Logged in, an upload's reply is the server's own too.
  EXPECT_EQ(kLoginAccepted, zk->zkExistsUser("u1", "pw1"));
  index = -1;
  EXPECT_EQ(kTransferOk, zk->zkFileUpload("u1", bufs, index));
  EXPECT_EQ(0, index);
  ZKmd::zkSeqFileBuf two;
  two.length(2);
  two[0] = OneChunk("b.txt", "first", 0, 5)[0];
  two[1] = OneChunk("c.txt", "second", 0, 6)[0];
  two[1].bufNo = 0;
  EXPECT_EQ(kTransferFileFailed, zk->zkFileUpload("u1", two, index));
  EXPECT_EQ(2, index);
}

// The messages of GIOP type `type` (0 Request, 1 Reply) of a recording, each with its request id
// set to 0 (the connections number their requests on their own): 1.2 puts it first in the header,
// 1.0 after the service contexts, of which none are sent.
std::vector<std::string> Messages(const std::string& bytes, int type) {
  std::vector<std::string> out;
  for (size_t at = 0; at + 12 <= bytes.size();) {
    const auto byte = [&](size_t i) {
      return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]));
    };
    const bool little = (byte(at + 6) & 1) != 0;
    const uint32_t size =
        little ? byte(at + 8) | byte(at + 9) << 8 | byte(at + 10) << 16 | byte(at + 11) << 24
               : byte(at + 11) | byte(at + 10) << 8 | byte(at + 9) << 16 | byte(at + 8) << 24;
    std::string message = bytes.substr(at, 12 + size);
    at += 12 + size;
    if (message[7] != type) continue;  // another kind (a locate request and reply before GIOP 1.0)
    const size_t id = message[5] == 2 ? 12 : 16;
    if (message.size() >= id + 4) message.replace(id, 4, 4, '\0');
    out.push_back(message);
  }
  return out;
}

class ReplyBytesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    int argc = 3;
    static char a0[] = "reply_bytes_test", a1[] = "-ORBendPoint", a2[] = "giop:tcp:127.0.0.1:";
    static char* argv[] = {a0, a1, a2, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj.in());
    PortableServer::ObjectId_var id = poa->activate_object(new GeneratedFailures);
    generated_ = poa->id_to_reference(id.in());
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    fixture_ = new ServerFixture();
    fixture_->AddUser("u1", "pw1");
    fixture_->Start();
  }
  static void TearDownTestSuite() {
    relays_.clear();
    delete fixture_;
    fixture_ = nullptr;
    CORBA::release(generated_);
  }

  // The replies to every operation from the object at `address`, over GIOP 1.`minor`.
  static std::vector<std::string> RepliesOf(const ObjectAddress& address, int minor) {
    Relay& relay = NewRelay(address.port);
    CORBA::Object_var obj =
        TestOrb()->string_to_object(Corbaloc(minor, relay.port(), address.key).c_str());
    ZKmd_var zk = ZKmd::_unchecked_narrow(obj.in());
    CallEveryOperation(zk.in());
    return Messages(relay.FromTarget(), 1);
  }

  // A relay that lives as long as the suite: a port is never used twice, so the ORB never takes a
  // connection it keeps to an ended relay for one to a new relay on the same port.
  static Relay& NewRelay(int target_port) {
    relays_.push_back(std::make_unique<Relay>(target_port));
    return *relays_.back();
  }

  static inline std::vector<std::unique_ptr<Relay>> relays_;
  static inline ServerFixture* fixture_ = nullptr;
  static inline CORBA::Object_ptr generated_ = CORBA::Object::_nil();
};

TEST_F(ReplyBytesTest, TheServersOwnRepliesAreTheGeneratedSkeletonsOverGiop10And12) {
  ZKmd_var server = ResolveServer(fixture_->ns_port());
  for (int minor : {0, 2}) {
    const std::vector<std::string> own = RepliesOf(ObjectAddressOf(server.in()), minor);
    const std::vector<std::string> generated = RepliesOf(ObjectAddressOf(generated_), minor);
    ASSERT_EQ(21u, own.size()) << "GIOP 1." << minor;
    ASSERT_EQ(generated.size(), own.size());
    for (size_t i = 0; i < own.size(); ++i) {
      EXPECT_EQ(minor, own[i][5]);
      EXPECT_TRUE(own[i] == generated[i]) << "GIOP 1." << minor << ", reply " << i;
    }
  }
}

// The data of the one chunk of an upload, streamed from memory.
class StringSource : public UploadSource {
 public:
  explicit StringSource(const std::string& data) : data_(data) {}
  size_t StreamedLength(CORBA::ULong) const override { return data_.size(); }
  int64_t Position(CORBA::ULong) const override { return 0; }
  bool Read(CORBA::ULong, size_t offset, uint8_t* buf, size_t len) override {
    data_.copy(reinterpret_cast<char*>(buf), len, offset);
    return true;
  }

 private:
  const std::string& data_;
};

// Takes a download reply and keeps its data.
class StringSink : public ChunkSink {
 public:
  void Begin(CORBA::Long, CORBA::ULong) override {}
  bool ChunkStart(CORBA::ULong, int64_t, const char*, const char*, size_t) override { return true; }
  bool Piece(size_t, const uint8_t* data, size_t len) override {
    this->data.append(reinterpret_cast<const char*>(data), len);
    return true;
  }
  void ChunkEnd() override {}
  std::string data;
};

// The tools' own upload and download calls (the upload's data read from its source while it is
// written, whole first where GIOP 1.0 sizes a message before sending it; the download reply read
// piece by piece) get from the server what the generated stub's calls get, over GIOP 1.0 and 1.2.
TEST_F(ReplyBytesTest, TheToolsOwnCallsAreServedAsTheGeneratedStubs) {
  ZKmd_var server = ResolveServer(fixture_->ns_port());
  const ObjectAddress address = ObjectAddressOf(server.in());
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 1000);
  const ZKmd::zkSeqFileBuf64 wanted =
      OneRequest64(".\\", "r.bin", 0, static_cast<long>(data.size()));
  for (int minor : {0, 2}) {
    for (bool own : {false, true}) {
      const std::string where = "GIOP 1." + std::to_string(minor) + (own ? ", own calls" : "");
      Relay& relay = NewRelay(address.port);
      CORBA::Object_var obj =
          TestOrb()->string_to_object(Corbaloc(minor, relay.port(), address.key).c_str());
      ZKmd_var zk = ZKmd::_unchecked_narrow(obj.in());
      ASSERT_EQ(kLoginAccepted, zk->zkExistsUser("u1", "pw1"));
      const std::string name = "r" + std::to_string(minor) + (own ? "own" : "") + ".bin";
      ZKmd::zkSeqFileBuf64 asked = wanted;
      asked[0].fileNm = name.c_str();
      CORBA::Long up = -1, down = -1;
      std::string got;
      if (own) {
        std::vector<uint8_t> piece(kChunkPieceBytes);
        ZKmd::zkSeqFileBuf batch = OneChunk(name, "", 0, static_cast<long>(data.size()));
        batch[0].fileSize = static_cast<CORBA::Long>(data.size());
        StringSource source(data);
        EXPECT_EQ(kTransferOk, UploadFrom(zk.in(), "u1", batch, &up, &source, piece.data()));
        StringSink sink;
        EXPECT_EQ(kTransferOk, DownloadTo(zk.in(), "u1", asked, &down, &sink, piece.data()));
        got = sink.data;
      } else {
        ZKmd::zkSeqFileBuf whole = OneChunk(name, data, 0, static_cast<long>(data.size()));
        EXPECT_EQ(kTransferOk, zk->zkFileUpload("u1", whole, up));
        EXPECT_EQ(kTransferOk, zk->zkFileDownload64("u1", asked, down));
        got.assign(reinterpret_cast<const char*>(asked[0].fileBuf.get_buffer()),
                   asked[0].fileBuf.length());
      }
      EXPECT_EQ(0, up) << where;
      EXPECT_EQ(0, down) << where;
      EXPECT_TRUE(got == data) << where << ": " << got.size() << " bytes";
      EXPECT_TRUE(ReadFile(fixture_->storage_dir("u1") + "/" + name) == data) << where;
      // The messages did cross the relay, in the GIOP version asked for.
      const std::vector<std::string> requests = Messages(relay.FromClients(), 0);
      ASSERT_FALSE(requests.empty()) << where;
      EXPECT_EQ(minor, requests.back()[5]) << where;
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace zk
