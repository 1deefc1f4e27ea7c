// Files that are whole or absent, against a real naming service and zksvr: an upload in progress
// is seen by no request, and continued only from its own connection; of two uploads of one name
// the one that finished last is the file, whole; leftovers of an earlier server are removed when
// it starts; a server that goes away stops zkcp at once with one report and status 20, leaving no
// part of a file under its name on either side; and a download cut off by a killed zkcp leaves
// nothing under the file's name, and its temporary file is removed by the next run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "clients/copy_walk.h"
#include "platform/fs.h"
#include "tests/direct_client.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kPass[] = "pw1";
const char kHeadRoot[] = "\n .\\のディレクトリ\n\n";

std::string Copied(int n) {
  std::string num = std::to_string(n);
  return std::string(18 - num.size(), ' ') + num + " 個のファイルをコピーしました。\n";
}

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return s;
}

// The entries of `dir` for which `pick` holds: their names and total size.
struct Found {
  std::vector<std::string> names;
  int64_t bytes = 0;
};
Found Pick(const std::string& dir, const std::function<bool(const std::string&)>& pick) {
  Found f;
  std::vector<DirEntry> entries;
  FileSystem::Default()->Search(dir, "*", &entries);
  for (const DirEntry& e : entries) {
    if (!pick(e.name)) continue;
    f.names.push_back(e.name);
    f.bytes += e.size;
  }
  return f;
}
// The temporary files of the server's uploads (their names begin with byte 0xFF).
Found ServerTemps(const std::string& dir) {
  return Pick(dir, [](const std::string& n) { return !n.empty() && n[0] == '\xFF'; });
}
// The temporary files of zkcp's downloads (".zkcp-PID-N.part").
Found ClientTemps(const std::string& dir) {
  return Pick(dir, [](const std::string& n) { return n.rfind(".zkcp-", 0) == 0; });
}

// One chunk of `name` in the area's root.
ZKmd::zkSeqFileBuf Chunk(const std::string& name, const std::string& data, int no, bool more) {
  ZKmd::zkSeqFileBuf seq = OneChunk(name, data, 0, 0);
  seq[0].bufNo = no;
  seq[0].nextBuf = more;
  return seq;
}

class WholeUploadsTest : public ::testing::Test {
 protected:
  // A server with a unit of 64 KB (so that files of some MB take hundreds of requests).
  void Start(const std::function<void()>& before = nullptr) {
    fixture_.AddUser("u1", kPass);
    if (before) before();
    ASSERT_NO_FATAL_FAILURE(fixture_.Start());
  }
  std::string Client() { return fixture_.client_dir("u1"); }
  std::string Store() { return fixture_.storage_dir("u1"); }
  RunResult Zkcp(std::vector<std::string> args) {
    args.push_back("-p");
    args.push_back(kPass);
    return fixture_.RunClient("u1", "zkcp", args, "", 120);
  }
  // Two direct clients, each on a connection of its own, both logged in as u1.
  void TwoClients() {
    a_.reset(new DirectClient(fixture_.ns_port(), 1));
    b_.reset(new DirectClient(fixture_.ns_port(), 2));
    ASSERT_EQ(-1, (*a_)->zkExistsUser("u1", kPass));
    ASSERT_EQ(-1, (*b_)->zkExistsUser("u1", kPass));
  }
  CORBA::Long Send(DirectClient* c, const std::string& name, const std::string& data, int no,
                   bool more) {
    CORBA::Long index = -1;
    return (*c)->zkFileUpload("u1", Chunk(name, data, no, more), index);
  }

  ServerFixture fixture_{"64"};
  std::unique_ptr<DirectClient> a_, b_;
};

TEST_F(WholeUploadsTest, AnUploadInProgressIsSeenByNoRequestAndContinuedOnlyOnItsConnection) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(TwoClients());
  ASSERT_EQ(0, Send(a_.get(), "doc.txt", "first half, ", 1, true));
  ASSERT_EQ(1u, ServerTemps(Store()).names.size());

  // Not listed, not counted, not there for existence, removal or download.
  RunResult r = fixture_.RunClient("u1", "zkls", {"-p", kPass});
  EXPECT_TRUE(Ended(r, 0, kHeadRoot, ""));
  EXPECT_EQ(0, (*b_)->zkFileCount("u1", ".\\", "*"));
  EXPECT_EQ(0, (*b_)->zkExistsFile("u1", "doc.txt"));
  EXPECT_EQ(-1, (*b_)->zkFileRemove("u1", "doc.txt"));
  std::string data;
  CORBA::Long index = -1;
  EXPECT_EQ(20, b_->Download("u1", "doc.txt", &data, &index));

  // Another connection cannot continue it, nor append to a file of the name.
  EXPECT_EQ(20, Send(b_.get(), "doc.txt", "planted", 2, false));
  EXPECT_FALSE(Exists(Store() + "/doc.txt"));

  ASSERT_EQ(0, Send(a_.get(), "doc.txt", "second half", 2, false));
  EXPECT_EQ("first half, second half", ReadFile(Store() + "/doc.txt"));
  EXPECT_TRUE(ServerTemps(Store()).names.empty());
  EXPECT_EQ(1, (*b_)->zkExistsFile("u1", "doc.txt"));
}

