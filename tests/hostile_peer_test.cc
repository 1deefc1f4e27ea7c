// The server against peers that send what no tool sends: large requests before any login, requests
// that stop in the middle, many connections from one address, a download no reply can carry,
// operations it does not have.
// Memory is read from /proc (VmRSS, VmHWM) of the zksvr the fixture started.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "idl/orb.h"
#include "server/connection_limits.h"
#include "tests/raw_giop.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const long kMiB = 1024 * 1024;
// What a peer that has not logged in may make the server hold.
const long kAllowance = 8 * kMiB;
// The sanitizer build's allocator keeps freed memory in quarantine and gives none back, so the
// server's memory says nothing there; the requests are still made and their answers checked.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryTells = false;
#else
constexpr bool kMemoryTells = true;
#endif

struct Memory {
  long rss = 0;  // bytes
  long hwm = 0;  // the peak of rss so far
};

Memory MemoryOf(pid_t pid) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  Memory m;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) m.rss = std::stol(line.substr(6)) * 1024;
    if (line.rfind("VmHWM:", 0) == 0) m.hwm = std::stol(line.substr(6)) * 1024;
  }
  return m;
}

// A zkFileUpload body for one chunk "\\big.bin" of `n` bytes (a multiple of four), in three parts:
// what comes before the data, and what comes after it.
struct UploadBody {
  Cdr before, after;
  size_t n;
  size_t size() const { return before.size() + n + after.size(); }
};
UploadBody BigUpload(const std::string& user, size_t n) {
  UploadBody b;
  b.n = n;
  b.before.String(user);
  b.before.ULong(1);  // one chunk
  b.before.String("\\");
  b.before.String("big.bin");
  b.before.Long(static_cast<int32_t>(n));
  b.before.String("2020/01/02 03:04:05");
  b.before.String("2020/01/02 03:04:05");
  b.before.ULong(static_cast<uint32_t>(n));  // fileBuf
  b.after.Long(1);                           // bufNo
  b.after.Octet(0);                          // nextBuf
  b.after.Long(0);                           // bufPos
  b.after.Long(0);                           // bufUnitSize
  b.after.Long(0);                           // bufIndex
  return b;
}

// A zkFileList request body with `slots` empty slots, sent piece by piece.
bool SendList(RawConnection* c, const std::string& user, uint32_t slots) {
  Cdr head;
  head.String(user);
  head.String(".\\");
  head.String("*.*");
  head.String("");
  head.ULong(slots);
  Cdr slot;  // one empty zkStrctFileList and the padding before the next
  slot.String("");
  slot.String("");
  slot.Long(0);
  slot.String("");
  const size_t last = slot.size();
  slot.Align(4);
  const size_t size = head.size() + (slots - 1) * slot.size() + last;
  if (!c->Send(RequestStart(7, c->key(), "zkFileList", size) + head.bytes())) return false;
  std::string block;
  const uint32_t per_block = 32768;
  for (uint32_t i = 0; i < per_block; ++i) block += slot.bytes();
  uint32_t left = slots - 1;
  while (left > 0) {
    uint32_t now = left < per_block ? left : per_block;
    if (!c->Send(block.substr(0, now * slot.size()))) return false;
    left -= now;
  }
  return c->Send(slot.bytes().substr(0, last));
}

Cdr Login(const std::string& user, const std::string& password) {
  Cdr body;
  body.String(user);
  body.String(password);
  return body;
}

class HostilePeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.AddUser("u1", "pw1");
    WriteFile(fixture_.storage_dir("u1") + "/keep.txt", "keep");
    fixture_.Start();
    server_ = ResolveServer(fixture_.ns_port());
    address_ = ObjectAddressOf(server_.in());
    ASSERT_NE(0, address_.port);
  }
  Memory Now() const { return MemoryOf(fixture_.server_pid()); }

  ServerFixture fixture_;
  ZKmd_var server_;
  ObjectAddress address_;
};

