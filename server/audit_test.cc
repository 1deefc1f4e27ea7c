// The audit trail's records and sinks, its queue against sinks that stall or fail, and the
// following of uploads and downloads across calls, on a synthetic clock.
#include "server/audit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "idl/wire.h"
#include "platform/digest.h"
#include "server/audit_events.h"
#include "platform/timetext.h"
#include "server/uploads.h"
#include "tests/time_zone.h"

namespace zk {
namespace {

using std::chrono::milliseconds;

// 2024-02-29 23:59:59.123 UTC.
AuditRecord At(AuditEvent e) {
  AuditRecord r(e);
  r.time = std::chrono::system_clock::time_point(milliseconds(1709251199123));
  return r;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempFolder {
 public:
  TempFolder() {
    char tmpl[] = "/tmp/zk-audit-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempFolder() { system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(AuditRecordTest, JsonHasEveryKeyAndNullWhereARecordHasNone) {
  test::TimeZone utc("UTC0");
  AuditRecord login = At(AuditEvent::kLogin);
  login.user = "alice";
  login.peer = "giop:tcp:127.0.0.1:40000";
  login.result = kLoginRefused;
  login.ms = 3;
  login.reason = "wrong-password";
  EXPECT_EQ(AuditJson(login),
            "{\"time\":\"2024-02-29T23:59:59.123+00:00\",\"event\":\"login\",\"user\":\"alice\","
            "\"peer\":\"giop:tcp:127.0.0.1:40000\",\"path\":null,\"bytes\":null,\"result\":0,"
            "\"ms\":3,\"reason\":\"wrong-password\"}");

  AuditRecord job = At(AuditEvent::kJob);
  job.user = "bob";
  job.result = kJobStarted;
  job.job = "nightly";
  job.exit = -1;
  EXPECT_EQ(AuditJson(job),
            "{\"time\":\"2024-02-29T23:59:59.123+00:00\",\"event\":\"job\",\"user\":\"bob\","
            "\"peer\":null,\"path\":null,\"bytes\":null,\"result\":0,\"ms\":0,"
            "\"job\":\"nightly\",\"exit\":-1}");

  AuditRecord up = At(AuditEvent::kUpload);
  up.path = "docs/a.txt";
  up.bytes = 5000000000;
  up.result = kTransferOk;
  up.digest = "00ff";
  EXPECT_NE(AuditJson(up).find("\"path\":\"docs/a.txt\",\"bytes\":5000000000,\"result\":0,"
                               "\"ms\":0,\"digest\":\"00ff\"}"),
            std::string::npos)
      << AuditJson(up);
}

// A writer keeps the text of the second it last wrote: records later in that second, in the next
// one (here across midnight and a month's end), and an earlier one again all get their own time.
TEST(AuditRecordTest, TimesFormattedOncePerSecondAreEachRecordsOwn) {
  test::TimeZone utc("UTC0");
  AuditSecondText second;
  for (int64_t ms : {1709251199123LL, 1709251199999LL, 1709251199000LL, 1709251200007LL,
                     1709251200007LL, 1709251199500LL, -1LL}) {
    AuditRecord r(AuditEvent::kLogin);
    r.time = std::chrono::system_clock::time_point(milliseconds(ms));
    std::string line;
    AppendAuditJson(r, &second, &line);
    EXPECT_EQ(line.substr(0, 39), "{\"time\":\"" + FormatIsoTime(ms) + "\"") << ms;
    EXPECT_EQ(line, AuditJson(r));
  }
}

TEST(AuditRecordTest, AnyBytesGiveAValidJsonString) {
  EXPECT_EQ(JsonEscape("plain ascii"), "plain ascii");
  EXPECT_EQ(JsonEscape("\"q\" \\ /"), "\\\"q\\\" \\\\ /");
  EXPECT_EQ(JsonEscape(std::string("a\nb\rc\td\x01\x1f\x7f", 10)),
            "a\\nb\\rc\\td\\u0001\\u001f\\u007f");
  EXPECT_EQ(JsonEscape(std::string("nul\0end", 7)), "nul\\u0000end");
  // Valid UTF-8 stays as it is: two, three and four bytes.
  EXPECT_EQ(JsonEscape("é日本語😀"), "é日本語😀");
  // Bytes that are not UTF-8: a lone continuation, a cut sequence, an overlong form, a surrogate,
  // beyond U+10FFFF, a Shift_JIS pair.
  EXPECT_EQ(JsonEscape("\x80"), "\\ufffd");
  EXPECT_EQ(JsonEscape("a\xe6\x97"), "a\\ufffd\\ufffd");
  EXPECT_EQ(JsonEscape("\xc0\x80"), "\\ufffd\\ufffd");
  EXPECT_EQ(JsonEscape("\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd");
  EXPECT_EQ(JsonEscape("\xf4\x90\x80\x80"), "\\ufffd\\ufffd\\ufffd\\ufffd");
  EXPECT_EQ(JsonEscape("\x93\xfa\x96\x7b"), "\\ufffd\\ufffd\\ufffd{");
}

TEST(AuditRecordTest, ThePeerIsTheCallersHostAndPort) {
  EXPECT_EQ(AuditPeer("giop:tcp:127.0.0.1:40000"), "127.0.0.1:40000");
  EXPECT_EQ(AuditPeer("giop:tcp:[::ffff:10.0.0.5]:40001"), "10.0.0.5:40001");
  EXPECT_EQ(AuditPeer("giop:ssl:[::1]:40002"), "[::1]:40002");
  EXPECT_EQ(AuditPeer("giop:unix:/tmp/x"), "giop:unix:/tmp/x");
  EXPECT_EQ(AuditPeer(""), "");
}

TEST(AuditRecordTest, EachKindHasItsOwnMessageId) {
  std::set<std::string> ids;
  for (AuditEvent e :
       {AuditEvent::kLogin, AuditEvent::kUpload, AuditEvent::kDownload, AuditEvent::kRemoveFile,
        AuditEvent::kRemoveDir, AuditEvent::kJob, AuditEvent::kPassword,
        AuditEvent::kConnectionRefused, AuditEvent::kConnectionClosed}) {
    const std::string id = AuditMessageId(e);
    EXPECT_EQ(id.size(), 32u) << AuditEventName(e);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 9u);
}

TEST(AuditSinkTest, TheSettingChoosesTheSink) {
  TempFolder tmp;
  std::unique_ptr<AuditSink> sink;
  bool bad = true;
  std::string error;
  for (const char* off : {"", "none"}) {
    ASSERT_TRUE(AuditSinkFor(off, &sink, &bad, &error)) << off;
    EXPECT_EQ(sink, nullptr);
    EXPECT_FALSE(bad);
  }
  ASSERT_TRUE(AuditSinkFor("journal", &sink, &bad, &error));
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->Name(), "journal");
  ASSERT_TRUE(AuditSinkFor(tmp / "audit.jsonl", &sink, &bad, &error));
  EXPECT_EQ(sink->Name(), tmp / "audit.jsonl");
  struct stat st;
  ASSERT_EQ(stat((tmp / "audit.jsonl").c_str(), &st), 0) << "created at once";
  for (const char* bad_value : {"audit.jsonl", "Journal", "./x", "syslog"}) {
    EXPECT_FALSE(AuditSinkFor(bad_value, &sink, &bad, &error)) << bad_value;
    EXPECT_TRUE(bad) << bad_value;
  }
  EXPECT_FALSE(AuditSinkFor(tmp / "missing/audit.jsonl", &sink, &bad, &error));
  EXPECT_FALSE(bad);
  EXPECT_NE(error, "");
  EXPECT_FALSE(AuditSinkFor(tmp / "", &sink, &bad, &error)) << "a directory";
  // A FIFO nobody reads yet: its records are dropped until somebody does.
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
  EXPECT_TRUE(AuditSinkFor(tmp / "fifo", &sink, &bad, &error));
  EXPECT_NE(sink, nullptr);
}

TEST(AuditSinkTest, JsonLinesAreAppendedOwnerOnlyAndFollowRotation) {
  TempFolder tmp;
  const std::string path = tmp / "audit.jsonl";
  const mode_t old_mask = umask(0);  // the file is owner-only whatever the mask allows
  JsonLinesSink sink(path);
  std::string error;
  ASSERT_TRUE(sink.Open(&error)) << error;
  umask(old_mask);
  AuditRecord a = At(AuditEvent::kLogin), b = At(AuditEvent::kPassword);
  a.user = "first";
  b.user = "second";
  ASSERT_EQ(sink.Write({a, b}, &error), 2u) << error;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadAll(path), AuditJson(a) + "\n" + AuditJson(b) + "\n");

  // Moved away: the next record goes to a new file at the path, the old one keeps its lines.
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  umask(0);
  ASSERT_EQ(sink.Write({b}, &error), 1u) << error;
  umask(old_mask);
  EXPECT_EQ(ReadAll(path + ".1"), AuditJson(a) + "\n" + AuditJson(b) + "\n");
  EXPECT_EQ(ReadAll(path), AuditJson(b) + "\n");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Removed, and another file put there: records go to what the path names now.
  ASSERT_EQ(unlink(path.c_str()), 0);
  { std::ofstream(path) << "kept\n"; }
  ASSERT_EQ(sink.Write({a}, &error), 1u) << error;
  EXPECT_EQ(ReadAll(path), "kept\n" + AuditJson(a) + "\n");

  // A second sink on the same file appends after the first's lines.
  JsonLinesSink again(path);
  ASSERT_TRUE(again.Open(&error));
  ASSERT_EQ(again.Write({b}, &error), 1u);
  EXPECT_EQ(ReadAll(path), "kept\n" + AuditJson(a) + "\n" + AuditJson(b) + "\n");
}

TEST(AuditSinkTest, AFullDiskOrAFifoNobodyReadsFailsAtOnce) {
  std::string error;
  JsonLinesSink full("/dev/full");
  ASSERT_TRUE(full.Open(&error)) << error;
  EXPECT_EQ(full.Write({At(AuditEvent::kLogin)}, &error), 0u);
  EXPECT_EQ(error, strerror(ENOSPC));

  TempFolder tmp;
  const std::string fifo = tmp / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  JsonLinesSink unread(fifo);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(unread.Open(&error)) << "nobody reads: no writer may open it";
  EXPECT_EQ(unread.Write({At(AuditEvent::kLogin)}, &error), 0u);
  // A reader that never reads: the pipe fills, and the write fails instead of waiting.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::vector<AuditRecord> many(5000, At(AuditEvent::kLogin));
  size_t written = unread.Write(many, &error);
  EXPECT_LT(written, many.size());
  EXPECT_EQ(error, strerror(EAGAIN));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  close(reader);
}

// A sink that records what it is given; it can be held inside Write, and fail.
class FakeSink : public AuditSink {
 public:
  size_t Write(const std::vector<AuditRecord>& records, std::string* error) override {
    std::unique_lock<std::mutex> lock(mu_);
    ++calls_;
    entered_.notify_all();
    go_.wait(lock, [this] { return !hold_; });
    if (fail_) {
      *error = "disk on fire";
      return 0;
    }
    for (const AuditRecord& r : records) got_.push_back(r);
    return records.size();
  }
  std::string Name() const override { return "fake"; }

  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = hold;
    go_.notify_all();
  }
  void Fail(bool fail) {
    std::lock_guard<std::mutex> lock(mu_);
    fail_ = fail;
  }
  void WaitForCall(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    entered_.wait(lock, [&] { return calls_ >= n; });
  }
  std::vector<AuditRecord> got() {
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }

 private:
  std::mutex mu_;
  std::condition_variable go_, entered_;
  bool hold_ = false;
  bool fail_ = false;
  int calls_ = 0;
  std::vector<AuditRecord> got_;
};

struct Lines {
  std::mutex mu;
  std::vector<std::string> lines;
  AuditLog::Report Report() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(line);
    };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mu);
    return lines;
  }
};

