// The copy walks against an in-memory server and a scratch local directory: how uploads are cut
// into batches, and failing or hostile server answers that zkcp's tests cannot stage.
#include "clients/copy_walk.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/timetext.h"

namespace zk {
namespace {

// A server area kept in memory: wire paths ("docs\a.txt", no leading ".\") to contents.
class FakeServer : public CopyServer {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, std::string> times;
  std::set<std::string> dirs;
  std::vector<CORBA::ULong> batch_chunks;  // chunks per request
  std::vector<int64_t> batch_bytes;        // file data per request
  std::string fail_list;                   // a directory whose listing throws
  std::string fail_file;                   // a file whose chunks fail with 20

  static std::string Norm(std::string p) {
    if (p.compare(0, 2, ".\\") == 0) p.erase(0, 2);
    while (!p.empty() && p[0] == '\\') p.erase(0, 1);
    if (p == ".") p.clear();
    return p;
  }
  void Put(const std::string& path, const std::string& data, const std::string& upd) {
    files[path] = data;
    times[path] = upd;
    for (size_t s = path.find('\\'); s != std::string::npos; s = path.find('\\', s + 1)) {
      dirs.insert(path.substr(0, s + 1));
    }
  }

  std::vector<ListEntry> List(const std::string& dir, const std::string& mask) override {
    std::string d = Norm(dir);
    if (!fail_list.empty() && d == fail_list) throw CORBA::TRANSIENT();
    std::map<std::string, ListEntry> found;
    for (const auto& f : files) {
      if (f.first.compare(0, d.size(), d) != 0) continue;
      std::string rest = f.first.substr(d.size());
      size_t s = rest.find('\\');
      std::string name = rest.substr(0, s);
      if (!WildcardMatch(mask, name)) continue;
      if (s == std::string::npos) {
        found[name] = {name, false, static_cast<int64_t>(f.second.size()), times[f.first]};
      } else {
        found[name] = {name, true, 0, "2020/01/01 00:00:00"};
      }
    }
    std::vector<ListEntry> out;
    for (auto& e : found) out.push_back(e.second);  // std::map: byte order, as "nm"
    return out;
  }

  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) override {
    Record(batch, true);
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      *index = static_cast<CORBA::Long>(i + 1);
      const auto& c = batch[i];
      std::string key = Norm(std::string(c.filePath.in()) + c.fileNm.in());
      if (key == fail_file || (c.bufNo != 1 && !files.count(key))) return 20;
      std::string data(reinterpret_cast<const char*>(c.fileBuf.get_buffer()), c.fileBuf.length());
      if (c.bufNo == 1) {
        Put(key, data, "");
      } else {
        files[key] += data;
      }
      if (!c.nextBuf) times[key] = c.updDt.in();
    }
    *index = 0;
    return 0;
  }

  CORBA::Long Download(ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) override {
    Record(batch, false);
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      *index = static_cast<CORBA::Long>(i + 1);
      auto& c = batch[i];
      std::string key = Norm(std::string(c.filePath.in()) + c.fileNm.in());
      if (key == fail_file || !files.count(key)) return 20;
      const std::string& data = files[key];
      c.fileSize = static_cast<CORBA::Long>(data.size());
      c.updDt = times[key].c_str();
      c.crtDt = times[key].c_str();
      c.fileBuf.length(c.bufUnitSize);
      for (CORBA::Long k = 0; k < c.bufUnitSize; ++k) {
        size_t at = static_cast<size_t>(c.bufPos + k);
        c.fileBuf[k] = at < data.size() ? static_cast<CORBA::Octet>(data[at]) : 0;
      }
    }
    *index = 0;
    return 0;
  }

 private:
  void Record(const ZKmd::zkSeqFileBuf& batch, bool upload) {
    batch_chunks.push_back(batch.length());
    int64_t bytes = 0;
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      bytes += upload ? batch[i].fileBuf.length() : batch[i].bufUnitSize;
    }
    batch_bytes.push_back(bytes);
  }
};

class CopyWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-walk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = std::string(tmpl) + "/";
    console_.out = [this](const std::string& s) { out_.push_back(s); };
    console_.err = [this](const std::string& s) { err_.push_back(s); };
  }
  void TearDown() override { system(("rm -rf '" + root_ + "'").c_str()); }

  void Write(const std::string& rel, const std::string& data, int64_t mtime = 1500000000) {
    std::string path = root_ + rel;
    FileSystem::Default()->MakeDirs(path.substr(0, path.find_last_of('/')));
    std::ofstream(path, std::ios::binary) << data;
    FileSystem::Default()->SetWriteTime(path, mtime);
  }
  std::string Read(const std::string& rel) {
    std::ifstream in(root_ + rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
    return s;
  }
  CopyWalk Walk(CopyMode mode = CopyMode::kSkip, int64_t unit = 1024) {
    return CopyWalk(FileSystem::Default(), &server_, mode, unit, console_);
  }

  std::string root_;
  FakeServer server_;
  CopyConsole console_;
  std::vector<std::string> out_, err_;
};

TEST_F(CopyWalkTest, UploadsATreeInUnitSizedBatches) {
  Write("data/a.bin", Bytes(2500), 1600000000);
  Write("data/empty", "");
  Write("data/sub/deep/x.txt", "deep");
  CopyWalk walk = Walk();
  EXPECT_EQ(walk.ToServer(root_, "data", "backup\\"), kWalkOk);
  EXPECT_TRUE(server_.files["backup\\data\\a.bin"] == Bytes(2500));
  EXPECT_EQ(server_.files["backup\\data\\empty"], "");
  EXPECT_EQ(server_.files["backup\\data\\sub\\deep\\x.txt"], "deep");
  EXPECT_EQ(server_.times["backup\\data\\a.bin"], FormatLocalTime(1600000000));
  EXPECT_EQ(walk.copied(), 3);
  EXPECT_EQ(walk.unreadable(), 0);
  EXPECT_TRUE(err_.empty());
  std::vector<std::string> want = {root_ + "data/a.bin", root_ + "data/empty",
                                   root_ + "data/sub/deep/x.txt"};
  EXPECT_EQ(out_, want);
  for (int64_t b : server_.batch_bytes) EXPECT_LE(b, 1024);
  // 1024, 1024, then 452 + the empty file share a batch; the subdirectory gets its own.
  std::vector<CORBA::ULong> chunks = {1, 1, 2, 1};
  EXPECT_EQ(server_.batch_chunks, chunks);
}

TEST_F(CopyWalkTest, ListingFailureStopsTheLevelAndItsParents) {
  Write("d/a/x", "x");
  Write("d/b/y", "y");
  Write("d/z", "z");
  server_.fail_list = "d\\a\\";
  CopyWalk walk = Walk();
  EXPECT_EQ(walk.ToServer(root_, "d", "\\"), kWalkFailed);
  EXPECT_EQ(err_, std::vector<std::string>{"ファイルリストの取得に失敗しました。(\\d\\a\\)"});
  EXPECT_EQ(server_.files.count("d\\b\\y"), 0u);
  EXPECT_EQ(server_.files.count("d\\z"), 0u);
}

TEST_F(CopyWalkTest, ListedNamesThatWouldLeaveTheDestinationAreRefused) {
  server_.Put("../escaped", "x", FormatLocalTime(1600000000));
  server_.Put("fine", "y", FormatLocalTime(1600000000));
  ASSERT_EQ(mkdir((root_ + "dst").c_str(), 0700), 0);
  CopyWalk walk = Walk();
  EXPECT_EQ(walk.FromServer(".\\", "*.*", root_ + "dst/"), kWalkOk);
  EXPECT_EQ(err_, std::vector<std::string>{"ERROR:ダウンロードに失敗しました。(../escaped)"});
  EXPECT_EQ(access((root_ + "escaped").c_str(), F_OK), -1);
  EXPECT_EQ(Read("dst/fine"), "y");
  EXPECT_EQ(walk.copied(), 1);
}

TEST_F(CopyWalkTest, FailedDownloadWritesNothingOfItsBatch) {
  server_.Put("a.txt", "a", FormatLocalTime(1600000000));
  server_.Put("b.txt", "b", FormatLocalTime(1600000000));
  server_.fail_file = "b.txt";
  CopyWalk walk = Walk();
  EXPECT_EQ(walk.FromServer(".\\", "*.*", root_), kWalkOk);
  EXPECT_EQ(err_, std::vector<std::string>{"ERROR:ダウンロードに失敗しました。(b.txt)"});
  EXPECT_EQ(access((root_ + "a.txt").c_str(), F_OK), -1);
  EXPECT_EQ(walk.copied(), 0);
}

}  // namespace
}  // namespace zk
