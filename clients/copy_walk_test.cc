// The walks against a server that only records and answers as each test says, on a scratch
// folder: how uploads are cut into chunks (the process tests compare files end to end and cannot
// tell); that a download is under its name only once it is whole, and never when a batch of it
// failed, the file changed on the server meanwhile or the connection was lost; that a lost
// connection stops either walk with one report; that chunks of zeros come down as holes; and
// that leftovers of interrupted downloads are cleaned up. On the in-memory file system: names from
// the server that would land outside the destination, the transfer modes in either direction,
// and files that cannot be read or written.
#include "clients/copy_walk.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "idl/wire.h"
#include "platform/digest.h"
#include "platform/fs_memory.h"
#include "platform/process.h"
#include "platform/timetext.h"

namespace zk {
namespace {

// One chunk as sent: file name, chunk number, more to follow, data length.
using Sent = std::tuple<std::string, int, bool, size_t>;
using Batches = std::vector<std::vector<Sent>>;

const char kTime[] = "2020/01/02 03:04:05";

// Lists and serves `files`; records uploads; fails or throws at the call numbers it is given.
class FakeServer : public CopyServer {
 public:
  std::map<std::string, std::string> files;
  bool narrow = false;            // list as a server without the 64-bit operations
  int fail_at = 0;                // the transfer call (from 1) that answers 20 for its first chunk
  CORBA::Long fail_with = 20;     // ... or this result
  int throw_at = 0;               // the transfer call that raises TRANSIENT (the server is gone)
  int replaced_from = 0;          // from this download call on, files carry another time
  std::function<void()> on_call;  // runs at every transfer call, before anything else
  size_t piece = 300;             // download replies reach the walk in pieces of this size
  bool short_reply = false;       // download replies leave out their last chunk
  Batches uploads;
  std::vector<std::string> paths;               // path and name of each chunk uploaded
  std::map<std::string, std::string> received;  // the data uploaded, by name
  int calls = 0;
  size_t most_request_data = 0;  // the most data bytes a download request carried
  // A download request holding chunk `chunk` of file `name` answers 20 for it (`fail`) or raises
  // TRANSIENT (`lose`); one holding that chunk or a later one raises OBJ_ADAPTER (`closing`, a
  // server on its way down), or gives them another time (`renewed`, the file replaced): the same
  // request whichever connection it goes on.
  struct ChunkOf {
    std::string name;
    int chunk = 0;
    bool From(const ZKmd::zkStrctFileBuf64& c) const {
      return chunk > 0 && name == c.fileNm.in() && c.bufNo >= chunk;
    }
  } fail, lose, closing, renewed;
  FakeServer* second = nullptr;  // what Second() gives
  // Upload chunks of the files named here are answered with the result given, that many times
  // (what follows them in their batch is not taken): shared by the two connections' fakes.
  struct Refusal {
    CORBA::Long result = 20;
    int times = 1;
  };
  std::map<std::string, Refusal>* refuse = nullptr;
  bool resumes = false;          // answers Agreed as the server does
  int first_no = 0;              // the number of the first chunk asked for

  CopyServer* Second() override { return second; }
  bool ResumesDownloads() override { return resumes; }
  int64_t Agreed(const std::string&, const std::string& name, int64_t size, const std::string& upd,
                 int64_t length, const std::vector<Digest128>& blocks) override {
    const std::string& data = files[name];
    if (!resumes || size != static_cast<int64_t>(data.size()) || upd != kTime) return 0;
    int64_t agreed = 0;
    for (const Digest128& d : blocks) {
      const int64_t len = std::min(kResumeBlockBytes, length - agreed);
      if (d != DigestOfChunk(agreed, data.data() + agreed, static_cast<size_t>(len))) break;
      agreed += len;
    }
    return agreed;
  }

