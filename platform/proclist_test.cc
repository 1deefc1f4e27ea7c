// Termination against real child processes: what zkkill's tests cannot stage (a process that
// ignores SIGTERM, a zombie, a process already gone).
#include "platform/proclist.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gtest/gtest.h"

namespace zk {
namespace {

TEST(ProcListTest, NameIsLastComponentOfExecutable) {
  EXPECT_EQ("zksvr", ProgramNameOfExe("/srv/zk/zksvr (deleted)"));
  EXPECT_EQ("a b", ProgramNameOfExe("/opt/a b"));
}

// A child that ends (as a zombie, not reaped until the test does) or ignores SIGTERM.
pid_t StartChild(bool ignore_term) {
  pid_t pid = fork();
  if (pid == 0) {
    if (ignore_term) signal(SIGTERM, SIG_IGN);
    for (;;) pause();
  }
  usleep(50 * 1000);  // let the child set its disposition
  return pid;
}

int SignalOf(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFSIGNALED(status)) return 0;
  return WTERMSIG(status);
}

TEST(ProcListTest, TerminateEndsWithSigtermAndTreatsZombieAsEnded) {
  pid_t child = StartChild(false);
  ASSERT_GT(child, 0);
  EXPECT_EQ(TerminateResult::kEnded, TerminateProcess(child, 2000));
  // The zombie left behind is no longer listed.
  for (const ProcessEntry& e : ListProcesses()) EXPECT_NE(child, e.pid);
  EXPECT_EQ(SIGTERM, SignalOf(child));
}

TEST(ProcListTest, TerminateFallsBackToSigkill) {
  pid_t child = StartChild(true);
  ASSERT_GT(child, 0);
  EXPECT_EQ(TerminateResult::kEnded, TerminateProcess(child, 200));
  EXPECT_EQ(SIGKILL, SignalOf(child));
}

TEST(ProcListTest, NeverTerminatesItselfAndGoneProcessCountsAsEnded) {
  EXPECT_EQ(TerminateResult::kRefused, TerminateProcess(getpid(), 100));
  pid_t child = StartChild(false);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(TerminateResult::kEnded, TerminateProcess(child, 100));
}

}  // namespace
}  // namespace zk