TEST_F(HostilePeerTest, LargeRequestsBeforeLoginCostTheServerNothing) {
  const Memory before = Now();
  // Four connections each send 64 MiB of an upload and hold back its last bytes.
  std::vector<std::unique_ptr<RawConnection>> stalled;
  const auto stalled_at = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) {
    stalled.emplace_back(new RawConnection(address_));
    RawConnection& c = *stalled.back();
    ASSERT_TRUE(c.connected());
    UploadBody body = BigUpload("u1", 64 * kMiB);
    ASSERT_TRUE(
        c.Send(RequestStart(1, c.key(), "zkFileUpload", body.size()) + body.before.bytes()));
    ASSERT_TRUE(c.SendFill(body.n, 'x'));
    ASSERT_TRUE(c.Send(body.after.bytes().substr(0, body.after.size() - 8)));
  }
  // A listing with four million slots is answered at once, with no slot.
  RawConnection lister(address_);
  ASSERT_TRUE(SendList(&lister, "u1", 4000000));
  RawReply reply;
  ASSERT_TRUE(lister.Receive(&reply, 30));
  EXPECT_EQ(0u, reply.status);
  EXPECT_EQ(0, reply.Long(0));  // the result
  EXPECT_EQ(0, reply.Long(4));  // an empty fileList
  EXPECT_EQ(8u, reply.body.size());
  // A login whose password is 64 MiB long is refused unread (an exception), and the connection
  // serves on.
  RawConnection login(address_);
  Cdr head;
  head.String("u1");
  head.ULong(64 * kMiB + 1);
  ASSERT_TRUE(login.Send(RequestStart(1, login.key(), "zkExistsUser", head.size() + 64 * kMiB + 1) +
                         head.bytes()));
  ASSERT_TRUE(login.SendFill(64 * kMiB, 'p'));
  ASSERT_TRUE(login.Send(std::string(1, '\0')));
  ASSERT_TRUE(login.Receive(&reply, 30));
  EXPECT_EQ(2u, reply.status);  // CORBA::MARSHAL
  ASSERT_TRUE(login.Call("zkExistsUser", Login("u1", "pw1"), &reply));
  EXPECT_EQ(-1, reply.Long(0));

  const Memory during = Now();
  if (kMemoryTells) {
    EXPECT_LT(during.rss - before.rss, kAllowance) << during.rss / kMiB << " MiB";
    EXPECT_LT(during.hwm - before.hwm, kAllowance) << during.hwm / kMiB << " MiB at the peak";
  }
  EXPECT_FALSE(Exists(fixture_.storage_dir("u1") + "/big.bin"));

  // The stalled requests end with their connections, once the server's wait is over.
  const double wait = kServerCallTimeoutMs / 1000.0 + 5;
  for (auto& c : stalled) EXPECT_TRUE(c->ClosedWithin(wait));
  double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stalled_at).count();
  EXPECT_GE(took, kServerCallTimeoutMs / 1000.0 - 1);
  // The server serves on.
  EXPECT_EQ(-1, server_->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(1, server_->zkExistsFile("u1", "keep.txt"));
}

TEST_F(HostilePeerTest, LargeCallsOfALoggedInUserGiveTheirMemoryBack) {
  if (!kMemoryTells) GTEST_SKIP() << "the sanitizer build's allocator gives no memory back";
  RawConnection c(address_);
  RawReply reply;
  ASSERT_TRUE(c.Call("zkExistsUser", Login("u1", "pw1"), &reply));
  ASSERT_EQ(-1, reply.Long(0));
  const Memory before = Now();
  // A listing of the user's own area with a million slots, and one for another user id with
  // four million: read in full, answered, and then let go.
  ASSERT_TRUE(SendList(&c, "u1", 1000000));
  ASSERT_TRUE(c.Receive(&reply, 60));
  EXPECT_EQ(0, reply.Long(0));
  EXPECT_EQ(1000000, reply.Long(4));
  ASSERT_TRUE(SendList(&c, "u2", 4000000));
  ASSERT_TRUE(c.Receive(&reply, 60));
  EXPECT_EQ(0, reply.Long(4));  // refused: no slot comes back
  // The calls did need the memory, and (once the server has let their arguments go, just after
  // the reply) give it back.
  if (!kMemoryTells) return;
  EXPECT_GT(Now().hwm - before.hwm, 50 * kMiB);
  Memory after;
  EXPECT_TRUE(WaitUntil(
      [&] {
        after = Now();
        return after.rss - before.rss < kAllowance;
      },
      10))
      << (after.rss - before.rss) / kMiB << " MiB more than before";
}

