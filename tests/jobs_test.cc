// Remote jobs end to end: zkjob against a real naming service and zksvr, with small shell
// scripts as jobs; and the server under load: a long wait-mode job next to other clients,
// hundreds of started jobs without zombies or leaked descriptors.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kStarted[] = "ジョブが実行されました。\n";
const char kUsage[] =
    " <ジョブID> -o <実行パラメタ> -r <実行パスワード> -s -l <ジョブ戻り値ファイル> "
    "-e <環境設定ファイル名> -p <パスワード> \n";

std::string WaitOutput(const std::string& job, const std::string& value) {
  return std::string(kStarted) + "ジョブID     : " + job + "\nジョブ戻り値 : " + value + "\n";
}

bool WaitForFile(const std::string& path, int seconds) {
  return WaitUntil([&] { return Exists(path); }, seconds);
}

// Children of `parent` that are zombies.
int ZombieChildren(pid_t parent) {
  int zombies = 0;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 1));
    char state;
    pid_t ppid;
    if (rest >> state >> ppid && ppid == parent && state == 'Z') ++zombies;
  }
  closedir(d);
  return zombies;
}

class JobsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fx_ = new ServerFixture();
    fx_->AddUser("u1", "pw1");
    jobs_ = fx_->dir() + "/jobs";
    mkdir(jobs_.c_str(), 0700);
    // exit.sh N: ends with exit code N.
    WriteScript(jobs_ + "/exit.sh", "exit \"$1\"\n");
    fx_->AddJob("exit", jobs_ + "/exit.sh", "3");
    // args.sh: writes each argument in brackets, one per line.
    WriteScript(jobs_ + "/args.sh", "printf '[%s]\\n' \"$@\" > " + jobs_ + "/args.out\n");
    fx_->AddJob("args", jobs_ + "/args.sh", "::in.txt");
    fx_->AddJob("locked", jobs_ + "/exit.sh", "0", "Secret");
    fx_->AddJob("killed", jobs_ + "/killself.sh");
    WriteScript(jobs_ + "/killself.sh", "kill -KILL $$\n");
    mkdir((jobs_ + "/adir").c_str(), 0700);
    fx_->AddJob("dir", jobs_ + "/adir");
    fx_->AddJob("gone", jobs_ + "/gone.sh");
    WriteScript(jobs_ + "/noexec.sh", "exit 0\n", 0644);
    fx_->AddJob("noexec", jobs_ + "/noexec.sh");
    // A program named relative to the server's own directory.
    WriteScript(fx_->dir() + "/local.sh", "exit 9\n");
    fx_->AddJob("relative", "local.sh");
    std::string why;
    ASSERT_TRUE(fx_->StartNaming(&why)) << why;
    ASSERT_TRUE(fx_->StartServer(&why)) << why;
  }
  static void TearDownTestSuite() {
    delete fx_;
    fx_ = nullptr;
  }

  RunResult Job(const std::vector<std::string>& args, const std::string& input = "") {
    return fx_->RunClient("u1", "zkjob", args, input);
  }
  std::string ReturnFile() const { return fx_->client_dir("u1") + "/zkjob.log"; }
  std::string ArgsOut() const { return ReadFile(jobs_ + "/args.out"); }

  static inline ServerFixture* fx_ = nullptr;
  static inline std::string jobs_;
};