  std::vector<ListEntry> List(const std::string&, const std::string&) override {
    std::vector<ListEntry> out;
    for (const auto& f : files) {
      ListEntry e;
      e.name = f.first;
      e.size = narrow && f.second.size() > 100 ? -1 : static_cast<int64_t>(f.second.size());
      e.narrow = narrow;
      e.upd = kTime;
      out.push_back(e);
    }
    return out;
  }
  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                     UploadSource* source) override {
    if (CORBA::Long r = Call(index)) return r;
    std::vector<Sent> b;
    CORBA::Long r = 0;
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      // The data as it would go on the wire, in pieces; a chunk whose read failed is refused,
      // with what follows it, as a server refuses its number 0.
      std::string data(reinterpret_cast<const char*>(batch[i].fileBuf.get_buffer()),
                       batch[i].fileBuf.length());
      const size_t len = source->StreamedLength(i);
      bool read = true;
      for (size_t at = 0; read && at < len; at += kChunkPieceBytes) {
        std::vector<uint8_t> piece(std::min(kChunkPieceBytes, len - at));
        read = source->Read(i, at, piece.data(), piece.size());
        data.append(piece.begin(), piece.end());
      }
      if (!read) {
        *index = static_cast<CORBA::Long>(i + 1);
        r = 20;
        break;
      }
      auto refusal = refuse ? refuse->find(batch[i].fileNm.in()) : decltype(refuse->end()){};
      if (refuse && refusal != refuse->end() && refusal->second.times > 0) {
        --refusal->second.times;
        *index = static_cast<CORBA::Long>(i + 1);
        r = refusal->second.result;
        break;
      }
      b.emplace_back(batch[i].fileNm.in(), batch[i].bufNo, batch[i].nextBuf != 0, data.size());
      paths.push_back(std::string(batch[i].filePath.in()) + batch[i].fileNm.in());
      received[batch[i].fileNm.in()] += data;
    }
    uploads.push_back(b);
    return r;
  }
  CORBA::Long Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                       ChunkSink* sink) override {
    ZKmd::zkSeqFileBuf64 batch = requests;
    if (first_no == 0 && batch.length() > 0) first_no = batch[0].bufNo;
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      auto is = [&](const ChunkOf& c) {
        return c.name == batch[i].fileNm.in() && c.chunk == batch[i].bufNo;
      };
      if (is(lose)) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
      if (closing.From(batch[i])) throw CORBA::OBJ_ADAPTER(0, CORBA::COMPLETED_NO);
      if (is(fail)) {
        *index = static_cast<CORBA::Long>(i + 1);
        FeedChunks(20, ZKmd::zkSeqFileBuf64(), sink, piece);
        return 20;
      }
    }
    if (CORBA::Long r = Call(index)) {
      FeedChunks(r, ZKmd::zkSeqFileBuf64(), sink, piece);
      return r;
    }
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      most_request_data = std::max<size_t>(most_request_data, batch[i].fileBuf.length());
    }
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      ZKmd::zkStrctFileBuf64& c = batch[i];
      const std::string& data = files[c.fileNm.in()];
      c.fileSize = static_cast<CORBA::LongLong>(data.size());
      c.updDt = (replaced_from && calls >= replaced_from) || renewed.From(c) ? "2021/01/01 00:00:00"
                                                                              : kTime;
      c.crtDt = kTime;
      c.fileBuf.length(static_cast<CORBA::ULong>(c.bufUnitSize));
      for (CORBA::Long k = 0; k < c.bufUnitSize; ++k) {
        size_t at = static_cast<size_t>(c.bufPos + k);
        c.fileBuf[k] = at < data.size() ? static_cast<CORBA::Octet>(data[at]) : 0;
      }
    }
    if (short_reply) batch.length(batch.length() - 1);
    FeedChunks(0, batch, sink, piece);
    return 0;
  }

 private:
  CORBA::Long Call(CORBA::Long* index) {
    ++calls;
    if (on_call) on_call();
    *index = 0;
    if (calls == throw_at) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    if (calls == fail_at) {
      *index = 1;
      return fail_with;
    }
    return 0;
  }
};

// A console that keeps the lines of either stream, each ended by "\n".
CopyConsole Recorder(std::string* out, std::string* err) {
  CopyConsole c;
  c.out = [out](const std::string& s) { *out += s + "\n"; };
  c.err = [err](const std::string& s) { *err += s + "\n"; };
  return c;
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-walk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    console_ = Recorder(&out_, &err_);
    console_.progress = [this](const std::string& name, int64_t done, int64_t total) {
      progress_.emplace_back(name, done, total);
    };
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Put(const std::string& name, const std::string& data) {
    std::ofstream(dir_ + name, std::ios::binary) << data;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(dir_ + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Has(const std::string& name) { return std::filesystem::exists(dir_ + name); }
  // Everything in the local folder "dst".
  std::vector<std::string> Dst() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ + "dst")) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Uploads the one file `name` with a unit of 1 KB; the batches the server saw.
  Batches Upload(const std::string& name) {
    FakeServer server;
    CopyConsole quiet{[](const std::string&) {}, [](const std::string&) {}, nullptr};
    CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, quiet);
    EXPECT_EQ(kExitOk, walk.ToServer(dir_, name, ".\\"));
    EXPECT_EQ(1, walk.copied());
    return server.uploads;
  }
  int Download(CopyWalk* walk) { return walk->FromServer(".\\", "*.*", dir_ + "dst/"); }

  std::string dir_, out_, err_;
  CopyConsole console_;
  std::vector<std::tuple<std::string, int64_t, int64_t>> progress_;
};

TEST_F(WalkTest, FilesAreCutAtWholeUnitsAndTheLastChunkSaysSo) {
  Put("one", std::string(1024, 'x'));
  EXPECT_EQ(Upload("one"), (Batches{{Sent{"one", 1, false, 1024}}}));
  Put("two", std::string(2048, 'x'));
  EXPECT_EQ(Upload("two"), (Batches{{Sent{"two", 1, true, 1024}}, {Sent{"two", 2, false, 1024}}}));
  Put("over", std::string(1025, 'x'));
  EXPECT_EQ(Upload("over"), (Batches{{Sent{"over", 1, true, 1024}}, {Sent{"over", 2, false, 1}}}));
  Put("empty", "");
  EXPECT_EQ(Upload("empty"), (Batches{{Sent{"empty", 1, false, 0}}}));
}

// A reply whose data arrives in pieces that do not divide its chunks: every file is written whole
// from them, and no request carries (sends back) data.
TEST_F(WalkTest, DownloadsArriveInPiecesAndRequestsCarryNoData) {
  FakeServer server;
  server.piece = 77;
  std::string big(3000, 'b');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  server.files = {{"big", big}, {"small", "tiny"}};
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(Get("dst/big"), big);
  EXPECT_EQ(Get("dst/small"), "tiny");
  EXPECT_GE(server.calls, 3);
  EXPECT_EQ(server.most_request_data, 0u);
}

