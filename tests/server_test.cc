// zksvr as a process: its command line and environment-file checks, start-up against a real
// naming service, the user operations over the wire, rebinding, stale bindings, shutdown by
// signal, and a server that keeps serving after a client vanished in the middle of a request.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "idl/orb.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kUsage[] = " -e <環境設定ファイル名> \n";
const char kNoFile[] = "ERROR:サーバ環境設定ファイルが存在しません。(";
const char kNotServer[] = "ERROR:サーバ環境設定ファイルではありません。(";

RunResult RunServer(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), Program("zksvr"));
  return RunIn(cwd, args);
}

// Waits for `pid` to end; its exit status, or -1 after `seconds`.
int WaitExit(pid_t pid, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// TCP ports on which process `pid` listens (its socket inodes, then /proc/net/tcp).
std::vector<int> ListeningPorts(pid_t pid) {
  std::set<std::string> inodes;
  for (const auto& fd : OpenDescriptors(pid)) {
    if (fd.second.rfind("socket:[", 0) == 0)
      inodes.insert(fd.second.substr(8, fd.second.size() - 9));
  }
  std::vector<int> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream tcp(ReadFile(table));
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
      std::istringstream in(line);
      std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
      in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
      if (state == "0A" && inodes.count(inode)) {
        ports.push_back(std::stoi(local.substr(local.rfind(':') + 1), nullptr, 16));
      }
    }
  }
  return ports;
}

// Stops a server that a test started itself, also when an assertion ends the test early.
struct Spawned {
  pid_t pid;
  ~Spawned() { Stop(pid); }
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.AddUser("u1", "Secret1");
    fixture_.Start();
  }
  ServerFixture fixture_;
};

TEST_F(ServerTest, UserOperationsOverTheWire) {
  ZKmd_var server = ResolveServer(fixture_.ns_port());
  const std::string env = fixture_.server_env();
  EXPECT_EQ(-1, server->zkExistsUser("u1", "Secret1"));
  for (const char* wrong : {"secret1", "Secret", ""})
    EXPECT_EQ(0, server->zkExistsUser("u1", wrong));
  EXPECT_EQ(0, server->zkExistsUser("U1", "Secret1"));
  EXPECT_EQ(0, server->zkExistsUser("nobody", "Secret1"));

  // A change is seen by the next check; the rest of the row stays. Both requests are larger
  // than omniORB's default message limit. The change needs the user authenticated on this
  // connection, which the refused checks above have undone.
  const std::string dir_before = StoredUser(env, "u1").storage_dir;
  const std::string long_word(3 * 1024 * 1024, 'w');
  EXPECT_EQ(-1, server->zkChgUserPwd("u1", long_word.c_str()));
  EXPECT_EQ(-1, server->zkExistsUser("u1", "Secret1"));
  EXPECT_EQ(0, server->zkChgUserPwd("u1", long_word.c_str()));
  EXPECT_EQ(-1, server->zkExistsUser("u1", long_word.c_str()));
  EXPECT_EQ(0, server->zkExistsUser("u1", "Secret1"));
  EXPECT_EQ(dir_before, StoredUser(env, "u1").storage_dir);
  EXPECT_EQ("u1", StoredUser(env, "u1").user_id);

  // An unregistered user id can never be authenticated: refused, and no row appears.
  EXPECT_EQ(-1, server->zkChgUserPwd("ghost", "x"));
  EXPECT_EQ(ReadStatus::kMissing, ReadUser(env, "ghost"));
}

TEST_F(ServerTest, SecondServerTakesOverTheName) {
  ZKmd_var first = ResolveServer(fixture_.ns_port());
  CORBA::String_var first_ior = TestOrb()->object_to_string(first.in());

  pid_t second = Spawn({fixture_.dir() + "/zksvr", "-e", fixture_.server_env()}, fixture_.dir(),
                       fixture_.dir() + "/second.log");
  ASSERT_GT(second, 0);
  Spawned guard{second};
  EXPECT_TRUE(WaitUntil(
      [&] {
        ZKmd_var now = ResolveServer(fixture_.ns_port());
        CORBA::String_var ior = TestOrb()->object_to_string(now.in());
        return std::strcmp(ior.in(), first_ior.in()) != 0;
      },
      20))
      << ReadFile(fixture_.dir() + "/second.log");

  // The first server may go; the name leads to the second one.
  fixture_.StopServer();
  ZKmd_var now = ResolveServer(fixture_.ns_port());
  EXPECT_EQ(-1, now->zkExistsUser("u1", "Secret1"));
  kill(second, SIGTERM);
  EXPECT_EQ(0, WaitExit(second, 10));
  guard.pid = -1;
}