TEST_F(JobsTest, WaitModeReportsExitCodesAndWritesReturnFile) {
  for (const char* code : {"0", "3", "5", "255"}) {
    RunResult r = Job({"exit", "-s", "-p", "pw1", "-o", code});
    EXPECT_EQ(0, r.status) << code << r.err;
    EXPECT_EQ(WaitOutput("exit", code), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(std::string(code) + "\n", ReadFile(ReturnFile()));
  }
  // Registered parameters when the client sends none; options after the job id.
  RunResult r = Job({"-p", "pw1", "exit", "-s"});
  EXPECT_EQ(WaitOutput("exit", "3"), r.out);
  // A job ended by a signal.
  r = Job({"killed", "-s", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, WaitOutput("killed", "137"), ""));
  // A program path relative to the server's directory.
  r = Job({"relative", "-s", "-p", "pw1"});
  EXPECT_EQ(WaitOutput("relative", "9"), r.out);
}

TEST_F(JobsTest, PasswordPromptWhenNoneGiven) {
  RunResult r = Job({"exit", "-s", "-o", "4", "-p", ""}, "pw1\n");
  EXPECT_TRUE(Ended(r, 0, "パスワードを入力してください\n\n" + WaitOutput("exit", "4"), ""));
  r = Job({"exit", "-s"}, "wrong\n");
  EXPECT_TRUE(
      Ended(r, 20, "パスワードを入力してください\n\n", "ERROR:ユーザ認証に失敗しました。\n"));
  EXPECT_FALSE(Exists(ReturnFile()));
}

TEST_F(JobsTest, StoragePrefixInRegisteredAndClientParameters) {
  const std::string area = fx_->storage_dir("u1") + "/";
  ASSERT_EQ(0, Job({"args", "-s", "-p", "pw1"}).status);
  EXPECT_EQ("[" + area + "in.txt]\n", ArgsOut());
  // Client parameters replace the registered ones; every "::" is replaced.
  ASSERT_EQ(0, Job({"args", "-s", "-p", "pw1", "-o", "-i ::a.txt ::sub/b.txt"}).status);
  EXPECT_EQ("[-i]\n[" + area + "a.txt]\n[" + area + "sub/b.txt]\n", ArgsOut());
}

TEST_F(JobsTest, ShellSyntaxReachesTheJobAsPlainArguments) {
  const std::string victim = fx_->dir() + "/x";
  mkdir(victim.c_str(), 0700);
  RunResult r = Job({"args", "-s", "-p", "pw1", "-o",
                     "; rm -rf x && touch made1 $(touch made2) `touch made3` | \"a b\" >out"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "[;]\n[rm]\n[-rf]\n[x]\n[&&]\n[touch]\n[made1]\n[$(touch]\n[made2)]\n[`touch]\n"
      "[made3`]\n[|]\n[a b]\n[>out]\n",
      ArgsOut());
  EXPECT_TRUE(Exists(victim));
  for (const char* f : {"made1", "made2", "made3", "out"}) {
    EXPECT_FALSE(Exists(fx_->dir() + "/" + f)) << f;
  }
}

TEST_F(JobsTest, RunPasswords) {
  RunResult ok = Job({"locked", "-s", "-p", "pw1", "-r", "Secret"});
  EXPECT_TRUE(Ended(ok, 0, WaitOutput("locked", "0"), ""));
  for (std::vector<std::string> extra :
       {std::vector<std::string>{"-r", "secret"}, {"-r", "wrong"}, {}}) {
    std::vector<std::string> args = {"locked", "-s", "-p", "pw1"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = Job(args);
    EXPECT_TRUE(Ended(r, 20, "", "実行パスワードに誤りがあります。\n"));
    EXPECT_FALSE(Exists(ReturnFile()));
  }
  // A job without run password accepts any.
  EXPECT_EQ(0, Job({"exit", "-s", "-p", "pw1", "-r", "anything"}).status);
}

TEST_F(JobsTest, MissingOrUnstartableProgram) {
  for (const char* job : {"dir", "gone"}) {
    RunResult r = Job({job, "-s", "-p", "pw1"});
    EXPECT_TRUE(Ended(r, 20, "", "存在しないプログラムが指定されました。\n")) << job;
  }
  RunResult r = Job({"noexec", "-s", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 20, "", "ジョブの起動に失敗しました。\n"));
  EXPECT_FALSE(Exists(ReturnFile()));
  // Shell mode does not look at the outcome of the start.
  r = Job({"noexec", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, std::string(kStarted) + "ジョブID     : noexec\n", ""));
  EXPECT_EQ("0\n", ReadFile(ReturnFile()));
}

TEST_F(JobsTest, UnknownJobRemovesEarlierReturnFileAndCreatesStorage) {
  WriteFile(ReturnFile(), "7\n");
  ASSERT_EQ(0, rmdir(fx_->storage_dir("u1").c_str()));
  RunResult r = Job({"nosuchjob", "-s", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 20, "", "存在しないジョブIDが指定されました。\n"));
  EXPECT_FALSE(Exists(ReturnFile()));
  EXPECT_TRUE(Exists(fx_->storage_dir("u1")));
}

TEST_F(JobsTest, CommandLineErrorsKeepEarlierReturnFile) {
  WriteFile(ReturnFile(), "7\n");
  const std::string usage = "usage: " + Program("zkjob") + kUsage;
  for (std::vector<std::string> args : {std::vector<std::string>{"exit", "other", "-p", "pw1"},
                                        {"-p", "pw1"},
                                        {"exit", "-x"},
                                        {"exit", "-l"}}) {
    RunResult r = Job(args);
    EXPECT_TRUE(Ended(r, 20, usage, ""));
  }
  EXPECT_EQ("7\n", ReadFile(ReturnFile()));
  // Past the command-line checks the file goes, even when the environment file is missing.
  RunResult r = Job({"exit", "-p", "pw1", "-e", "none.zkd"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザ環境設定ファイルが存在しません。(none.zkd)\n"));
  EXPECT_FALSE(Exists(ReturnFile()));
}

TEST_F(JobsTest, ReturnFileIsRelativeToStartingDirectory) {
  const std::string sub = fx_->client_dir("u1") + "/rv";
  mkdir(sub.c_str(), 0700);
  RunResult r = Job({"exit", "-s", "-o", "6", "-p", "pw1", "-l", "rv/ret.txt"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("6\n", ReadFile(sub + "/ret.txt"));
  EXPECT_FALSE(Exists(BinDir() + "/rv/ret.txt"));
}

TEST_F(JobsTest, ShellModeReturnsBeforeJobEnds) {
  const std::string started = jobs_ + "/bg.started", done = jobs_ + "/bg.done";
  WriteScript(jobs_ + "/bg.sh", "echo $$ > " + started + ".tmp\nmv " + started + ".tmp " + started +
                                    "\nsleep 2\ntouch " + done + "\n");
  fx_->AddJob("bg", jobs_ + "/bg.sh");
  RunResult r = Job({"bg", "-p", "pw1"});
  bool done_at_return = Exists(done);
  EXPECT_TRUE(Ended(r, 0, std::string(kStarted) + "ジョブID     : bg\n", ""));
  EXPECT_EQ("0\n", ReadFile(ReturnFile()));
  EXPECT_FALSE(done_at_return);
  ASSERT_TRUE(WaitForFile(started, 10));
  // The detached job holds nothing of the server but the standard streams.
  for (const auto& fd : OpenDescriptors(atoi(ReadFile(started).c_str()))) {
    if (fd.first > 2) {
      EXPECT_EQ(jobs_ + "/bg.sh", fd.second) << fd.first;
    }
  }
  EXPECT_TRUE(WaitForFile(done, 10));
}

TEST_F(JobsTest, UnreachableNamingServiceIsReportedAsCorbaException) {
  TempDir client;
  ASSERT_EQ(WriteStatus::kDone,
            CreateUserEnvFile(client / "client.zkd", "127.0.0.1", std::to_string(FreePort()), "0",
                              "1000", "u1", "pw1"));
  WriteFile(client / "zkjob.log", "7\n");
  RunResult r = RunIn(client.path(), {Program("zkjob"), "exit", "-s", "-p", "pw1"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.rfind("CORBA Exception: ", 0)) << r.err;
  EXPECT_FALSE(Exists(client / "zkjob.log"));
}

TEST_F(JobsTest, UnregisteredUserIsRefused) {
  ZKmd_var c = ResolveServer(fx_->ns_port());
  ASSERT_NE(0, c->zkExistsUser("u1", "pw1"));
  std::string ret;
  EXPECT_EQ(-10, RunJob(c, "stranger", "exit", "1", &ret));
  EXPECT_EQ("0", ret);
  EXPECT_FALSE(Exists(fx_->dir() + "/store/stranger"));
}

// A wait-mode job occupies only the request that runs it (the job sleeps 3 s here to keep the
// suite fast): other clients authenticate and run jobs meanwhile, and the job holds none of the
// server's descriptors.
TEST_F(JobsTest, LongJobDoesNotBlockOthersAndInheritsNoDescriptors) {
  const std::string pid_file = jobs_ + "/long.pid", done = jobs_ + "/long.done";
  WriteScript(jobs_ + "/long.sh", "echo $$ > " + pid_file + ".tmp\nmv " + pid_file + ".tmp " +
                                      pid_file + "\nsleep 3\ntouch " + done + "\nexit 4\n");
  fx_->AddJob("long", jobs_ + "/long.sh");
  RunResult long_run;
  JoinedThread runner([&] { long_run = Job({"long", "-s", "-p", "pw1", "-l", "long.log"}); });
  ASSERT_TRUE(WaitForFile(pid_file, 20));
  pid_t job_pid = atoi(ReadFile(pid_file).c_str());

  std::vector<std::pair<int, std::string>> fds = OpenDescriptors(job_pid);
  bool job_running = !Exists(done);
  RunResult other = Job({"exit", "-s", "-o", "2", "-p", "pw1"});
  bool other_before_long = !Exists(done);
  runner.join();

  EXPECT_TRUE(job_running);
  EXPECT_FALSE(fds.empty());
  for (const auto& fd : fds) {
    // The shell may keep its own script open; nothing else beyond the standard streams.
    if (fd.first > 2) {
      EXPECT_EQ(jobs_ + "/long.sh", fd.second) << fd.first;
    }
    EXPECT_EQ(std::string::npos, fd.second.find("socket:")) << fd.first;
    EXPECT_EQ(std::string::npos, fd.second.find(".zkd")) << fd.first;
  }
  EXPECT_TRUE(Ended(other, 0, WaitOutput("exit", "2"), ""));
  EXPECT_TRUE(other_before_long);
  EXPECT_TRUE(Ended(long_run, 0, WaitOutput("long", "4"), ""));
  EXPECT_EQ("4\n", ReadFile(fx_->client_dir("u1") + "/long.log"));
}

// Hundreds of started jobs leave the server with no zombie child and no descriptor more.
TEST_F(JobsTest, ManyJobsLeaveNoZombiesOrDescriptors) {
  ZKmd_var c = ResolveServer(fx_->ns_port());
  ASSERT_NE(0, c->zkExistsUser("u1", "pw1"));
  pid_t server = fx_->server_pid();
  std::string ret;
  // Warm up: the connection and the server's worker threads exist before counting.
  ASSERT_EQ(0, RunJob(c, "u1", "exit", "0", &ret));
  ASSERT_EQ(0, RunJob(c, "u1", "exit", "1", &ret));
  size_t before = OpenDescriptors(server).size();

  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(0, RunJob(c, "u1", "exit", "0", &ret)) << i;
    ASSERT_EQ("0", ret);
  }
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(0, RunJob(c, "u1", "exit", "1", &ret)) << i;
    ASSERT_EQ("3", ret);
  }
  EXPECT_EQ(0, ZombieChildren(server));
  // Connections of earlier clients may still be closing; nothing may stay above the start.
  size_t after = 0;
  EXPECT_TRUE(WaitUntil([&] { return (after = OpenDescriptors(server).size()) <= before; }, 2));
  EXPECT_GT(after, 3u);
}

}  // namespace
}  // namespace test
}  // namespace zk
