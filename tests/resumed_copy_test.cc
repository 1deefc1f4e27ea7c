// Copies that stop part way resume. An upload: the server keeps what reached it for its owner, and
// the next zkcp of the same file continues after it, sending about what was missing and printing
// what a fresh copy prints; another user, or a connection where nobody is logged in, does not
// reach the kept upload. A download: zkcp leaves what it wrote, and the next one continues it the
// same way. A source that changed since starts again. The tools reach the server through a relay
// that can hold back what either side sends, so that a copy is caught in the middle and killed.
// The audit trail records a resumed upload with the digest of all of it, the kept bytes too.
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "clients/copy_walk.h"
#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/digest.h"
#include "platform/fs.h"
#include "platform/timetext.h"
#include "tests/direct_client.h"
#include "tests/relay.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

constexpr size_t kFileBytes = 4 << 20;

class ResumedCopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixture_ = new ServerFixture("64");  // batches of 64 KB
    fixture_->AddServerConf("zkAuditLog = " + Trail());
    fixture_->AddUser("u1", "pw1");
    fixture_->AddUser("u2", "pw2");
    fixture_->Start();
    relay_ = RelayBeforeServer(*fixture_);
  }
  static void TearDownTestSuite() {
    delete fixture_;
    fixture_ = nullptr;
    delete relay_;
    relay_ = nullptr;
  }

  static std::string Trail() { return fixture_->dir() + "/audit.jsonl"; }
  // Waits for the audit record of `name` landed with the digest of `data`.
  static bool LandedWithDigest(const std::string& name, const std::string& data) {
    StreamDigest d;
    d.Update(data.data(), data.size());
    const std::string digest = "\"digest\":\"" + DigestText(d.Value()) + "\"";
    const std::string path = "\"path\":\"" + Folder(name) + "/" + name + "\"";
    return WaitUntil(
        [&] {
          const std::string all = ReadFile(Trail());
          for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = all.substr(at, end - at);
            if (line.find("\"event\":\"upload\"") != std::string::npos &&
                line.find(path) != std::string::npos &&
                line.find("\"result\":0,") != std::string::npos &&
                line.find(digest) != std::string::npos) {
              return true;
            }
          }
          return false;
        },
        10);
  }

  // Each test copies a folder of its own, named after its one file's name without ".bin".
  static std::string Folder(const std::string& name) { return name.substr(0, name.find('.')); }
  static std::string Local(const std::string& name) {
    return fixture_->client_dir("u1") + "/" + Folder(name) + "/" + name;
  }
  static std::string OnServer(const std::string& name) {
    return fixture_->storage_dir("u1") + "/" + Folder(name) + "/" + name;
  }
  // The names in the server's copy of the folder.
  static std::vector<std::string> ServerNames(const std::string& name) {
    std::vector<DirEntry> there;
    FileSystem::Default()->Search(fixture_->storage_dir("u1") + "/" + Folder(name), "*", &there);
    std::vector<std::string> names;
    for (const DirEntry& e : there) names.push_back(e.name);
    return names;
  }
  static std::vector<std::string> Copy(const std::string& name) {
    return {Folder(name) + "/", "::" + Folder(name), "-r", "-p", "pw1"};
  }
  static std::string Wire(const std::string& name) { return Folder(name) + "\\"; }
  // Writes a local file of kFileBytes whose bytes depend on `seed`.
  static std::string Bytes(int seed) {
    std::string data(kFileBytes, '\0');
    uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
    for (char& c : data) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    return data;
  }
  static std::string MakeSource(const std::string& name, int seed) {
    const std::string data = Bytes(seed);
    FileSystem::Default()->MakeDirs(fixture_->client_dir("u1") + "/" + Folder(name));
    WriteFile(Local(name), data);
    return data;
  }
  // Runs zkcp with `args` while the relay lets about half the file through the way `up` says
  // (the clients' or the server's), and kills it once that passed.
  static void KillHalfWay(const std::vector<std::string>& args, bool up) {
    up ? relay_->HoldClientsAfter(kFileBytes / 2) : relay_->HoldTargetAfter(kFileBytes / 2);
    auto passed = [up] { return (up ? relay_->FromClients() : relay_->FromTarget()).size(); };
    std::vector<std::string> argv = {Program("zkcp")};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = Spawn(argv, fixture_->client_dir("u1"));
    const size_t before = passed();
    for (int i = 0; i < 500 && passed() < before + kFileBytes / 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // What came is written before zkcp waits for more.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    relay_->Release();
  }
  // Kills the copy half way, and waits until the server keeps what it stored: what zkFileKept
  // then says it holds.
  static int64_t CopyKilledHalfWay(const std::string& name) {
    KillHalfWay(Copy(name), true);
    DirEntry local;
    FileSystem::Default()->Stat(Local(name), &local);
    DirectClient owner(fixture_->ns_port(), 11);
    EXPECT_EQ(kLoginAccepted, owner->zkExistsUser("u1", "pw1"));
    for (int i = 0; i < 100; ++i) {
      CORBA::LongLong kept = 0;
      ZKmd::DataBuffer_var digests;
      if (owner->zkFileKept("u1", Wire(name).c_str(), name.c_str(), kFileBytes,
                            FormatLocalTime(local.mtime).c_str(), kept,
                            digests.out()) == kTransferOk) {
        return kept;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  // What zkcp sent through the relay while `run` ran.
  template <class Run>
  static size_t Sent(const Run& run) {
    const size_t before = relay_->FromClients().size();
    run();
    return relay_->FromClients().size() - before;
  }
  // What the server sent through the relay while `run` ran.
  template <class Run>
  static size_t Received(const Run& run) {
    const size_t before = relay_->FromTarget().size();
    run();
    return relay_->FromTarget().size() - before;
  }

  // Downloads: the file `name` at the root of u1's area, copied into the local folder named
  // after it.
  static std::vector<std::string> Fetch(const std::string& name) {
    return {"::" + name, Folder(name), "-p", "pw1"};
  }
  static std::string Fetched(const std::string& name) {
    return fixture_->client_dir("u1") + "/" + Folder(name) + "/" + name;
  }
  // The names of zkcp's temporary files in that folder.
  static std::vector<std::string> Parts(const std::string& name) {
    std::vector<DirEntry> there;
    FileSystem::Default()->Search(fixture_->client_dir("u1") + "/" + Folder(name), ".zkcp-*",
                                  &there);
    std::vector<std::string> names;
    for (const DirEntry& e : there) names.push_back(e.name);
    return names;
  }
  // Starts the download, lets about half the file through, kills zkcp: the size of what it left.
  static int64_t DownloadKilledHalfWay(const std::string& name) {
    KillHalfWay(Fetch(name), false);
    const std::vector<std::string> parts = Parts(name);
    std::string key;
    DirEntry st;
    if (parts.size() != 1 || !IsResumableTempName(parts[0], &key) ||
        !FileSystem::Default()->Stat(
            fixture_->client_dir("u1") + "/" + Folder(name) + "/" + parts[0], &st)) {
      return -1;
    }
    return st.size;
  }
  // Writes the file of kFileBytes `name` at the root of u1's area.
  static std::string MakeServerFile(const std::string& name, int seed) {
    const std::string data = Bytes(seed);
    WriteFile(fixture_->storage_dir("u1") + "/" + name, data);
    return data;
  }

  static inline ServerFixture* fixture_ = nullptr;
  static inline Relay* relay_ = nullptr;
};

TEST_F(ResumedCopyTest, AKilledUploadContinuesWhereItStoppedAndLandsWhole) {
  const std::string data = MakeSource("big.bin", 1);
  const int64_t kept = CopyKilledHalfWay("big.bin");
  ASSERT_GT(kept, 0) << fixture_->ServerLog();
  EXPECT_LE(kept, static_cast<int64_t>(kFileBytes / 2));

  // Nobody else reaches it: another user, nor a connection where nobody is logged in.
  DirectClient other(fixture_->ns_port(), 12);
  ASSERT_EQ(kLoginAccepted, other->zkExistsUser("u2", "pw2"));
  DirectClient nobody(fixture_->ns_port(), 13);
  DirEntry local;
  ASSERT_TRUE(FileSystem::Default()->Stat(Local("big.bin"), &local));
  const std::string upd = FormatLocalTime(local.mtime);
  for (auto* client : {&other, &nobody}) {
    for (const char* user : {"u1", "u2"}) {
      CORBA::LongLong size = -1;
      ZKmd::DataBuffer_var digests;
      EXPECT_EQ(kTransferFileFailed, (*client)->zkFileKept(user, "big\\", "big.bin",
                                                           kFileBytes, upd.c_str(), size,
                                                           digests.out()));
      EXPECT_EQ(0, size);
      EXPECT_EQ(kTransferFileFailed, (*client)->zkFileResume(user, "big\\", "big.bin",
                                                             kFileBytes, upd.c_str(), 0, 2));
    }
  }

  RunResult resumed;
  const size_t resent =
      Sent([&] { resumed = fixture_->RunClient("u1", "zkcp", Copy("big.bin")); });
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ("", resumed.err);
  EXPECT_TRUE(ReadFile(OnServer("big.bin")) == data);
  EXPECT_TRUE(LandedWithDigest("big.bin", data)) << ReadFile(Trail());
  // About what was missing: the rest of the file, and the requests' own bytes.
  EXPECT_GE(resent, kFileBytes - static_cast<size_t>(kept));
  EXPECT_LT(resent, kFileBytes - static_cast<size_t>(kept) + kFileBytes / 16);
  // No temporary file and no record left.
  EXPECT_EQ(std::vector<std::string>{"big.bin"}, ServerNames("big.bin"));

  // A fresh copy of the same file prints the same and sends it all.
  RunResult fresh;
  EXPECT_GE(Sent([&] { fresh = fixture_->RunClient("u1", "zkcp", Copy("big.bin")); }),
            kFileBytes);
  EXPECT_EQ(fresh.out, resumed.out);
  EXPECT_EQ(0, fresh.status);
}

TEST_F(ResumedCopyTest, ASourceThatChangedSinceStartsAgain) {
  MakeSource("changed.bin", 2);
  DirEntry before;
  ASSERT_TRUE(FileSystem::Default()->Stat(Local("changed.bin"), &before));
  ASSERT_GT(CopyKilledHalfWay("changed.bin"), 0);
  // The same size and time, but its first byte differs.
  std::string data = ReadFile(Local("changed.bin"));
  data[0] = static_cast<char>(data[0] ^ 1);
  WriteFile(Local("changed.bin"), data);
  ASSERT_TRUE(FileSystem::Default()->SetWriteTime(Local("changed.bin"), before.mtime));

  RunResult r;
  EXPECT_GE(Sent([&] { r = fixture_->RunClient("u1", "zkcp", Copy("changed.bin")); }),
            kFileBytes);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(ReadFile(OnServer("changed.bin")) == data);
  EXPECT_EQ(std::vector<std::string>{"changed.bin"}, ServerNames("changed.bin"));
}

TEST_F(ResumedCopyTest, AKilledDownloadContinuesWhereItStoppedAndLandsWhole) {
  const std::string data = MakeServerFile("down.bin", 3);
  const int64_t left = DownloadKilledHalfWay("down.bin");
  ASSERT_GT(left, 0);
  EXPECT_LE(left, static_cast<int64_t>(kFileBytes / 2));
  EXPECT_FALSE(FileSystem::Default()->Exists(Fetched("down.bin")));

  RunResult resumed;
  const size_t rest =
      Received([&] { resumed = fixture_->RunClient("u1", "zkcp", Fetch("down.bin")); });
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ("", resumed.err);
  EXPECT_TRUE(ReadFile(Fetched("down.bin")) == data);
  EXPECT_GE(rest, kFileBytes - static_cast<size_t>(left));
  EXPECT_LT(rest, kFileBytes - static_cast<size_t>(left) + kFileBytes / 16);
  EXPECT_TRUE(Parts("down.bin").empty());

  // A fresh copy of the same file prints the same and receives it all.
  ASSERT_TRUE(FileSystem::Default()->RemoveFile(Fetched("down.bin")));
  RunResult fresh;
  EXPECT_GE(Received([&] { fresh = fixture_->RunClient("u1", "zkcp", Fetch("down.bin")); }),
            kFileBytes);
  EXPECT_EQ(fresh.out, resumed.out);
  EXPECT_EQ(0, fresh.status);
}

TEST_F(ResumedCopyTest, ADownloadOfAFileThatChangedSinceStartsAgain) {
  const std::string server_path = fixture_->storage_dir("u1") + "/moved.bin";
  std::string data = MakeServerFile("moved.bin", 4);
  DirEntry before;
  ASSERT_TRUE(FileSystem::Default()->Stat(server_path, &before));

  // The same size and time, but its first byte differs.
  ASSERT_GT(DownloadKilledHalfWay("moved.bin"), 0);
  data[0] = static_cast<char>(data[0] ^ 1);
  WriteFile(server_path, data);
  ASSERT_TRUE(FileSystem::Default()->SetWriteTime(server_path, before.mtime));
  RunResult r;
  EXPECT_GE(Received([&] { r = fixture_->RunClient("u1", "zkcp", Fetch("moved.bin")); }),
            kFileBytes);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(ReadFile(Fetched("moved.bin")) == data);
  EXPECT_TRUE(Parts("moved.bin").empty());

  // The same bytes at another time: what was left of the earlier one is removed too.
  ASSERT_TRUE(FileSystem::Default()->RemoveFile(Fetched("moved.bin")));
  ASSERT_GT(DownloadKilledHalfWay("moved.bin"), 0);
  ASSERT_TRUE(FileSystem::Default()->SetWriteTime(server_path, before.mtime - 3600));
  EXPECT_GE(Received([&] { r = fixture_->RunClient("u1", "zkcp", Fetch("moved.bin")); }),
            kFileBytes);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(ReadFile(Fetched("moved.bin")) == data);
  EXPECT_TRUE(Parts("moved.bin").empty());
}

}  // namespace
}  // namespace test
}  // namespace zk