AuditRecord Numbered(int n) {
  AuditRecord r(AuditEvent::kLogin);
  r.result = n;
  return r;
}

TEST(AuditLogTest, OffRecordsNothing) {
  AuditLog log;
  EXPECT_FALSE(log.on());
  log.Record(Numbered(1));
  log.Flush();
  EXPECT_EQ(log.written(), 0u);
  EXPECT_EQ(log.dropped(), 0u);
}

TEST(AuditLogTest, AStalledSinkNeverHoldsARecordUp) {
  Lines lines;
  auto owned = std::make_unique<FakeSink>();
  FakeSink* sink = owned.get();
  AuditLog log;
  sink->Hold(true);
  log.Start(std::move(owned), 100, lines.Report());
  log.Record(Numbered(0));
  sink->WaitForCall(1);  // the writer holds record 0 and stands still
  auto started = std::chrono::steady_clock::now();
  for (int i = 1; i <= 150; ++i) log.Record(Numbered(i));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(log.dropped(), 50u);
  ASSERT_EQ(lines.Get().size(), 1u) << "said once, not once per record";
  EXPECT_EQ(lines.Get()[0],
            "WARNING:監査記録の書き込みが追いつかないため、記録を捨てています。(fake)");
  sink->Hold(false);
  log.Flush();
  EXPECT_EQ(log.written(), 101u);
  std::vector<AuditRecord> got = sink->got();
  ASSERT_EQ(got.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(*got[i].result, i) << "in order, the first ones kept";
  EXPECT_EQ(lines.Get().size(), 1u);
}

TEST(AuditLogTest, AFailingSinkIsSaidOnceAndItsRecoveryOnce) {
  Lines lines;
  auto owned = std::make_unique<FakeSink>();
  FakeSink* sink = owned.get();
  AuditLog log;
  sink->Fail(true);
  log.Start(std::move(owned), 100, lines.Report());
  for (int i = 0; i < 20; ++i) {
    log.Record(Numbered(i));
    log.Flush();
  }
  EXPECT_EQ(log.dropped(), 20u);
  EXPECT_EQ(log.written(), 0u);
  ASSERT_EQ(lines.Get().size(), 1u);
  EXPECT_EQ(lines.Get()[0],
            "WARNING:監査記録を書けませんでした。書けるようになるまで、記録は数えて捨てます。"
            "(fake: disk on fire)");
  sink->Fail(false);
  log.Record(Numbered(20));
  log.Flush();
  EXPECT_EQ(log.written(), 1u);
  ASSERT_EQ(lines.Get().size(), 2u);
  EXPECT_EQ(lines.Get()[1], "監査記録をまた書けるようになりました。(fake; 捨てた記録は20件)");
  // A new failure is said again.
  sink->Fail(true);
  log.Record(Numbered(21));
  log.Flush();
  EXPECT_EQ(lines.Get().size(), 3u);
  EXPECT_EQ(log.dropped(), 21u);
}

// A sink that takes its time over each record, into a list that outlives it.
class SlowSink : public AuditSink {
 public:
  explicit SlowSink(std::vector<int64_t>* got) : got_(got) {}
  size_t Write(const std::vector<AuditRecord>& records, std::string*) override {
    for (const AuditRecord& r : records) {
      std::this_thread::sleep_for(milliseconds(5));
      got_->push_back(*r.result);
    }
    return records.size();
  }
  std::string Name() const override { return "slow"; }

 private:
  std::vector<int64_t>* got_;
};

TEST(AuditLogTest, WhatIsQueuedIsWrittenBeforeTheLogEnds) {
  std::vector<int64_t> got;
  {
    AuditLog log;
    log.Start(std::make_unique<SlowSink>(&got), 100);
    for (int i = 0; i < 20; ++i) log.Record(Numbered(i));
  }  // 100 ms of writing were still to do here
  ASSERT_EQ(got.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(got[i], i);
}

// The transfers followed across calls, into a log whose sink keeps the records.
class TransferAuditTest : public ::testing::Test {
 protected:
  using Clock = TransferAudit::Clock;
  TransferAuditTest() {
    auto owned = std::make_unique<FakeSink>();
    sink_ = owned.get();
    log_.Start(std::move(owned));
  }
  std::vector<AuditRecord> Records() {
    log_.Flush();
    return sink_->got();
  }
  Clock::time_point T(int ms) { return t0_ + milliseconds(ms); }

  AuditLog log_;
  FakeSink* sink_;
  bool open_ = true;
  TransferAudit audit_{&log_, [this](const Socket&) { return open_; }};
  Clock::time_point t0_ = Clock::now();
  Socket socket_{7, 1234};
};

TEST_F(TransferAuditTest, AnUploadIsOneRecordWhenItsLastChunkLands) {
  audit_.UploadChunk(1, socket_, "u1", "peer-a", "docs/a.txt", 1, false, 1024, kTransferOk, T(0));
  audit_.UploadChunk(1, socket_, "u1", "peer-a", "docs/a.txt", 2, false, 1024, kTransferOk, T(100));
  // Another file on another connection meanwhile, of the same name for another user.
  audit_.UploadChunk(2, socket_, "u2", "peer-b", "docs/a.txt", 1, true, 5, kTransferOk, T(120));
  EXPECT_EQ(Records().size(), 1u);
  audit_.UploadChunk(1, socket_, "u1", "peer-a", "docs/a.txt", 3, true, 452, kTransferOk, T(250),
                     "abcd");
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(*got[0].user, "u2");
  EXPECT_EQ(*got[0].bytes, 5);
  const AuditRecord& r = got[1];
  EXPECT_EQ(r.event, AuditEvent::kUpload);
  EXPECT_EQ(*r.user, "u1");
  EXPECT_EQ(r.peer, "peer-a");
  EXPECT_EQ(*r.path, "docs/a.txt");
  EXPECT_EQ(*r.bytes, 2500);
  EXPECT_EQ(*r.result, kTransferOk);
  EXPECT_EQ(r.ms, 250);
  EXPECT_EQ(r.digest, "abcd");
  EXPECT_EQ(audit_.uploads(), 0u);
}

TEST_F(TransferAuditTest, AFailedChunkEndsItsUploadWithItsResult) {
  audit_.UploadChunk(1, socket_, "u1", "p", "a", 1, false, 1000, kTransferOk, T(0));
  audit_.UploadChunk(1, socket_, "u1", "p", "a", 2, false, 1000, kTransferFileFailed, T(10));
  // A first chunk that fails, and a chunk that continues nothing.
  audit_.UploadChunk(1, socket_, "u1", "p", "new/b", 1, true, 10, kTransferDirFailed, T(20));
  audit_.UploadChunk(1, socket_, "u1", "p", "c", 5, false, 10, kTransferFileFailed, T(30));
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(*got[0].result, kTransferFileFailed);
  EXPECT_EQ(*got[0].bytes, 1000) << "what was stored before the failure";
  EXPECT_EQ(*got[1].result, kTransferDirFailed);
  EXPECT_EQ(*got[1].bytes, 0);
  EXPECT_EQ(*got[2].path, "c");
  EXPECT_EQ(audit_.uploads(), 0u);
}

TEST_F(TransferAuditTest, GivenUpUploadsAreRecordedWithWhy) {
  audit_.UploadChunk(1, socket_, "u1", "p", "a", 1, false, 10, kTransferOk, T(0));
  audit_.UploadChunk(1, socket_, "u1", "p", "a", 1, false, 20, kTransferOk, T(5));
  audit_.UploadChunk(1, socket_, "u1", "p", "b", 1, false, 30, kTransferOk, T(5));
  audit_.Sweep(T(1000));
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].reason, "begun-again");
  EXPECT_EQ(*got[0].bytes, 10);

  audit_.Sweep(T(5) + kUploadIdleLimit);
  got = Records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].reason, "idle");
  EXPECT_EQ(got[2].reason, "idle");

  audit_.UploadChunk(3, socket_, "u1", "p", "c", 1, false, 40, kTransferOk, T(0));
  open_ = false;
  audit_.Sweep(T(10));
  got = Records();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].reason, "connection-closed");
  EXPECT_EQ(*got[3].result, kTransferFileFailed);
  EXPECT_EQ(*got[3].bytes, 40);
}