TEST_F(WalkTest, ADownloadIsUnderItsNameOnlyWholeWithItsTime) {
  FakeServer server;
  std::string data(5000, 'd');
  data[4999] = 'e';
  server.files = {{"f.bin", data}, {"small", "s"}};
  std::vector<bool> seen;  // whether f.bin was there at each request
  server.on_call = [&] { seen.push_back(Has("dst/f.bin")); };
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(std::vector<bool>(5, false), seen);
  EXPECT_EQ(data, Get("dst/f.bin"));
  EXPECT_EQ((std::vector<std::string>{"f.bin", "small"}), Dst());  // nothing else is left
  struct stat st;
  ASSERT_EQ(0, stat((dir_ + "dst/f.bin").c_str(), &st));
  int64_t want = 0;
  ASSERT_TRUE(ParseLocalTime(kTime, &want));
  EXPECT_EQ(want, st.st_mtime);
  EXPECT_EQ(2, walk.copied());
  EXPECT_FALSE(walk.failed());
  // The progress of the file, chunk by chunk, up to its size.
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(std::make_tuple(std::string(".\\f.bin"), int64_t{1024}, int64_t{5000}), progress_[0]);
  EXPECT_EQ(std::make_tuple(std::string(".\\f.bin"), int64_t{5000}, int64_t{5000}), progress_[4]);
}

