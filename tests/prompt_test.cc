// The password prompt on a terminal: wherever an interrupt lands while echo is switched off and
// on again, the terminal is left with echo on. strace delivers SIGINT at the N-th ioctl of the
// program, for every N up to the first that the program outlives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings/zkdb.h"
#include "tests/harness.h"

namespace zk {
namespace test {
namespace {

const char kStrace[] = "/usr/bin/strace";

class PromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    ASSERT_EQ(0, CreateServerEnvFile(dir_ / "server.zkd", "127.0.0.1", "1", "2", "3"));
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  bool EchoOn() {
    struct termios t;
    return tcgetattr(slave_, &t) == 0 && (t.c_lflag & ECHO) != 0;
  }

  // zkenv over an existing server file (so it prompts for the administrator password), its
  // standard input the terminal, SIGINT injected at the n-th ioctl. Returns the exit status
  // (130 when the interrupt ended it); *prompted tells whether the prompt was printed.
  int RunInterrupted(int n, bool* prompted) {
    struct termios t;
    tcgetattr(slave_, &t);
    t.c_lflag |= ECHO;
    tcsetattr(slave_, TCSANOW, &t);
    tcflush(slave_, TCIOFLUSH);
    // A wrong password is waiting, for a run that the interrupt misses.
    if (write(master_, "wrong\n", 6) != 6) return -1;

    const std::string out = dir_ / "out.txt";
    std::vector<std::string> argv = {kStrace,
                                     "-f",
                                     "-qq",
                                     "-o",
                                     "/dev/null",
                                     "-e",
                                     "inject=ioctl:signal=SIGINT:when=" + std::to_string(n),
                                     Program("zkenv"),
                                     "-e",
                                     dir_ / "server.zkd"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      // A traced program cannot be inspected for leaks at its exit (that needs ptrace too).
      if (std::string(*e).compare(0, 13, "ASAN_OPTIONS=") != 0) env.push_back(*e);
    }
    const char* asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(slave_, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    *prompted = ReadFile(out).find("管理者パスワードを入力してください") != std::string::npos;
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  TempDir dir_;
  int master_ = -1;
  int slave_ = -1;
};

TEST_F(PromptTest, AnInterruptAnywhereLeavesEchoOn) {
  bool interrupted_at_prompt = false;
  int n = 1;
  for (; n <= 40; ++n) {
    bool prompted = false;
    int status = RunInterrupted(n, &prompted);
    EXPECT_TRUE(EchoOn()) << "echo left off by an interrupt at ioctl " << n;
    if (status != 130) {
      // Past the program's last ioctl: it read the wrong password and said so.
      EXPECT_EQ(20, status);
      break;
    }
    if (prompted) interrupted_at_prompt = true;
  }
  EXPECT_LE(n, 40) << "zkenv was interrupted at every ioctl up to 40";
  EXPECT_TRUE(interrupted_at_prompt) << "no interrupt landed at the prompt";
}

}  // namespace
}  // namespace test
}  // namespace zk
