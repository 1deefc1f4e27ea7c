// The storage area against a user who changes it while the server works in it: a file and a
// folder swapped with links to the outside in a loop while download and upload batches run, a
// named pipe, and a link into a sibling area whose name begins with the area's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "idl/orb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const size_t kSize = 4096;

class ConfinementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.AddUser("u1", "pw1");
    fixture_.Start();
    area_ = fixture_.storage_dir("u1");
    outside_ = fixture_.dir() + "/outside";
    ASSERT_EQ(0, mkdir(outside_.c_str(), 0700));
    server_ = ResolveServer(fixture_.ns_port());
    // A call that blocks in the server fails the test instead of hanging it.
    omniORB::setClientCallTimeout(server_.in(), 10000);
    ASSERT_EQ(-1, server_->zkExistsUser("u1", "pw1"));
  }

  // A batch of `n` chunks for `dir` + `name`: downloads of kSize bytes, or uploads of `fill`.
  static ZKmd::zkSeqFileBuf Batch(const char* dir, const char* name, int n, char fill = 0) {
    ZKmd::zkSeqFileBuf batch;
    batch.length(n);
    for (int i = 0; i < n; ++i) {
      batch[i] = OneChunk(name, fill ? std::string(kSize, fill) : "", 0, fill ? 0 : kSize)[0];
      batch[i].filePath = dir;
    }
    return batch;
  }

  ServerFixture fixture_;
  std::string area_, outside_;
  ZKmd_var server_;
};

TEST_F(ConfinementTest, LinksSwappedInDuringTransfersNeverReachOutside) {
  // Inside: a file "f" and a folder "d" holding "x". Outside: the same names, other bytes. Beside
  // each, a link to its outside twin; a thread swaps every pair over and back, without pause.
  WriteFile(area_ + "/f", std::string(kSize, 'I'));
  ASSERT_EQ(0, mkdir((area_ + "/d").c_str(), 0700));
  WriteFile(area_ + "/d/x", std::string(kSize, 'I'));
  WriteFile(outside_ + "/f", std::string(kSize, 'O'));
  ASSERT_EQ(0, mkdir((outside_ + "/d").c_str(), 0700));
  WriteFile(outside_ + "/d/x", std::string(kSize, 'O'));
  ASSERT_EQ(0, symlink((outside_ + "/f").c_str(), (area_ + "/f.link").c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/d").c_str(), (area_ + "/d.link").c_str()));

  std::atomic<bool> stop(false);
  std::atomic<long> swaps(0);
  JoinedThread swapper([&] {
    const std::string f = area_ + "/f", fl = area_ + "/f.link";
    const std::string d = area_ + "/d", dl = area_ + "/d.link";
    while (!stop) {
      renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, fl.c_str(), RENAME_EXCHANGE);
      renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, dl.c_str(), RENAME_EXCHANGE);
      ++swaps;
    }
  });
  // Left before: stopped first, then joined (a request that throws leaves early).
  struct StopOnExit {
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
  } stop_on_exit{stop};

  long served = 0, refused = 0, outside_bytes = 0;
  auto run_for = [](double seconds, const std::function<void()>& body) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) body();
  };
  run_for(1.5, [&] {
    for (const char* dir : {"\\", "d\\"}) {
      ZKmd::zkSeqFileBuf batch = Batch(dir, dir[0] == 'd' ? "x" : "f", 16);
      CORBA::Long index = 0;
      if (server_->zkFileDownload("u1", batch, index) != 0) {
        ++refused;
        continue;
      }
      ++served;
      for (CORBA::ULong i = 0; i < batch.length(); ++i) {
        const ZKmd::DataBuffer& data = batch[i].fileBuf;
        for (CORBA::ULong k = 0; k < data.length(); ++k) outside_bytes += data[k] == 'O';
      }
    }
  });
  run_for(1.5, [&] {
    for (const char* dir : {"\\", "d\\"}) {
      ZKmd::zkSeqFileBuf batch = Batch(dir, dir[0] == 'd' ? "x" : "f", 16, 'U');
      CORBA::Long index = 0;
      (server_->zkFileUpload("u1", batch, index) == 0 ? served : refused)++;
    }
  });
  stop = true;
  swapper.join();

  EXPECT_EQ(0, outside_bytes);
  EXPECT_TRUE(ReadFile(outside_ + "/f") == std::string(kSize, 'O')) << "outside file changed";
  EXPECT_TRUE(ReadFile(outside_ + "/d/x") == std::string(kSize, 'O')) << "outside file changed";
  // The race was run: the links were swapped many times, and both outcomes were seen.
  EXPECT_GT(swaps, 1000);
  EXPECT_GT(served, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(ConfinementTest, NamedPipeFailsLikeAMissingFile) {
  ASSERT_EQ(0, mkfifo((area_ + "/pipe").c_str(), 0600));
  CORBA::Long index = 0;
  ZKmd::zkSeqFileBuf down = Batch("\\", "pipe", 1);
  EXPECT_EQ(20, server_->zkFileDownload("u1", down, index));
  EXPECT_EQ(1, index);
  ZKmd::zkSeqFileBuf up = Batch("\\", "pipe", 1, 'U');
  EXPECT_EQ(20, server_->zkFileUpload("u1", up, index));
  EXPECT_EQ(1, index);
  // It is listed, and the server goes on serving.
  EXPECT_EQ(1, server_->zkFileCount("u1", "\\", "pipe"));
  EXPECT_EQ(1, server_->zkExistsDir("u1", ""));
}

TEST_F(ConfinementTest, LinkIntoASiblingAreaIsRefused) {
  // u1x's area sits beside u1's, and its path begins with u1's path.
  fixture_.AddUser("u1x", "pw2");
  const std::string sibling = fixture_.storage_dir("u1x");
  WriteFile(sibling + "/secret", "sibling");
  ASSERT_EQ(0, symlink(sibling.c_str(), (area_ + "/sib").c_str()));
  ASSERT_EQ(0, symlink((sibling + "/secret").c_str(), (area_ + "/sibfile").c_str()));
  ASSERT_EQ(0, symlink("../u1x/secret", (area_ + "/sibrel").c_str()));
  for (const std::pair<const char*, const char*>& way :
       {std::make_pair("sib\\", "secret"), std::make_pair("\\", "sibfile"),
        std::make_pair("\\", "sibrel")}) {
    SCOPED_TRACE(std::string(way.first) + way.second);
    CORBA::Long index = 0;
    ZKmd::zkSeqFileBuf down = Batch(way.first, way.second, 1);
    EXPECT_EQ(20, server_->zkFileDownload("u1", down, index));
    ZKmd::zkSeqFileBuf up = Batch(way.first, way.second, 1, 'U');
    EXPECT_EQ(20, server_->zkFileUpload("u1", up, index));
    EXPECT_EQ(0, server_->zkExistsFile("u1", (std::string(way.first) + way.second).c_str()));
    EXPECT_EQ(-1, server_->zkFileRemove("u1", (std::string(way.first) + way.second).c_str()));
  }
  EXPECT_EQ(0, server_->zkFileCount("u1", "sib\\", "*.*"));
  EXPECT_EQ(0, server_->zkFileCount("u1", "\\", "sib*"));
  EXPECT_EQ("sibling", ReadFile(sibling + "/secret"));
}

}  // namespace
}  // namespace test
}  // namespace zk