TEST_F(WalkTest, AFailedBatchEndsItsFileWithoutATraceAndTheWalkGoesOn) {
  FakeServer server;
  server.files = {{"a.bin", std::string(5000, 'a')}, {"b.txt", "b"}};
  server.fail_at = 3;  // the third of a.bin's five chunks
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(".\\a.bin\n.\\b.txt\n", out_);
  EXPECT_EQ("ERROR:ダウンロードに失敗しました。(a.bin)\n", err_);
  EXPECT_EQ((std::vector<std::string>{"b.txt"}), Dst());
  // The rest of a.bin was not asked for: its batch and then b.txt's.
  EXPECT_EQ(4, server.calls);
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

// With a second connection, the later chunks of a file are asked for while the reply before is
// written. Whatever the replies say, the walk must read as it does with one connection: the same
// lines, files, counts and state, nothing left behind.
TEST_F(WalkTest, DownloadsAskedForAheadOnASecondConnectionEndAsWithOne) {
  struct Outcome {
    int result;
    std::string out, err;
    int32_t copied;
    bool failed, stopped;
    std::map<std::string, std::string> dst;  // name: length and hash
    int second_calls;
  };
  // What goes wrong, and where: "fail", "lose", "closing" or "renewed" (FakeServer), or nothing.
  struct Trouble {
    std::string kind;
    FakeServer::ChunkOf at;
  };
  auto run = [&](bool two, const Trouble& t) {
    std::filesystem::remove_all(dir_ + "dst");
    out_.clear();
    err_.clear();
    FakeServer server, second;
    std::string a(5000, 'a'), c(2500, 'c');
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>('a' + i % 26);
    server.files = {{"a.bin", a}, {"b.txt", "b"}, {"c.bin", c}};
    server.piece = second.piece = 500;
    for (FakeServer* f : {&server, &second}) {
      if (t.kind == "fail") f->fail = t.at;
      if (t.kind == "lose") f->lose = t.at;
      if (t.kind == "closing") f->closing = t.at;
      if (t.kind == "renewed") f->renewed = t.at;
    }
    second.files = server.files;
    if (two) server.second = &second;
    Outcome o;
    {
      CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
      o.result = Download(&walk);
      o.copied = walk.copied();
      o.failed = walk.failed();
      o.stopped = walk.stopped();
    }
    o.out = out_;
    o.err = err_;
    for (const std::string& name : Dst()) {  // its length and a hash, for short reports
      const std::string data = Get("dst/" + name);
      o.dst[name] = std::to_string(data.size()) + " " + std::to_string(std::hash<std::string>()(data));
    }
    o.second_calls = second.calls;
    return o;
  };
  for (const Trouble& t : {Trouble{}, Trouble{"fail", {"a.bin", 3}}, Trouble{"fail", {"a.bin", 2}},
                           Trouble{"fail", {"c.bin", 3}}, Trouble{"lose", {"a.bin", 4}},
                           Trouble{"lose", {"a.bin", 5}}, Trouble{"closing", {"a.bin", 2}},
                           Trouble{"closing", {"a.bin", 4}}, Trouble{"closing", {"c.bin", 2}},
                           Trouble{"renewed", {"a.bin", 3}}}) {
    SCOPED_TRACE(t.kind + " " + t.at.name + " " + std::to_string(t.at.chunk));
    const Outcome one = run(false, t);
    const Outcome two = run(true, t);
    EXPECT_EQ(one.result, two.result);
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(one.err, two.err);
    EXPECT_EQ(one.copied, two.copied);
    EXPECT_EQ(one.failed, two.failed);
    EXPECT_EQ(one.stopped, two.stopped);
    EXPECT_EQ(one.dst, two.dst);
    EXPECT_EQ(0, one.second_calls);
    EXPECT_GT(two.second_calls, 0) << "the second connection was not used";
  }
  // And with no trouble, every file came whole.
  const Outcome fine = run(true, Trouble{});
  EXPECT_EQ(3, fine.copied);
  EXPECT_EQ(std::string(2500, 'c'), Get("dst/c.bin"));
  std::string a = Get("dst/a.bin");
  ASSERT_EQ(5000u, a.size());
  for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(static_cast<char>('a' + i % 26), a[i]) << i;
}

// With a second connection, batches of whole files go out there while the walk reads the next;
// a file of more than one batch stays on the walk's own connection. Whatever the replies say, the
// walk reads as with one connection: the same lines, data, counts and state.
TEST_F(WalkTest, UploadsOfWholeFilesSentAheadOnASecondConnectionEndAsWithOne) {
  std::filesystem::create_directories(dir_ + "up/sub");
  for (int i = 0; i < 6; ++i) Put("up/a" + std::to_string(i), std::string(600, 'a' + i));
  for (int i = 0; i < 3; ++i) Put("up/sub/s" + std::to_string(i), std::string(600, 'p' + i));
  Put("up/big", std::string(3000, 'B'));
  struct Outcome {
    std::string out, err;
    std::map<std::string, std::string> received;
    int copied;
    bool failed;
  };
  auto run = [&](bool two, std::vector<std::string>* sorted_err) {
    std::map<std::string, FakeServer::Refusal> refuse = {
        {"a3", {20, 9}},                 // refused each time
        {"s1", {kTransferCorrupt, 1}},   // arrives wrong once, then right
        {"a5", {kTransferCorrupt, 2}}};  // wrong twice: not copied
    FakeServer main, second;
    main.refuse = second.refuse = &refuse;
    if (two) main.second = &second;
    out_.clear();
    err_.clear();
    Outcome o;
    {
      CopyWalk walk(FileSystem::Default(), &main, CopyMode::kReplace, 1024, console_);
      EXPECT_EQ(kExitOk, walk.ToServer(dir_ + "up/", "*.*", ".\\"));
      o.copied = walk.copied();
      o.failed = walk.failed();
    }
    o.out = out_;
    std::istringstream lines(err_);
    for (std::string line; std::getline(lines, line);) sorted_err->push_back(line);
    std::sort(sorted_err->begin(), sorted_err->end());
    o.received = main.received;
    for (const auto& f : second.received) {
      EXPECT_EQ(0u, o.received.count(f.first)) << f.first;
      o.received[f.first] += f.second;
    }
    if (two) {
      EXPECT_FALSE(second.uploads.empty());
      for (const auto& b : second.uploads) {
        for (const Sent& s : b) {
          EXPECT_EQ(1, std::get<1>(s)) << std::get<0>(s);
          EXPECT_FALSE(std::get<2>(s)) << std::get<0>(s);
        }
      }
    }
    return o;
  };
  std::vector<std::string> err_one, err_two;
  const Outcome one = run(false, &err_one);
  const Outcome two = run(true, &err_two);
  EXPECT_EQ(one.out, two.out);
  EXPECT_EQ(err_one, err_two);
  EXPECT_EQ(one.received, two.received);
  EXPECT_EQ(one.copied, two.copied);
  EXPECT_EQ(one.failed, two.failed);
  // What either run must have done: a3 refused, s1 sent again, a5 given up, the rest copied.
  EXPECT_EQ((std::vector<std::string>{
                "ERROR:もう一度転送したデータも一致しなかったため、コピーできませんでした。(a5)",
                "ERROR:アップロードに失敗しました。(a3)",
                "WARNING:転送したデータが一致しなかったため、もう一度転送しました。(s1)"}),
            err_two);
  EXPECT_EQ(8, two.copied);
  EXPECT_TRUE(two.failed);
  EXPECT_EQ(std::string(600, 'q'), two.received.at("s1"));
  EXPECT_EQ(std::string(3000, 'B'), two.received.at("big"));
}

TEST_F(WalkTest, AFileReplacedOnTheServerWhileItIsReadIsNotWritten) {
  FakeServer server;
  server.files = {{"a.bin", std::string(3000, 'a')}};
  server.replaced_from = 2;
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  Download(&walk);
  EXPECT_EQ("ERROR:ダウンロードに失敗しました。(a.bin)\n", err_);
  EXPECT_TRUE(Dst().empty());
  EXPECT_TRUE(walk.failed());
}

TEST_F(WalkTest, ALostConnectionStopsEitherWalkWithOneReport) {
  FakeServer server;
  server.files = {{"a.bin", std::string(5000, 'a')}, {"b.bin", std::string(5000, 'b')}};
  server.throw_at = 2;
  CopyWalk down(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitFail, Download(&down));
  EXPECT_EQ(2, server.calls);
  EXPECT_EQ(".\\a.bin\n", out_);
  EXPECT_EQ(0u, err_.find("CORBA Exception: "));
  EXPECT_EQ(err_.size() - 1, err_.find('\n')) << err_;  // one line
  EXPECT_TRUE(Dst().empty());
  EXPECT_TRUE(down.stopped());

  // The same on the way up: nothing more is sent after the report.
  std::filesystem::create_directory(dir_ + "up");
  Put("up/a.bin", std::string(5000, 'a'));
  Put("up/b.bin", std::string(5000, 'b'));
  FakeServer up_server;
  up_server.throw_at = 2;
  err_.clear();
  CopyWalk up(FileSystem::Default(), &up_server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitFail, up.ToServer(dir_ + "up/", "*.*", ".\\"));
  EXPECT_EQ(2, up_server.calls);
  EXPECT_EQ(err_.size() - 1, err_.find('\n')) << err_;
  EXPECT_EQ(0, up.copied());
}

TEST_F(WalkTest, AnUploadWhoseChunkFailedSendsNoMoreOfIt) {
  std::filesystem::create_directory(dir_ + "up");
  Put("up/a.bin", std::string(5000, 'a'));
  Put("up/b.bin", std::string(100, 'b'));
  FakeServer server;
  server.fail_at = 2;
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, walk.ToServer(dir_ + "up/", "*.*", ".\\"));
  EXPECT_EQ("ERROR:アップロードに失敗しました。(a.bin)\n", err_);
  // a.bin's first chunk, its failed second, then b.bin; a.bin's last three are never read.
  EXPECT_EQ((Batches{{Sent{"a.bin", 1, true, 1024}}, {Sent{"b.bin", 1, false, 100}}}),
            server.uploads);
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

TEST_F(WalkTest, AnUploadRefusedForTheStorageLimitSaysSo) {
  std::filesystem::create_directory(dir_ + "up");
  Put("up/a.bin", std::string(100, 'a'));
  FakeServer server;
  server.fail_at = 1;
  server.fail_with = kTransferQuotaFull;
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  walk.ToServer(dir_ + "up/", "*.*", ".\\");
  EXPECT_EQ("ERROR:格納ディレクトリの容量制限に達したため、アップロードできませんでした。(a.bin)\n",
            err_);
  EXPECT_EQ(0, walk.copied());
  EXPECT_TRUE(walk.failed());
}

// A local file replaced (renamed over) while it is being sent goes up whole as it was when it was
// opened: neither the rest of a chunk being sent nor the chunks of later batches come from the
// file that took its place.
TEST_F(WalkTest, AnUploadReadsOnlyTheFileItOpenedEvenWhenItIsReplacedMidway) {
  std::filesystem::create_directory(dir_ + "up");
  std::string old_data(700 << 10, 'a');
  for (size_t i = 0; i < old_data.size(); i += 4096) old_data[i] = static_cast<char>('0' + i % 7);
  Put("up/a.bin", old_data);
  Put("new.bin", std::string(700 << 10, 'b'));
  FakeServer server;
  server.on_call = [&] {
    if (server.calls == 1) {
      ASSERT_EQ(0, std::rename((dir_ + "new.bin").c_str(), (dir_ + "up/a.bin").c_str()));
    }
  };
  // Chunks of 300 KiB, 300 KiB and 100 KiB: the first two are read while sent, after the rename.
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 300 << 10, console_);
  EXPECT_EQ(kExitOk, walk.ToServer(dir_ + "up/", "*.*", ".\\"));
  EXPECT_EQ(3u, server.uploads.size());
  EXPECT_TRUE(server.received["a.bin"] == old_data) << "the upload mixed in the new file";
  EXPECT_EQ(1, walk.copied());
  EXPECT_EQ("", err_);
}