TEST_F(TransferAuditTest, ADownloadEndsWhenEveryByteWasServedInAnyOrder) {
  // The later part asked ahead first, over another connection.
  audit_.DownloadChunk("u1", "p2", "big", 1024, 1024, 2000, T(0));
  EXPECT_EQ(Records().size(), 0u);
  audit_.DownloadChunk("u1", "p1", "big", 0, 1024, 2000, T(40));
  // An empty file is whole at once.
  audit_.DownloadChunk("u1", "p1", "empty", 0, 0, 0, T(50));
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].event, AuditEvent::kDownload);
  EXPECT_EQ(*got[0].path, "big");
  EXPECT_EQ(*got[0].bytes, 2000) << "zeros past the end do not count";
  EXPECT_EQ(*got[0].result, kTransferOk);
  EXPECT_EQ(got[0].ms, 40);
  EXPECT_EQ(*got[1].bytes, 0);
  EXPECT_EQ(audit_.downloads(), 0u);
}

TEST_F(TransferAuditTest, AFailedOrAbandonedDownloadIsRecorded) {
  audit_.DownloadChunk("u1", "p", "a", 0, 100, 1000, T(0));
  audit_.DownloadFailed("u1", "p", "a", kTransferFileFailed, T(5));
  audit_.DownloadFailed("u1", "p", "missing", kTransferFileFailed, T(5));
  audit_.DownloadChunk("u1", "p", "b", 0, 100, 1000, T(0));
  audit_.DownloadChunk("u1", "p", "b", 100, 100, 1000, T(10));
  audit_.Sweep(T(10) + kDownloadIdle - milliseconds(1));
  EXPECT_EQ(Records().size(), 2u);
  audit_.Sweep(T(10) + kDownloadIdle);
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(*got[0].bytes, 100);
  EXPECT_EQ(*got[0].result, kTransferFileFailed);
  EXPECT_EQ(*got[1].path, "missing");
  EXPECT_EQ(got[2].reason, "incomplete");
  EXPECT_EQ(*got[2].bytes, 200);
}