TEST_F(ServerTest, EndsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    pid_t pid = Spawn({fixture_.dir() + "/zksvr", "-e", fixture_.server_env()}, fixture_.dir(),
                      fixture_.dir() + "/sig.log");
    ASSERT_GT(pid, 0);
    Spawned guard{pid};
    // Serving once its listening socket is up.
    ASSERT_TRUE(WaitUntil([&] { return !ListeningPorts(pid).empty(); }, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(pid, sig);
    EXPECT_EQ(0, WaitExit(pid, 10)) << "signal " << sig;
    guard.pid = -1;
  }
  EXPECT_EQ("", ReadFile(fixture_.dir() + "/sig.log"));
}

TEST_F(ServerTest, KeepsServingAfterBrokenConnections) {
  ZKmd_var server = ResolveServer(fixture_.ns_port());
  ASSERT_EQ(-1, server->zkExistsUser("u1", "Secret1"));
  std::vector<int> ports = ListeningPorts(fixture_.server_pid());
  ASSERT_FALSE(ports.empty());

  // A client that dies halfway through a request: a GIOP 1.2 header announcing a large body,
  // a few bytes of it, then the connection is gone. Also plain garbage.
  for (int round = 0; round < 3; ++round) {
    for (int port : ports) {
      int fd = ConnectLoopback(port);
      if (fd >= 0) {
        const unsigned char half[] = {'G',  'I', 'O', 'P', 1, 2, 1, 0, 0, 0,
                                      0x10, 0,   0,   0,   0, 1, 3, 0, 0, 0};
        const char junk[] = "not a GIOP message at all";
        if (round == 1) {
          (void)!write(fd, junk, sizeof(junk));
        } else {
          (void)!write(fd, half, sizeof(half));
        }
      }
      close(fd);
    }
  }
  // Many real clients at once, then a fresh one.
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      ZKmd_var s = ResolveServer(fixture_.ns_port());
      for (int n = 0; n < 20; ++n) s->zkExistsUser("u1", "Secret1");
    });
  }
  for (auto& t : clients) t.join();
  ZKmd_var again = ResolveServer(fixture_.ns_port());
  EXPECT_EQ(-1, again->zkExistsUser("u1", "Secret1"));
  EXPECT_EQ(0, kill(fixture_.server_pid(), 0));
}

// Command line and environment file, without any naming service.
TEST(ServerStartTest, RefusesBadCommandLinesAndFiles) {
  TempDir tmp;
  RunResult r = RunServer({"-x"}, tmp.path());
  EXPECT_TRUE(Ended(r, 20, "usage: " + Program("zksvr") + kUsage, ""));

  r = RunServer({"-e"}, tmp.path());
  EXPECT_TRUE(Ended(r, 20, "usage: " + Program("zksvr") + kUsage, ""));

  // No file anywhere: the name is reported as given.
  r = RunServer({"-e", "missing.zkd"}, tmp.path());
  EXPECT_TRUE(Ended(r, 20, "", std::string(kNoFile) + "missing.zkd)\n"));
  r = RunServer({}, tmp.path());
  EXPECT_EQ(std::string(kNoFile) + "./server.zkd)\n", r.err);

  // A user's file is refused, by its absolute name; so is a file that is no database.
  ASSERT_EQ(WriteStatus::kDone,
            CreateUserEnvFile(tmp / "client.zkd", "127.0.0.1", "1", "2", "1000", "u", "p"));
  r = RunServer({"-e", "client.zkd"}, tmp.path());
  EXPECT_TRUE(Ended(r, 20, "", std::string(kNotServer) + tmp.path() + "/client.zkd)\n"));
  WriteFile(tmp / "text.zkd", "plain text\n");
  r = RunServer({"ignored", "-e", "client.zkd", "-e", "text.zkd"}, tmp.path());
  EXPECT_TRUE(Ended(r, 20, "", std::string(kNotServer) + tmp.path() + "/text.zkd)\n"));
}

TEST(ServerStartTest, NamingServiceProblemsEndWithStatusZero) {
  TempDir tmp;
  // Nothing listens on the naming port.
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(tmp / "server.zkd", "127.0.0.1",
                                                    std::to_string(FreePort()), "0", "1000"));
  RunResult r = RunServer({}, tmp.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("CORBA Exception: CORBA::TRANSIENT(TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)\n",
            r.err);
  EXPECT_EQ("", r.out);

  // Empty connection settings still start the ORB and fail at the naming service.
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(tmp / "server.zkd", "", "", "", "1000"));
  r = RunServer({}, tmp.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.err.find("CORBA Exception: ")) << r.err;
  EXPECT_EQ('\n', r.err.back());
}

}  // namespace
}  // namespace test
}  // namespace zk
