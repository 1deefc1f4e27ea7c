// Process-level test support: run built programs and check their streams byte for byte, start
// programs in the background and stop them by process id, temporary folders, free ports, polling.
// Nothing here knows the server; tests/server_fixture.h builds on it.
#ifndef ZK_TESTS_PROCESS_H_
#define ZK_TESTS_PROCESS_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zk {
namespace test {

struct RunResult {
  int status = -1;  // exit status; 128+N when ended by signal N; -1 when it could not start
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error
};

struct RunOptions {
  std::string cwd;               // working directory ("" = the test's)
  std::string input;             // bytes fed to standard input, then end of input
  std::vector<std::string> env;  // extra "NAME=value" entries (replacing inherited ones)
  int timeout_seconds = 60;      // killed (and status 128+9) when exceeded
};

// build/bin, from the ZK_BIN environment variable that ctest sets.
std::string BinDir();
// BinDir() + "/" + name.
std::string Program(const std::string& name);
// A symbolic link dir/name to the built program, so that the program's own directory is `dir`.
// Returns dir + "/" + name.
std::string LinkProgram(const std::string& dir, const std::string& name);

// Runs argv (argv[0] is the executable path and is passed as argv[0]) and waits for it. A run
// that cannot be started (no pipes, no fork) fails the test and gives status -1.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());
// Success when the run ended with `status` and wrote exactly `out` and `err`; else all three.
::testing::AssertionResult Ended(const RunResult& r, int status, const std::string& out,
                                 const std::string& err);
// Run in the folder `cwd`, with `input` on standard input.
RunResult RunIn(const std::string& cwd, const std::vector<std::string>& argv,
                const std::string& input = "");

// Starts argv in the background with output to `log` (or /dev/null); returns its pid, or -1 after
// failing the test when it cannot fork.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::string& log = "");
// SIGTERM, wait up to 5 s, then SIGKILL; reaps the child. Safe with pid <= 0.
void Stop(pid_t pid);

// A fresh folder under $TMPDIR, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);
// True when something accepts connections on 127.0.0.1:port (waits up to `seconds`).
bool WaitForPort(int port, int seconds);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// A "#!/bin/sh" script with `body`, made executable (unless `mode` says otherwise).
void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755);
// Polls `done` every 20 ms until it is true (then true) or `seconds` have passed (then false).
bool WaitUntil(const std::function<bool()>& done, double seconds);
// True when something (also a dangling link) has this name.
bool Exists(const std::string& path);
// The open descriptors of a process and what they lead to ("socket:[123]", a file's path).
std::vector<std::pair<int, std::string>> OpenDescriptors(pid_t pid);

// A thread that is joined however its scope is left, also by an assertion that returns early or
// an exception: a std::thread left joinable would end the test binary at once, before the
// fixtures stop the processes they started.
class JoinedThread {
 public:
  template <typename Body>
  explicit JoinedThread(Body body) : thread_(std::move(body)) {}
  ~JoinedThread() {
    if (thread_.joinable()) thread_.join();
  }
  JoinedThread(const JoinedThread&) = delete;
  JoinedThread& operator=(const JoinedThread&) = delete;
  void join() { thread_.join(); }

 private:
  std::thread thread_;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_PROCESS_H_