// A download batch's requests for `name` (at the root of the area) of `size` bytes: `pos`, `len`.
ZKmd::zkSeqFileBuf64 Requests(const char* name, int64_t size,
                              const std::vector<std::pair<int64_t, int64_t>>& parts) {
  ZKmd::zkSeqFileBuf64 chunks;
  chunks.length(static_cast<CORBA::ULong>(parts.size()));
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    chunks[i].filePath = "\\";
    chunks[i].fileNm = name;
    chunks[i].bufPos = parts[i].first;
    chunks[i].bufUnitSize = parts[i].second;
    chunks[i].fileSize = size;
  }
  return chunks;
}

// Each chunk of `batch` served from `file`, zeros past its end, in pieces of at most `piece`.
void Serve(DownloadBatchAudit* batch, const ZKmd::zkSeqFileBuf64& chunks, const std::string& file,
           size_t piece) {
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    std::string data = file.substr(std::min<size_t>(file.size(), chunks[i].bufPos));
    data.resize(static_cast<size_t>(chunks[i].bufUnitSize), '\0');
    for (size_t at = 0; at < data.size(); at += piece) {
      batch->Data(i, at, data.data() + at, std::min(piece, data.size() - at));
    }
    batch->Served(i);
  }
}

// A download batch of `chunks` by "u1", opened and served from `file` in pieces of `piece`.
void Download(TransferAudit* audit, const ZKmd::zkSeqFileBuf64& chunks, const std::string& file,
              size_t piece) {
  DownloadBatchAudit batch;
  batch.Opened(audit, "u1", chunks, kTransferOk, 0);
  Serve(&batch, chunks, file, piece);
}

