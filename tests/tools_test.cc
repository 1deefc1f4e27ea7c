// The service launchers and the kill tool, run as programs: messages and statuses, the command
// lines they start programs with, a real naming service and server started through them, and
// zkkill ending processes that the test started itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <utility>

#include "platform/proclist.h"
#include "platform/startdir.h"
#include "platform/text.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kMissing[] = "ERROR:サーバ環境設定ファイルが存在しません。(";
const char kNotServer[] = "ERROR:サーバ環境設定ファイルではありません。(";

// Waits up to 10 s for a file to have content (a detached program writes it).
std::string WaitForContent(const std::string& path) {
  std::string s;
  WaitUntil([&] { return !(s = ReadFile(path)).empty() && s.back() == '\n'; }, 10);
  return s;
}

// The running processes of program `name` whose command line holds the argument `word`.
std::vector<pid_t> ProcessesWith(const std::string& name, const std::string& word) {
  std::vector<pid_t> out;
  for (const ProcessEntry& p : ListProcesses()) {
    if (p.name != name) continue;
    std::string cmdline = ReadFile("/proc/" + std::to_string(p.pid) + "/cmdline");
    size_t start = 0;
    for (size_t end; (end = cmdline.find('\0', start)) != std::string::npos; start = end + 1) {
      if (cmdline.compare(start, end - start, word) == 0) {
        out.push_back(p.pid);
        break;
      }
    }
  }
  return out;
}

// Ends, on destruction, every process of `name` started with `word` on its command line: what
// a launcher started detached is no child of the test.
class DetachedGuard {
 public:
  DetachedGuard(std::string name, std::string word)
      : name_(std::move(name)), word_(std::move(word)) {}
  ~DetachedGuard() {
    for (pid_t pid : ProcessesWith(name_, word_)) TerminateProcess(pid);
  }
  // Waits up to 10 s for exactly one such process and returns it (-1 when none came up).
  pid_t WaitForOne() const {
    std::vector<pid_t> pids;
    return WaitUntil([&] { return (pids = ProcessesWith(name_, word_)).size() == 1; }, 10) ? pids[0]
                                                                                           : -1;
  }

 private:
  std::string name_;
  std::string word_;
};

// A launcher linked into prog/ and started from another folder, start/.
class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(prog().c_str(), 0700);
    mkdir(start().c_str(), 0700);
    LinkProgram(prog(), "zknsstr");
    LinkProgram(prog(), "zksvstr");
  }
  std::string prog() const { return tmp_ / "prog"; }
  std::string start() const { return tmp_ / "start"; }
  RunResult Launch(const std::string& launcher, std::vector<std::string> args = {}) {
    args.insert(args.begin(), prog() + "/" + launcher);
    return RunIn(start(), args);
  }
  // A stand-in for the started program in prog/: it writes its arguments and folder to a file.
  void FakeProgram(const std::string& name) {
    WriteScript(prog() + "/" + name, "echo \"$*|$(pwd)\" > " + name + ".args\n");
  }

  TempDir tmp_;
};

TEST_F(LauncherTest, UsageErrors) {
  for (const char* launcher : {"zknsstr", "zksvstr"}) {
    std::string usage = "usage: " + prog() + "/" + launcher + " -e <環境設定ファイル名> \n";
    for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"-e"}, {"w", "-q"}}) {
      RunResult r = Launch(launcher, args);
      EXPECT_EQ(20, r.status) << launcher << " " << args[0];
      EXPECT_EQ(usage, r.out);
      EXPECT_EQ("", r.err);
    }
  }
}

TEST_F(LauncherTest, RefusesMissingAndUserEnvironmentFiles) {
  ASSERT_EQ(WriteStatus::kDone,
            CreateUserEnvFile(start() + "/client.zkd", "127.0.0.1", "1", "2", "1000", "u", "p"));
  FakeProgram("omniNames");
  FakeProgram("zksvr");
  for (const char* launcher : {"zknsstr", "zksvstr"}) {
    RunResult r = Launch(launcher);
    EXPECT_TRUE(Ended(r, 20, "", std::string(kMissing) + "./server.zkd)\n"));

    r = Launch(launcher, {"-e", "nothere.zkd"});
    EXPECT_EQ(std::string(kMissing) + "nothere.zkd)\n", r.err);

    // A file found in the starting folder is named by its absolute path.
    r = Launch(launcher, {"-e", "client.zkd"});
    EXPECT_TRUE(Ended(r, 20, "", std::string(kNotServer) + start() + "/client.zkd)\n"));
  }
  // Nothing was started.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(prog() + "/omniNames.args"));
  EXPECT_FALSE(Exists(prog() + "/zksvr.args"));
}