TEST_F(WalkTest, ZerosComeDownAsHolesAndTheFileGetsItsLength) {
  FakeServer server;
  std::string data(3 << 20, '\0');
  data[(3 << 20) / 2] = 'm';
  server.files = {{"sparse", data}, {"tail", std::string(2 << 20, '\0')}};
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1 << 20, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(data, Get("dst/sparse"));
  EXPECT_EQ(std::string(2 << 20, '\0'), Get("dst/tail"));
  struct stat st;
  ASSERT_EQ(0, stat((dir_ + "dst/sparse").c_str(), &st));
  EXPECT_LT(st.st_blocks * 512, 2 << 20) << "zeros were written (one chunk holds data)";
}

// Pieces of zeros inside a chunk and at its end are holes; the file still gets every byte and
// its full length.
TEST_F(WalkTest, ZeroPiecesInsideAChunkStayHoles) {
  FakeServer server;
  server.piece = 64 << 10;
  std::string data(1 << 20, '\0');
  std::fill(data.begin(), data.begin() + (64 << 10), 'x');
  std::fill(data.begin() + (960 << 10), data.begin() + (1000 << 10), 'y');
  server.files = {{"holes", data}};
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1 << 20, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(data, Get("dst/holes"));
  struct stat st;
  ASSERT_EQ(0, stat((dir_ + "dst/holes").c_str(), &st));
  EXPECT_LT(st.st_blocks * 512, 512 << 10) << "zero pieces were written";
}

// A reply with fewer chunks than were asked for is not written at all, not even its first chunks.
TEST_F(WalkTest, AReplyMissingAChunkWritesNothing) {
  FakeServer server;
  server.short_reply = true;
  server.files = {{"a", "aaa"}, {"b", "bbb"}};
  std::vector<std::vector<std::string>> seen;  // the folder at each request
  server.on_call = [&] {
    if (Has("dst")) seen.push_back(Dst());
  };
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ("ERROR:ダウンロードに失敗しました。()\n", err_);
  EXPECT_TRUE(!Has("dst") || Dst().empty());
  EXPECT_EQ(0, walk.copied());
  EXPECT_TRUE(walk.failed());
}

