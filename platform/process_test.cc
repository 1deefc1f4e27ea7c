// Started programs get no blocked or ignored signal from their starter (the jobs' exit codes,
// start failures and descriptors are checked end to end in tests/jobs_test.cc).
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zk {
namespace {

// The blocked and the ignored signals of a program started through `detached` or not, read
// from its /proc status. Signals 32 and 33 belong to the C library and are left out.
void SignalState(bool detached, uint64_t* blocked, uint64_t* ignored) {
  char out[] = "/tmp/zk_process_test_XXXXXX";
  int out_fd = mkstemp(out);
  close(out_fd);
  std::string script = "exec grep -E '^Sig(Blk|Ign)' /proc/self/status > " + std::string(out);
  std::string state;
  if (detached) {
    EXPECT_TRUE(StartDetached({"/bin/sh", "-c", script}, true));
  } else {
    int code = -1;
    EXPECT_TRUE(RunAndWait({"/bin/sh", "-c", script}, &code));
  }
  for (int i = 0; i < 500 && state.find("SigIgn") == std::string::npos; ++i) {
    usleep(10000);
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    state = text.str();
  }
  unlink(out);
  unsigned long long blk = ~0ull, ign = ~0ull;
  EXPECT_EQ(2, sscanf(state.c_str(), "SigBlk: %llx SigIgn: %llx", &blk, &ign)) << state;
  const uint64_t libc_internal = (1ull << 31) | (1ull << 32);
  *blocked = blk & ~libc_internal;
  *ignored = ign & ~libc_internal;
}

TEST(StartedProgramTest, SignalsAreNotBlockedOrIgnored) {
  // The caller blocks SIGTERM and ignores SIGPIPE, as the server does.
  sigset_t term, old_mask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old_mask);
  struct sigaction ignore, old_pipe;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);

  for (bool detached : {false, true}) {
    uint64_t blocked = 1, ignored = 1;
    SignalState(detached, &blocked, &ignored);
    EXPECT_EQ(0u, blocked) << detached;
    EXPECT_EQ(0u, ignored) << detached;
  }
  int code = -1;
  ASSERT_TRUE(RunAndWait({"/bin/sh", "-c", "kill -TERM $$; exit 0"}, &code));
  EXPECT_EQ(128 + SIGTERM, code);

  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

}  // namespace
}  // namespace zk