TEST_F(HostilePeerTest, RequestsThatStopArrivingAreCutOffButSlowLoggedInBatchesAreNot) {
  // A login that never ends.
  RawConnection stuck(address_);
  Cdr body = Login("u1", "pw1");
  ASSERT_TRUE(stuck.Send(RequestStart(1, stuck.key(), "zkExistsUser", body.size()) +
                         body.bytes().substr(0, 6)));

  // A logged-in user's upload that trickles in for longer than that wait.
  RawConnection slow(address_);
  RawReply reply;
  ASSERT_TRUE(slow.Call("zkExistsUser", Login("u1", "pw1"), &reply));
  ASSERT_EQ(-1, reply.Long(0));
  UploadBody upload = BigUpload("u1", 4096);
  ASSERT_TRUE(slow.Send(RequestStart(2, slow.key(), "zkFileUpload", upload.size()) +
                        upload.before.bytes()));
  const int pieces = 8;
  const auto pause = std::chrono::milliseconds(kServerCallTimeoutMs / pieces + 300);
  for (int i = 0; i < pieces; ++i) {
    std::this_thread::sleep_for(pause);
    ASSERT_TRUE(slow.Send(std::string(upload.n / pieces, 'S')));
  }
  ASSERT_TRUE(slow.Send(upload.after.bytes()));
  ASSERT_TRUE(slow.Receive(&reply, 10));
  EXPECT_EQ(0, reply.Long(0));
  EXPECT_EQ(std::string(4096, 'S'), ReadFile(fixture_.storage_dir("u1") + "/big.bin"));

  // By now the stuck one is long past the wait.
  EXPECT_TRUE(stuck.ClosedWithin(1));
}

// A logged-in user's reply that the peer takes in slowly, for longer than the time a request may
// take to arrive (a large unit over a slow line), is sent whole, not cut off.
TEST_F(HostilePeerTest, ALoggedInUsersReplyMayTakeAsLongAsTheLineNeeds) {
  const size_t n = 24 * kMiB;  // far more than the connection's buffers hold
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 7 + i / 4093) & 0xff);
  WriteFile(fixture_.storage_dir("u1") + "/slow.bin", data);
  RawConnection c(address_);
  RawReply reply;
  ASSERT_TRUE(c.Call("zkExistsUser", Login("u1", "pw1"), &reply));
  ASSERT_EQ(-1, reply.Long(0));
  Cdr down;
  down.String("u1");
  down.ULong(1);  // one chunk: the whole file
  down.String("\\");
  down.String("slow.bin");
  down.Long(0);  // fileSize
  down.String("");
  down.String("");
  down.Octets("");
  down.Long(1);                        // bufNo
  down.Octet(0);                       // nextBuf
  down.Long(0);                        // bufPos
  down.Long(static_cast<int32_t>(n));  // bufUnitSize
  down.Long(0);                        // bufIndex
  ASSERT_TRUE(c.Send(RequestStart(2, c.key(), "zkFileDownload", down.size()) + down.bytes()));
  // At most 256 KiB every 25 ms (the server sends a fragment's header and its data apart): about
  // 10 s for the reply, of which a few MiB fit in the connection's buffers.
  c.ReadSlowly(256 * 1024, std::chrono::milliseconds(25));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.Receive(&reply, 60)) << "the reply was cut off";
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(took, kServerCallTimeoutMs / 1000.0 + 1);
  EXPECT_EQ(0u, reply.status);
  EXPECT_EQ(0, reply.Long(0));  // the result
  EXPECT_EQ(1, reply.Long(4));  // one chunk
  EXPECT_NE(std::string::npos, reply.body.find(data.substr(n / 2, 4096)));
}

TEST_F(HostilePeerTest, OnePeerHoldsALimitedNumberOfConnections) {
  // The test's own ORB holds one connection, logged in.
  ASSERT_EQ(-1, server_->zkExistsUser("u1", "pw1"));
  std::vector<std::unique_ptr<RawConnection>> held;
  for (size_t i = 0; i < kMaxConnectionsPerPeer + 8; ++i) {
    held.emplace_back(new RawConnection(address_));
    ASSERT_TRUE(held.back()->connected()) << i;
  }
  // Refused connections (the ORB accepts them in no fixed order) are closed as they are accepted;
  // the rest are kept for the time a login may take, which has not passed yet.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  size_t closed = 0, kept = held.size();
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i]->ClosedWithin(0)) {
      ++closed;
    } else if (kept == held.size()) {
      kept = i;
    }
  }
  EXPECT_EQ(9u, closed);
  // The ones it keeps are served.
  ASSERT_LT(kept, held.size());
  RawReply reply;
  ASSERT_TRUE(held[kept]->Call("zkExistsUser", Login("u1", "pw1"), &reply));
  EXPECT_EQ(-1, reply.Long(0));
  // Once they are closed, the peer connects again.
  held.clear();
  EXPECT_TRUE(WaitUntil(
      [&] {
        RawConnection again(address_);
        RawReply r;
        return again.Call("zkExistsUser", Login("u1", "pw1"), &r, 2) && r.Long(0) == -1;
      },
      10));
  EXPECT_NE(
      std::string::npos,
      ReadFile(fixture_.dir() + "/zksvr.log")
          .find("WARNING:同じ接続元からの接続が多すぎるため、接続を拒否しました。(giop:tcp:"));
}