TEST_F(WalkTest, ALargeFileFromAServerWithoutTheWideListingIsReportedNotCopied) {
  FakeServer server;
  server.narrow = true;  // lists sizes over 100 bytes as -1, as such a server lists 2 GiB
  server.files = {{"big.iso", std::string(200, 'x')}, {"ok.txt", "ok"}};
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  EXPECT_EQ(".\\ok.txt\n", out_);
  EXPECT_EQ("ERROR:サーバが2GB以上のファイルに対応していないため、コピーできません。(.\\big.iso)\n",
            err_);
  EXPECT_EQ((std::vector<std::string>{"ok.txt"}), Dst());
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

TEST_F(WalkTest, LeftoversOfInterruptedDownloadsAreRemovedWhenTheirProcessIsGone) {
  // A process id that is not in use, and one that is (this test's parent).
  int dead = 4194000;
  while (ProcessExists(dead)) --dead;
  std::filesystem::create_directory(dir_ + "dst");
  const std::string gone = DownloadTempName(dead, 1), alive = DownloadTempName(getppid(), 1);
  Put("dst/" + gone, "partial");
  Put("dst/" + alive, "partial");
  Put("dst/.zkcp-12x-1.part", "a file of the user's");
  FakeServer server;
  server.files = {{"f", "f"}};
  CopyWalk walk(FileSystem::Default(), &server, CopyMode::kSkip, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&walk));
  std::vector<std::string> kept = {alive, ".zkcp-12x-1.part", "f"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, Dst());

  int pid = 0;
  EXPECT_TRUE(IsDownloadTempName(".zkcp-123-45.part", &pid));
  EXPECT_EQ(123, pid);
  for (const char* not_ours : {".zkcp--1.part", ".zkcp-1-.part", ".zkcp-1.part", "zkcp-1-2.part",
                               ".zkcp-1-2.part.x", ".zkcp-0-2.part"}) {
    EXPECT_FALSE(IsDownloadTempName(not_ours, &pid)) << not_ours;
  }
}

TEST_F(WalkTest, AStoppedDownloadIsContinuedByTheNextRunOfTheSameFile) {
  std::string data(10240, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
  const std::string part = ResumableTempName("big", 10240, kTime);
  FakeServer lost;
  lost.files = {{"big", data}};
  lost.resumes = true;
  lost.lose = {"big", 4};  // the connection is lost at the fourth chunk of 1 KB
  CopyWalk first(FileSystem::Default(), &lost, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitFail, Download(&first));
  EXPECT_EQ(std::vector<std::string>{part}, Dst());
  EXPECT_EQ(data.substr(0, 3072), Get("dst/" + part));

  // The next run asks for the fourth chunk on, and the file is whole.
  FakeServer server;
  server.files = {{"big", data}};
  server.resumes = true;
  progress_.clear();
  CopyWalk next(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&next));
  EXPECT_EQ(4, server.first_no);
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(4096, std::get<1>(progress_.front()));
  EXPECT_EQ(std::vector<std::string>{"big"}, Dst());
  EXPECT_TRUE(Get("dst/big") == data);

  // What another run holds is left to it; one of another version of the file is removed.
  std::filesystem::remove(dir_ + "dst/big");
  Put("dst/" + part, data.substr(0, 5000));
  const std::string older = ResumableTempName("big", 999, kTime);
  Put("dst/" + older, "an earlier version");
  std::unique_ptr<FileSystem::File> held =
      FileSystem::Default()->Open(dir_ + "dst/" + part, FileSystem::OpenMode::kWrite);
  ASSERT_TRUE(held && held->Lock());
  server.first_no = 0;
  CopyWalk beside(FileSystem::Default(), &server, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, Download(&beside));
  EXPECT_EQ(1, server.first_no);
  std::vector<std::string> left = {"big", part};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, Dst());
  EXPECT_TRUE(Get("dst/big") == data);
  EXPECT_EQ(data.substr(0, 5000), Get("dst/" + part));

  std::string key;
  EXPECT_TRUE(IsResumableTempName(part, &key));
  int pid = 0;
  EXPECT_FALSE(IsResumableTempName(DownloadTempName(123, 4), &key));
  EXPECT_FALSE(IsDownloadTempName(part, &pid));
  EXPECT_FALSE(IsResumableTempName(part.substr(1), &key));
}

// The in-memory file system, where reads of one file (from a given offset on), or writes beyond a
// file's first KB, fail.
class FaultyFileSystem : public MemoryFileSystem {
 public:
  std::string unreadable;
  int64_t unreadable_from = 0;
  bool fail_later_writes = false;

  using MemoryFileSystem::Open;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) override {
    std::unique_ptr<File> file = MemoryFileSystem::Open(path, mode, status);
    if (!file) return nullptr;
    return std::unique_ptr<File>(new FaultyFile(this, path == unreadable, std::move(file)));
  }

 private:
  class FaultyFile : public File {
   public:
    FaultyFile(FaultyFileSystem* fs, bool unreadable, std::unique_ptr<File> file)
        : fs_(fs), unreadable_(unreadable), file_(std::move(file)) {}
    FsStatus Stat(DirEntry* out) override { return file_->Stat(out); }
    FsStatus ReadAt(int64_t offset, size_t len, void* buf, size_t* got) override {
      if (unreadable_ && offset + static_cast<int64_t>(len) > fs_->unreadable_from) {
        return FsStatus::Failed(FsError::kOther);
      }
      return file_->ReadAt(offset, len, buf, got);
    }
    FsStatus WriteAt(int64_t offset, const void* data, size_t len) override {
      if (fs_->fail_later_writes && offset >= 1024) return FsStatus::Failed(FsError::kOther);
      return file_->WriteAt(offset, data, len);
    }
    FsStatus Close() override { return file_->Close(); }
    FsStatus Lock() override { return file_->Lock(); }

   private:
    FaultyFileSystem* fs_;
    bool unreadable_;
    std::unique_ptr<File> file_;
  };
};

