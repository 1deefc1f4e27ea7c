// The password prompt on a terminal: wherever an interrupt lands while echo is switched off and
// on again, the terminal is left with echo on. strace delivers SIGINT at the N-th ioctl of the
// program, for every N up to the first that the program outlives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "settings/zkdb.h"
#include "tests/process.h"

namespace zk {
namespace test {
namespace {

TEST(PromptTest, AnInterruptAnywhereLeavesEchoOn) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const std::string terminal = ptsname(master);
  int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  TempDir dir;
  // zkenv over an existing server file prompts for the administrator password.
  ASSERT_EQ(WriteStatus::kDone,
            CreateServerEnvFile(dir / "server.zkd", "127.0.0.1", "1", "2", "3"));

  bool interrupted_at_prompt = false;
  int n = 1;
  for (; n <= 40; ++n) {
    struct termios t;
    tcgetattr(slave, &t);
    t.c_lflag |= ECHO;
    tcsetattr(slave, TCSANOW, &t);
    tcflush(slave, TCIOFLUSH);
    ASSERT_EQ(6, write(master, "wrong\n", 6));  // for a run that the interrupt misses
    // A traced program cannot be searched for leaks at its exit: that needs ptrace as well.
    RunResult r =
        test::Run({"/bin/sh", "-c",
                   "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec /usr/bin/strace -f -qq "
                   "-o /dev/null -e inject=ioctl:signal=SIGINT:when=" +
                       std::to_string(n) + " " + Program("zkenv") + " -e " + dir / "server.zkd <" +
                       terminal});
    EXPECT_EQ(0, tcgetattr(slave, &t));
    EXPECT_TRUE(t.c_lflag & ECHO) << "echo left off by an interrupt at ioctl " << n;
    if (r.status != 128 + SIGINT) {
      // Past the program's last ioctl: it read the wrong password and said so.
      EXPECT_EQ(20, r.status) << r.err;
      break;
    }
    if (r.out.find("管理者パスワードを入力してください") != std::string::npos) {
      interrupted_at_prompt = true;
    }
  }
  EXPECT_LE(n, 40) << "zkenv was interrupted at every ioctl up to 40";
  EXPECT_TRUE(interrupted_at_prompt) << "no interrupt landed at the prompt";
  close(slave);
  close(master);
}

}  // namespace
}  // namespace test
}  // namespace zk