TEST_F(TransferAuditTest, ADownloadServedWholeInFileOrderCarriesItsDigest) {
  std::string file;
  for (int i = 0; i < 3000; ++i) file += static_cast<char>(i % 251);
  StreamDigest whole;
  whole.Update(file.data(), file.size());
  // The second batch, asked for ahead over another connection, is opened and served before the
  // first; its last chunk asks past the end of the file.
  const ZKmd::zkSeqFileBuf64 first = Requests("big", 3000, {{0, 1000}, {1000, 500}});
  const ZKmd::zkSeqFileBuf64 second = Requests("big", 3000, {{1500, 1000}, {2500, 1000}});
  DownloadBatchAudit a, b;
  a.Opened(&audit_, "u1", first, kTransferOk, 0);
  b.Opened(&audit_, "u1", second, kTransferOk, 0);
  Serve(&b, second, file, 300);
  Serve(&a, first, file, 128);
  // Asked again in part: as many bytes served as the file has, but no digest.
  Download(&audit_, Requests("again", 3000, {{0, 2000}, {1000, 2000}}), file, 4096);
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(*got[0].path, "big");
  EXPECT_EQ(*got[0].bytes, 3000);
  EXPECT_EQ(got[0].digest, DigestText(whole.Value()));
  EXPECT_EQ(*got[1].path, "again");
  EXPECT_EQ(*got[1].result, kTransferOk);
  EXPECT_EQ(got[1].digest, "");
}