class MemoryWalkTest : public ::testing::Test {
 protected:
  MemoryWalkTest() : console_(Recorder(&out_, &err_)) { EXPECT_TRUE(ParseLocalTime(kTime, &t_)); }

  // The names in directory `dir`, in search order.
  std::vector<std::string> Names(const std::string& dir) {
    std::vector<DirEntry> found;
    fs_.Search(dir, "*", &found);
    std::vector<std::string> names;
    for (const DirEntry& e : found) names.push_back(e.name);
    return names;
  }

  FaultyFileSystem fs_;
  FakeServer server_;
  std::string out_, err_;
  CopyConsole console_;
  int64_t t_ = 0;  // kTime
};

TEST_F(MemoryWalkTest, ServerNamesThatWouldLandElsewhereAreRefused) {
  server_.files = {{".", "x"}, {"..", "x"}, {"../up", "x"}, {"a/b", "x"}, {"ok", "k"}};
  fs_.AddDir("/w");
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, walk.FromServer(".\\", "*.*", "/w/dst/"));
  EXPECT_EQ(".\\ok\n", out_);
  const std::string failed = "ERROR:ダウンロードに失敗しました。(";
  EXPECT_EQ(failed + ".)\n" + failed + "..)\n" + failed + "../up)\n" + failed + "a/b)\n", err_);
  EXPECT_EQ((std::vector<std::string>{"dst"}), Names("/w"));
  EXPECT_EQ((std::vector<std::string>{"ok"}), Names("/w/dst"));
  EXPECT_EQ("k", fs_.Content("/w/dst/ok"));
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

TEST_F(MemoryWalkTest, EachModeChoosesItsFilesOnTheWayDown) {
  // Names are matched without regard to case; "older" and "newer" have the sizes of theirs.
  struct Case {
    CopyMode mode;
    const char* printed;
  } cases[] = {{CopyMode::kSkip, ".\\fresh\n"},
               {CopyMode::kUpdate, ".\\fresh\n.\\older\n"},
               {CopyMode::kReplace, ".\\fresh\n.\\keep\n.\\newer\n.\\older\n"}};
  for (const Case& c : cases) {
    FaultyFileSystem fs;
    fs.AddFile("/dst/KEEP", "kkkk", t_);
    fs.AddFile("/dst/older", "oooo", t_ - 100);
    fs.AddFile("/dst/newer", "nnnn", t_ + 100);
    FakeServer server;
    server.files = {{"keep", "KEEP"}, {"older", "OLDR"}, {"newer", "NEWR"}, {"fresh", "f"}};
    out_.clear();
    CopyWalk walk(&fs, &server, c.mode, 1024, console_);
    EXPECT_EQ(kExitOk, walk.FromServer(".\\", "*.*", "/dst/"));
    EXPECT_EQ(c.printed, out_);
    EXPECT_EQ(c.mode == CopyMode::kSkip ? "oooo" : "OLDR", fs.Content("/dst/older"));
    EXPECT_EQ(c.mode == CopyMode::kReplace ? "NEWR" : "nnnn", fs.Content("/dst/newer"));
    EXPECT_EQ("kkkk", fs.Content("/dst/KEEP"));
  }
  EXPECT_EQ("", err_);
}

TEST_F(MemoryWalkTest, EachModeChoosesItsFilesOnTheWayUp) {
  struct Case {
    CopyMode mode;
    std::vector<std::string> sent;
  } cases[] = {{CopyMode::kSkip, {".\\fresh"}},
               {CopyMode::kUpdate, {".\\fresh", ".\\newer"}},
               {CopyMode::kReplace, {".\\fresh", ".\\keep", ".\\newer"}}};
  fs_.AddFile("/up/keep", "kkkk", t_);
  fs_.AddFile("/up/newer", "nnnn", t_ + 100);
  fs_.AddFile("/up/fresh", "f", t_);
  for (const Case& c : cases) {
    FakeServer server;  // lists its files with kTime
    server.files = {{"KEEP", "KEEP"}, {"newer", "NEWR"}};
    CopyWalk walk(&fs_, &server, c.mode, 1024, console_);
    EXPECT_EQ(kExitOk, walk.ToServer("/up/", "*.*", ".\\"));
    EXPECT_EQ(c.sent, server.paths);
    EXPECT_EQ(static_cast<int32_t>(c.sent.size()), walk.copied());
  }
  EXPECT_EQ("", err_);
}