TEST_F(WholeUploadsTest, OfTwoUploadsOfOneNameTheOneThatFinishedLastIsTheFileWhole) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // Two zkcp runs of 20 MB each at the same time, three times over: one of the two files whole.
  const std::string one = Bytes(20 << 20, 1), two = Bytes(20 << 20, 2);
  ASSERT_EQ(0, system(("mkdir -p '" + Client() + "/a' '" + Client() + "/b'").c_str()));
  WriteFile(Client() + "/a/same.bin", one);
  WriteFile(Client() + "/b/same.bin", two);
  for (int round = 0; round < 3; ++round) {
    RunResult ra, rb;
    std::thread other([&] { rb = Zkcp({"b/same.bin", "::race", "-r"}); });
    ra = Zkcp({"a/same.bin", "::race", "-r"});
    other.join();
    EXPECT_TRUE(Ended(ra, 0, Client() + "/a/same.bin\n" + Copied(1), ""));
    EXPECT_TRUE(Ended(rb, 0, Client() + "/b/same.bin\n" + Copied(1), ""));
    const std::string got = ReadFile(Store() + "/race/same.bin");
    EXPECT_TRUE(got == one || got == two) << "a mix of " << got.size() << " bytes";
    EXPECT_TRUE(ServerTemps(Store() + "/race").names.empty());
  }
}

TEST_F(WholeUploadsTest, LeftoversOfAnEarlierServerAreRemovedWhenItStarts) {
  const std::string leftover = "\xFFzk-upload.00000000deadbeef.1";
  ASSERT_NO_FATAL_FAILURE(Start([&] {
    ASSERT_EQ(0, mkdir((Store() + "/sub").c_str(), 0700));
    WriteFile(Store() + "/" + leftover, "half of something");
    WriteFile(Store() + "/sub/" + leftover, "half of something else");
    WriteFile(Store() + "/kept.txt", "kept");
  }));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return ServerTemps(Store()).names.empty() && ServerTemps(Store() + "/sub").names.empty();
      },
      10));
  EXPECT_EQ("kept", ReadFile(Store() + "/kept.txt"));
}

TEST_F(WholeUploadsTest, AServerThatGoesAwayStopsAnUploadWithOneReport) {
  ASSERT_NO_FATAL_FAILURE(Start());
  WriteFile(Client() + "/big.bin", Bytes(64 << 20, 3));
  std::thread stopper([&] {
    WaitUntil([&] { return ServerTemps(Store() + "/up").bytes > (4 << 20); }, 60);
    fixture_.StopServer();
  });
  RunResult r = Zkcp({"big.bin", "::up"});
  stopper.join();
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(Client() + "/big.bin\n" + Copied(0), r.out);
  EXPECT_EQ(0u, r.err.find("CORBA Exception: CORBA::")) << r.err;
  EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << "more than one line: " << r.err;
  EXPECT_FALSE(Exists(Store() + "/up/big.bin"));
}

TEST_F(WholeUploadsTest, AServerThatGoesAwayStopsADownloadWithOneReportAndNothingUnderItsName) {
  ASSERT_NO_FATAL_FAILURE(Start());
  WriteFile(Store() + "/big.bin", Bytes(64 << 20, 4));
  std::thread stopper([&] {
    WaitUntil([&] { return ClientTemps(Client() + "/down").bytes > (4 << 20); }, 60);
    fixture_.StopServer();
  });
  RunResult r = Zkcp({"::big.bin", "down"});
  stopper.join();
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(".\\big.bin\n" + Copied(0), r.out);
  EXPECT_EQ(0u, r.err.find("CORBA Exception: CORBA::")) << r.err;
  EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << "more than one line: " << r.err;
  EXPECT_FALSE(Exists(Client() + "/down/big.bin"));
  // What came is left for the next zkcp of the file to continue.
  const Found left = ClientTemps(Client() + "/down");
  std::string key;
  ASSERT_EQ(1u, left.names.size()) << r.err;
  EXPECT_TRUE(IsResumableTempName(left.names[0], &key)) << left.names[0];
}

TEST_F(WholeUploadsTest, ADownloadCutOffLeavesNothingUnderItsNameAndTheNextRunCompletesIt) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::string data = Bytes(32 << 20, 5);
  WriteFile(Store() + "/big.bin", data);
  pid_t pid = Spawn({Program("zkcp"), "::big.bin", "down", "-p", kPass}, Client());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(WaitUntil([&] { return ClientTemps(Client() + "/down").bytes > (1 << 20); }, 60));
  kill(pid, SIGKILL);
  Stop(pid);
  EXPECT_FALSE(Exists(Client() + "/down/big.bin"));
  const Found left = ClientTemps(Client() + "/down");
  ASSERT_EQ(1u, left.names.size());
  std::string key;
  EXPECT_TRUE(IsResumableTempName(left.names[0], &key)) << left.names[0];

  RunResult r = Zkcp({"::big.bin", "down"});
  EXPECT_TRUE(Ended(r, 0, ".\\big.bin\n" + Copied(1), ""));
  EXPECT_TRUE(ReadFile(Client() + "/down/big.bin") == data);
  EXPECT_TRUE(ClientTemps(Client() + "/down").names.empty());
}

}  // namespace
}  // namespace test
}  // namespace zk