TEST_F(HostilePeerTest, DownloadThatNoReplyCanCarryIsRefusedAndTheLoginKept) {
  ASSERT_EQ(-1, server_->zkExistsUser("u1", "pw1"));
  // Exactly the message limit of data, and a little less whose chunk headers make it too much.
  for (long len : {kMaxMessageBytes, kMaxMessageBytes - 16}) {
    ZKmd::zkSeqFileBuf down = OneChunk("keep.txt", "", 0, len);
    CORBA::Long index = 0;
    EXPECT_EQ(20, server_->zkFileDownload("u1", down, index)) << len;
    EXPECT_EQ(1, index);
    EXPECT_EQ(0u, down.length());
  }
  // Still logged in on the same connection.
  EXPECT_EQ(1, server_->zkExistsFile("u1", "keep.txt"));
  ZKmd::zkSeqFileBuf down = OneChunk("keep.txt", "", 0, 4);
  CORBA::Long index = 0;
  ASSERT_EQ(0, server_->zkFileDownload("u1", down, index));
  EXPECT_EQ('k', static_cast<char>(down[0].fileBuf[0]));
}

// The listing and download with 64-bit fields get the answers of their 32-bit forms before a
// login, unread; an operation the server does not have is answered BAD_OPERATION, which is what
// a server of an earlier version answers for those two, and what the tools fall back on.
TEST_F(HostilePeerTest, WideOperationsAreAnsweredUnreadBeforeLoginAndUnknownOnesWithBadOperation) {
  RawConnection c(address_);
  ASSERT_TRUE(c.connected());
  RawReply reply;
  Cdr list;
  list.String("u1");
  list.String(".\\");
  list.String("*.*");
  list.String("");
  list.ULong(0);
  ASSERT_TRUE(c.Call("zkFileList64", list, &reply));
  EXPECT_EQ(0u, reply.status);
  EXPECT_EQ(0, reply.Long(0));  // the result
  EXPECT_EQ(0, reply.Long(4));  // no slot
  EXPECT_EQ(8u, reply.body.size());

  RawConnection d(address_);
  Cdr down;
  down.String("u1");
  down.ULong(0);
  down.Long(0);
  ASSERT_TRUE(d.Call("zkFileDownload64", down, &reply));
  EXPECT_EQ(0u, reply.status);
  EXPECT_EQ(20, reply.Long(0));
  EXPECT_EQ(0, reply.Long(4));  // no chunk
  EXPECT_EQ(1, reply.Long(8));  // bufIndex
  // Both were answered before their arguments were read, which has no user id to log ("-").
  const std::string log = ReadFile(fixture_.dir() + "/zksvr.log");
  for (const char* op : {"zkFileList64", "zkFileDownload64"}) {
    EXPECT_NE(std::string::npos,
              log.find(std::string("WARNING:認証されていない接続からの要求を拒否しました。(") + op +
                       " - giop:tcp:"))
        << op << "\n"
        << log;
  }

  const std::string bad_operation = "IDL:omg.org/CORBA/BAD_OPERATION:1.0";
  ASSERT_TRUE(d.Call("zkFileUpload64", Cdr(), &reply));
  EXPECT_EQ(2u, reply.status);
  EXPECT_NE(std::string::npos, reply.body.find(bad_operation));
  ASSERT_TRUE(d.Call("zkExistsUser", Login("u1", "pw1"), &reply));
  ASSERT_EQ(-1, reply.Long(0));
  ASSERT_TRUE(d.Call("zkFileUpload64", Cdr(), &reply));
  EXPECT_EQ(2u, reply.status);
  EXPECT_NE(std::string::npos, reply.body.find(bad_operation));
}

}  // namespace
}  // namespace test
}  // namespace zk
