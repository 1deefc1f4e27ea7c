// Started programs: exit codes, signals, failures to start, and that only the standard streams
// reach them.
#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace zk {
namespace {

TEST(RunAndWaitTest, ExitCodesSignalsAndStartFailures) {
  int code = -99;
  ASSERT_TRUE(RunAndWait({"/bin/sh", "-c", "exit 5"}, &code));
  EXPECT_EQ(5, code);
  ASSERT_TRUE(RunAndWait({"/bin/sh", "-c", "exit 255"}, &code));
  EXPECT_EQ(255, code);
  ASSERT_TRUE(RunAndWait({"/bin/sh", "-c", "kill -TERM $$"}, &code));
  EXPECT_EQ(128 + 15, code);
  EXPECT_FALSE(RunAndWait({"/nonexistent/program"}, &code));
  EXPECT_FALSE(RunAndWait({"/tmp"}, &code));  // a directory cannot be started
}

TEST(RunAndWaitTest, OnlyStandardStreamsAreInherited) {
  // A descriptor without close-on-exec, as another thread's socket might be.
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  char out[] = "/tmp/zk_process_test_XXXXXX";
  int out_fd = mkstemp(out);
  ASSERT_GE(out_fd, 0);
  close(out_fd);
  int code = -1;
  ASSERT_TRUE(RunAndWait({"/bin/sh", "-c", "ls /proc/$$/fd > " + std::string(out)}, &code));
  close(fd);
  std::ifstream in(out);
  std::stringstream listed;
  listed << in.rdbuf();
  unlink(out);
  std::set<int> open_fds;
  for (int n; listed >> n;) open_fds.insert(n);
  EXPECT_TRUE(open_fds.count(0) && open_fds.count(1) && open_fds.count(2)) << listed.str();
  EXPECT_EQ(0u, open_fds.count(fd)) << listed.str();
}

}  // namespace
}  // namespace zk
