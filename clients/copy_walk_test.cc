// The chunks the upload walk sends, seen by a server that only records them: a file that fills
// whole units ends on its last full chunk (no empty chunk after it), a file of one byte more gets
// one more chunk, and an empty file is one empty chunk. The process tests compare files end to
// end and cannot tell how they were cut.
#include "clients/copy_walk.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace zk {
namespace {

// One chunk as sent: file name, chunk number, more to follow, data length.
using Sent = std::tuple<std::string, int, bool, size_t>;

class RecordingServer : public CopyServer {
 public:
  std::vector<ListEntry> List(const std::string&, const std::string&) override { return {}; }
  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) override {
    std::vector<Sent> b;
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      b.emplace_back(batch[i].fileNm.in(), batch[i].bufNo, batch[i].nextBuf != 0,
                     batch[i].fileBuf.length());
    }
    batches.push_back(b);
    *index = 0;
    return 0;
  }
  CORBA::Long Download(ZKmd::zkSeqFileBuf&, CORBA::Long* index) override {
    *index = 1;
    return 20;
  }
  std::vector<std::vector<Sent>> batches;
};

class UploadChunksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-chunks-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Put(const std::string& name, size_t size) {
    std::ofstream(dir_ + name, std::ios::binary) << std::string(size, 'x');
  }
  // Uploads the one file `name` with a unit of 1 KB; the batches the server saw.
  std::vector<std::vector<Sent>> Upload(const std::string& name) {
    RecordingServer server;
    CopyConsole quiet{[](const std::string&) {}, [](const std::string&) {}};
    CopyWalk walk(FileSystem::Default(), &server, CopyMode::kReplace, 1024, quiet);
    EXPECT_EQ(kExitOk, walk.ToServer(dir_, name, ".\\"));
    EXPECT_EQ(1, walk.copied());
    return server.batches;
  }

  std::string dir_;
};

TEST_F(UploadChunksTest, FilesAreCutAtWholeUnitsAndTheLastChunkSaysSo) {
  using Batches = std::vector<std::vector<Sent>>;
  Put("one", 1024);
  EXPECT_EQ(Upload("one"), (Batches{{Sent{"one", 1, false, 1024}}}));
  Put("two", 2048);
  EXPECT_EQ(Upload("two"), (Batches{{Sent{"two", 1, true, 1024}}, {Sent{"two", 2, false, 1024}}}));
  Put("over", 1025);
  EXPECT_EQ(Upload("over"), (Batches{{Sent{"over", 1, true, 1024}}, {Sent{"over", 2, false, 1}}}));
  Put("empty", 0);
  EXPECT_EQ(Upload("empty"), (Batches{{Sent{"empty", 1, false, 0}}}));
}

}  // namespace
}  // namespace zk