TEST_F(MemoryWalkTest, AnUploadGoesIntoSubdirectoriesAndReportsWhatItCannotSend) {
  fs_.AddFile("/up/sub/inner", "i");
  fs_.AddFile("/up/a\\b", "x");
  fs_.AddFile("/up/gone", "g");
  fs_.AddFile("/up/top", "t");
  fs_.unreadable = "/up/gone";
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, walk.ToServer("/up/", "*.*", ".\\"));
  EXPECT_EQ("/up/gone\n/up/sub/inner\n/up/top\n", out_);
  EXPECT_EQ(
      "ERROR:名前に「\\」を含むためコピーできません。(/up/a\\b)\n"
      "WARNING:ファイルを開けませんでした。\n",
      err_);
  EXPECT_EQ((std::vector<std::string>{".\\sub\\inner", ".\\top"}), server_.paths);
  EXPECT_EQ(2, walk.copied());
  EXPECT_EQ(1, walk.unreadable());
  EXPECT_TRUE(walk.failed());
}

TEST_F(MemoryWalkTest, ADownloadThatCannotBeWrittenLeavesNothingBehind) {
  server_.files = {{"big", std::string(3000, 'b')}, {"small", "s"}};
  fs_.fail_later_writes = true;  // the first chunk of each file is written, no later one
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 1024, console_);
  EXPECT_EQ(kExitOk, walk.FromServer(".\\", "*.*", "/dst/"));
  EXPECT_EQ("ERROR:ファイル書き込みに失敗しました。(big)\n", err_);
  EXPECT_EQ((std::vector<std::string>{"small"}), Names("/dst"));
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

// A write that fails in the middle of a chunk stops the writing of the batch: the file is not
// left behind, nor are the files after it in the batch; those before it are whole.
TEST_F(MemoryWalkTest, AWriteFailingMidChunkLeavesNothingOfItsBatchAfterIt) {
  server_.files = {{"a", std::string(100, 'a')}, {"b", std::string(3000, 'b')}, {"c", "c"}};
  fs_.fail_later_writes = true;  // b's piece at 1200 fails
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 64 << 10, console_);
  EXPECT_EQ(kExitOk, walk.FromServer(".\\", "*.*", "/dst/"));
  EXPECT_EQ(1, server_.calls);
  EXPECT_EQ("ERROR:ファイル書き込みに失敗しました。(b)\n", err_);
  EXPECT_EQ((std::vector<std::string>{"a"}), Names("/dst"));
  EXPECT_EQ(std::string(100, 'a'), fs_.Content("/dst/a"));
  EXPECT_EQ(1, walk.copied());
  EXPECT_TRUE(walk.failed());
}

// Bytes that differ from piece to piece, so that a piece read from the wrong place shows.
std::string Pattern(size_t len, char salt) {
  std::string data(len, '\0');
  for (size_t i = 0; i < len; ++i) data[i] = static_cast<char>(salt + (i / 1000) % 91);
  return data;
}

// A file whose read fails in the middle of a chunk that is read while it is sent: it counts as
// unreadable, nothing of it is stored, and the files after it in the batch are sent again.
TEST_F(MemoryWalkTest, AReadFailingWhileSentMakesItsFileUnreadableAndTheRestGoesOn) {
  const std::string c = Pattern(2 << 20, 'c');
  fs_.AddFile("/up/a", "aaa");
  fs_.AddFile("/up/b", Pattern(1 << 20, 'b'));
  fs_.AddFile("/up/c", c);
  fs_.AddFile("/up/d", "d");
  fs_.unreadable = "/up/b";
  fs_.unreadable_from = 600 << 10;  // b's third piece
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 4 << 20, console_);
  EXPECT_EQ(kExitOk, walk.ToServer("/up/", "*.*", ".\\"));
  EXPECT_EQ("/up/a\n/up/b\n/up/c\n/up/d\n", out_);
  EXPECT_EQ("WARNING:ファイルを開けませんでした。\n", err_);
  EXPECT_EQ(
      (Batches{{Sent{"a", 1, false, 3}}, {Sent{"c", 1, false, c.size()}, Sent{"d", 1, false, 1}}}),
      server_.uploads);
  EXPECT_EQ(c, server_.received["c"]);
  EXPECT_EQ(0u, server_.received.count("b"));
  EXPECT_EQ(3, walk.copied());
  EXPECT_EQ(1, walk.unreadable());
  EXPECT_TRUE(walk.failed());
}

// The same in a later chunk of a file of several batches: the chunks after it are not read.
TEST_F(MemoryWalkTest, AReadFailingInALaterChunkDropsTheRestOfItsFile) {
  const std::string big = Pattern(3 << 20, 'g');
  fs_.AddFile("/up/big", big);
  fs_.AddFile("/up/z", "z");
  fs_.unreadable = "/up/big";
  fs_.unreadable_from = (3 << 20) / 2;
  CopyWalk walk(&fs_, &server_, CopyMode::kReplace, 1 << 20, console_);
  EXPECT_EQ(kExitOk, walk.ToServer("/up/", "*.*", ".\\"));
  EXPECT_EQ("WARNING:ファイルを開けませんでした。\n", err_);
  EXPECT_EQ((Batches{{Sent{"big", 1, true, 1 << 20}}, {}, {Sent{"z", 1, false, 1}}}),
            server_.uploads);
  EXPECT_EQ(big.substr(0, 1 << 20), server_.received["big"]);
  EXPECT_EQ(1, walk.copied());
  EXPECT_EQ(1, walk.unreadable());
}

}  // namespace
}  // namespace zk