TEST_F(LauncherTest, NamingServiceCommandLine) {
  ASSERT_EQ(WriteStatus::kDone,
            CreateServerEnvFile(prog() + "/server.zkd", "ns.example", "4711", "81", "1000"));
  FakeProgram("omniNames");
  // No file in the starting folder: the one beside the launcher is used; stray words are ignored.
  RunResult r = Launch("zknsstr", {"stray"});
  EXPECT_TRUE(Ended(r, 0, "", ""));
  // The program in the launcher's folder wins over the one in PATH, and runs in that folder.
  EXPECT_EQ("-start 4711 -always -datadir " + prog() +
                "/nsdata -ORBendPoint giop:tcp:ns.example:4711|" + prog() + "\n",
            WaitForContent(prog() + "/omniNames.args"));
  EXPECT_TRUE(FileSystem::Default()->IsDir(prog() + "/nsdata"));

  // With ns.conf beside the launcher, the naming service gets it as its ORB configuration.
  unlink((prog() + "/omniNames.args").c_str());
  WriteFile(prog() + "/ns.conf", "traceLevel = 0\n");
  EXPECT_EQ(0, Launch("zknsstr").status);
  EXPECT_EQ("-start 4711 -always -datadir " + prog() +
                "/nsdata -ORBendPoint giop:tcp:ns.example:4711 -ORBconfigFile ns.conf|" + prog() +
                "\n",
            WaitForContent(prog() + "/omniNames.args"));
}

TEST_F(LauncherTest, ServerCommandLine) {
  ASSERT_EQ(WriteStatus::kDone,
            CreateServerEnvFile(prog() + "/server.zkd", "127.0.0.1", "1", "2", "1000"));
  FakeProgram("zksvr");
  EXPECT_EQ(0, Launch("zksvstr").status);
  EXPECT_EQ("-e ./server.zkd|" + prog() + "\n", WaitForContent(prog() + "/zksvr.args"));

  // A file in another folder is passed by its absolute path; the last -e counts.
  std::string other = tmp_ / "other dir";
  mkdir(other.c_str(), 0700);
  ASSERT_EQ(WriteStatus::kDone,
            CreateServerEnvFile(other + "/my server.zkd", "127.0.0.1", "1", "2", "1000"));
  unlink((prog() + "/zksvr.args").c_str());
  EXPECT_TRUE(Ended(Launch("zksvstr", {"-e", "x.zkd", "-e", other + "/my server.zkd"}), 0, "", ""));
  EXPECT_EQ("-e " + other + "/my server.zkd|" + prog() + "\n",
            WaitForContent(prog() + "/zksvr.args"));

  // No zksvr beside the launcher nor in PATH: still success, and silent.
  unlink((prog() + "/zksvr").c_str());
  EXPECT_TRUE(Ended(Launch("zksvstr"), 0, "", ""));
}

TEST_F(LauncherTest, StartsRealNamingService) {
  int port = FreePort();
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(prog() + "/server.zkd", "127.0.0.1",
                                                    std::to_string(port), "0", "1000"));
  // The real naming service accepts the configuration file it is given.
  WriteFile(prog() + "/ns.conf", "traceLevel = 1\n");
  DetachedGuard guard("omniNames", prog() + "/nsdata");
  RunResult r = Launch("zknsstr");
  ASSERT_EQ(0, r.status) << r.err;
  // Stopped only once it answers: before that, its data file may be only half written.
  EXPECT_TRUE(WaitUntil([&] { return NamingAnswers(port); }, 20));
  pid_t pid = guard.WaitForOne();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(TerminateResult::kEnded, TerminateProcess(pid));
  // Started again over its existing data, it comes up once more.
  ASSERT_EQ(0, Launch("zknsstr").status);
  EXPECT_TRUE(WaitUntil([&] { return NamingAnswers(port); }, 20));
  EXPECT_GT(guard.WaitForOne(), 0);
}