TEST_F(TransferAuditTest, AFileAskedForWholeInOneChunkIsRecordedOnceServed) {
  const std::string file(3000, 'z');
  StreamDigest whole;
  whole.Update(file.data(), file.size());
  const ZKmd::zkSeqFileBuf64 small = Requests("small", 3000, {{0, 4096}});
  DownloadBatchAudit a;
  a.Opened(&audit_, "u1", small, kTransferOk, 0);
  EXPECT_EQ(audit_.downloads(), 0u) << "a whole file needs no following across calls";
  Serve(&a, small, file, 1000);
  // A file whose download is followed already: asking for it whole joins that download.
  Download(&audit_, Requests("part", 3000, {{1000, 1000}}), file, 1000);
  Download(&audit_, Requests("part", 3000, {{0, 3000}}), file, 1000);
  std::vector<AuditRecord> got = Records();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(*got[0].path, "small");
  EXPECT_EQ(*got[0].bytes, 3000);
  EXPECT_EQ(*got[0].result, kTransferOk);
  EXPECT_EQ(got[0].digest, DigestText(whole.Value()));
  EXPECT_EQ(*got[1].path, "part");
  EXPECT_EQ(*got[1].bytes, 3000);
  EXPECT_EQ(got[1].digest, "") << "bytes 1000 to 2000 were served twice";
  EXPECT_EQ(audit_.downloads(), 0u);
}

TEST(TransferAuditOffTest, NothingIsFollowedWhileTheTrailIsOff) {
  AuditLog log;
  TransferAudit audit(&log);
  audit.UploadChunk(1, Socket{}, "u1", "p", "a", 1, false, 10, kTransferOk,
                    TransferAudit::Clock::now());
  audit.DownloadChunk("u1", "p", "a", 0, 10, 100, TransferAudit::Clock::now());
  const ZKmd::zkSeqFileBuf64 chunks = Requests("a", 10, {{0, 10}});
  DownloadBatchAudit batch;
  batch.Opened(&audit, "u1", chunks, kTransferOk, 0);
  Serve(&batch, chunks, "0123456789", 10);
  EXPECT_EQ(audit.uploads(), 0u);
  EXPECT_EQ(audit.downloads(), 0u);
}

}  // namespace
}  // namespace zk
