// zkcp's progress line, under a pseudo-terminal as a user sees it: drawn on standard error while
// a file travels, never wider than the terminal, and erased before every line of the tool's own,
// so that the output without it is byte for byte what a pipe gets. With standard error
// redirected (to a pipe or a file) nothing of it is written anywhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/server_fixture.h"
#include "tests/shared_server.h"

namespace zk {
namespace test {
namespace {

const char kPass[] = "pw1";
const char kCopied1[] = "                 1 個のファイルをコピーしました。\n";
const char kErase[] = "\r\033[K";

// Runs argv in `cwd` with standard input, output and error on a new pseudo-terminal of
// `columns` columns; everything the terminal received, and the exit status.
RunResult RunOnTerminal(const std::vector<std::string>& argv, const std::string& cwd, int columns) {
  RunResult result;
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) return result;
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof(buf));
      if (n <= 0) break;  // EIO once the last holder of the terminal has gone
      result.out.append(buf, static_cast<size_t>(n));
    }
    if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
  }
  close(master);
  int raw = 0;
  waitpid(pid, &raw, 0);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return result;
}

// `tty` without the terminal's line ends ("\r\n" for "\n") and without the progress line: the
// lines drawn ("\r" ... "\033[K") and their erasure ("\r\033[K"). The drawn lines go to *drawn.
std::string WithoutProgress(const std::string& tty, std::vector<std::string>* drawn) {
  std::string out;
  for (size_t i = 0; i < tty.size();) {
    if (tty.compare(i, 2, "\r\n") == 0) {
      out += '\n';
      i += 2;
    } else if (tty[i] == '\r') {
      size_t end = tty.find("\033[K", i);
      if (end == std::string::npos) return out + "<unterminated progress line>";
      if (end > i + 1) drawn->push_back(tty.substr(i + 1, end - i - 1));
      i = end + 3;
    } else {
      out += tty[i++];
    }
  }
  return out;
}

class ProgressLineTest : public SharedServerTest<ProgressLineTest> {
 protected:
  static void SetUpTestSuite() {
    StartSuite("1", kPass);  // a unit of 1 KB: a file of 4 MB is 4096 requests
    WriteFile(Client() + "/data.bin", std::string(4 << 20, 'x'));
  }
};

TEST_F(ProgressLineTest, ATerminalSeesTheProgressAndNothingElseChanges) {
  for (const char* dir : {"up", "down"}) {
    const bool up = std::string(dir) == "up";
    std::vector<std::string> argv = {Program("zkcp"), up ? "data.bin" : "::up\\data.bin",
                                     up ? "::up" : "down", "-p", kPass};
    RunResult r = RunOnTerminal(argv, Client(), 72);
    EXPECT_EQ(0, r.status) << r.out;
    std::vector<std::string> drawn;
    const std::string name = up ? Client() + "/data.bin" : "up\\data.bin";
    EXPECT_EQ(name + "\n" + kCopied1, WithoutProgress(r.out, &drawn)) << dir;
    ASSERT_FALSE(drawn.empty()) << dir << ": no progress line in " << r.out;
    // Each line names the file and its bytes so far of 4,194,304, and fits the terminal.
    for (const std::string& line : drawn) {
      EXPECT_NE(std::string::npos, line.find("/4,194,304 バイト")) << line;
      EXPECT_NE(std::string::npos, line.find("data.bin  ")) << line;
      EXPECT_LE(DisplayWidth(line), 71) << line;
    }
    // Erased before the result line.
    EXPECT_NE(std::string::npos, r.out.find(std::string(kErase) + "      ")) << dir;
  }
  EXPECT_EQ(ReadFile(Client() + "/data.bin"), ReadFile(Client() + "/down/data.bin"));
}

TEST_F(ProgressLineTest, RedirectedOutputGetsNoneOfIt) {
  // Pipes, as the other tests run every tool.
  RunResult r = fixture_->RunClient("u1", "zkcp", {"data.bin", "::piped", "-p", kPass});
  EXPECT_TRUE(Ended(r, 0, Client() + "/data.bin\n" + kCopied1, ""));
  // Standard output on the terminal, standard error into a file: no line on either.
  r = RunOnTerminal({"/bin/sh", "-c",
                     "exec '" + Program("zkcp") + "' data.bin ::filed -p " + kPass + " 2>err.txt"},
                    Client(), 80);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(Client() + "/data.bin\r\n" +
                std::string("                 1 個のファイルをコピーしました。\r\n"),
            r.out);
  EXPECT_EQ("", ReadFile(Client() + "/err.txt"));
}

}  // namespace
}  // namespace test
}  // namespace zk