TEST(ServerLauncherTest, StartsServerThatServes) {
  ServerFixture fixture;
  std::string why;
  ASSERT_TRUE(fixture.StartNaming(&why)) << why;
  LinkProgram(fixture.dir(), "zksvstr");
  DetachedGuard guard("zksvr", fixture.server_env());
  RunResult r = RunIn(fixture.dir(), {fixture.dir() + "/zksvstr"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_GT(guard.WaitForOne(), 0);
  EXPECT_TRUE(WaitUntil([&] { return ServerServes(fixture.ns_port()); }, 10));
}

// A copy of sleep under a name that nothing else on the machine has.
class KillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Short enough to survive the kernel's 15-character command name, seen by an unprivileged
    // caller that may not read the executable link.
    name_ = "zkSl" + std::to_string(getpid());
    std::ifstream src("/bin/sleep", std::ios::binary);
    std::ofstream dst(tmp_ / name_, std::ios::binary);
    dst << src.rdbuf();
    dst.close();
    chmod((tmp_ / name_).c_str(), 0755);
  }
  void TearDown() override {
    for (pid_t pid : children_) Stop(pid);
  }
  pid_t StartSleeper() {
    pid_t pid = Spawn({tmp_ / name_, "60"}, tmp_.path());
    children_.push_back(pid);
    // Wait until the child runs the copy (not the test binary any more).
    WaitUntil(
        [&] {
          for (const ProcessEntry& p : ListProcesses()) {
            if (p.pid == pid && p.name == name_) return true;
          }
          return false;
        },
        2);
    return pid;
  }
  // The signal that ended a child (0 when it has not ended within `tries` x 20 ms).
  int EndSignal(pid_t pid, int tries = 100) {
    int raw = 0;
    for (int i = 0; i < tries; ++i) {
      if (waitpid(pid, &raw, WNOHANG) == pid) {
        children_.erase(std::find(children_.begin(), children_.end(), pid));
        return WIFSIGNALED(raw) ? WTERMSIG(raw) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }
  RunResult Kill(std::vector<std::string> args) {
    args.insert(args.begin(), Program("zkkill"));
    return test::Run(args);
  }

  TempDir tmp_;
  std::string name_;
  std::vector<pid_t> children_;
};

TEST_F(KillTest, EndsEveryMatchInPidOrderWithoutRegardToCase) {
  pid_t a = StartSleeper();
  pid_t b = StartSleeper();
  RunResult r = Kill({UpperAscii(name_)});
  EXPECT_TRUE(Ended(r, 0, "killed " + name_ + "\nkilled " + name_ + "\n", ""));
  EXPECT_EQ(SIGTERM, EndSignal(std::min(a, b)));
  EXPECT_EQ(SIGTERM, EndSignal(std::max(a, b)));

  pid_t c = StartSleeper();
  r = Kill({"-p", name_});
  EXPECT_TRUE(Ended(r, 0, "killed " + name_ + "\n", ""));
  EXPECT_EQ(SIGTERM, EndSignal(c));
}

TEST_F(KillTest, PartialNamesAndBadCommandLinesEndNothing) {
  pid_t a = StartSleeper();
  using Args = std::vector<std::string>;
  const std::string usage = "usage: " + Program("zkkill") + " -p <プログラムID> \n";
  const std::pair<Args, RunResult> cases[] = {
      {{name_ + ".exe"}, {0, "", ""}},   {{name_.substr(1)}, {0, "", ""}},
      {{tmp_ / name_}, {0, "", ""}},     {{"zkSleeper*"}, {0, "", ""}},
      {{""}, {20, usage, ""}},           {{"-p"}, {20, usage, ""}},
      {{"-p", ""}, {20, usage, ""}},     {{}, {20, "", ""}},  // other numbers of words: silent
      {{name_, name_}, {20, "", ""}},    {{"-q", name_}, {20, "", ""}},
      {{"-p", name_, "x"}, {20, "", ""}}};
  for (const auto& c : cases) {
    RunResult want = c.second;
    EXPECT_TRUE(Ended(Kill(c.first), want.status, want.out, want.err))
        << (c.first.empty() ? "(none)" : c.first[0]);
  }
  EXPECT_EQ(0, EndSignal(a, 5));  // still running
}

TEST_F(KillTest, RefusedProcessIsNotReportedAsKilled) {
  if (geteuid() != 0 || !FileSystem::Default()->IsFile("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs root and setpriv";
  pid_t a = StartSleeper();
  // An unprivileged caller may not end the test's process: no "killed" line, failure status.
  RunResult r = test::Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           Program("zkkill"), name_});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ("", r.out + r.err);
  EXPECT_EQ(0, EndSignal(a, 5));
}

TEST_F(KillTest, NeverEndsItself) {
  // A copy of zkkill under a name of its own asked to end that name: only itself matches.
  std::string killer = tmp_ / ("zkKiller" + std::to_string(getpid()));
  {
    std::ifstream src(Program("zkkill"), std::ios::binary);
    std::ofstream dst(killer, std::ios::binary);
    dst << src.rdbuf();
  }
  chmod(killer.c_str(), 0755);
  RunResult r = test::Run({killer, UpperAscii(killer.substr(killer.rfind('/') + 1))});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
}

}  // namespace
}  // namespace test
}  // namespace zk
