// Process-level test support over fork/exec and pipes: running built programs and checking their
// streams, background processes stopped by process id, temporary folders, free ports, polling.
#include "tests/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zk {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> CArgs(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}
}  // namespace

::testing::AssertionResult Ended(const RunResult& r, int status, const std::string& out,
                                 const std::string& err) {
  if (r.status == status && r.out == out && r.err == err) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "status " << r.status << " (want " << status << ")\nout: [" << r.out << "] (want ["
         << out << "])\nerr: [" << r.err << "] (want [" << err << "])";
}

RunResult RunIn(const std::string& cwd, const std::vector<std::string>& argv,
                const std::string& input) {
  RunOptions options;
  options.cwd = cwd;
  options.input = input;
  return Run(argv, options);
}

void WriteScript(const std::string& path, const std::string& body, mode_t mode) {
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), mode);
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::pair<int, std::string>> OpenDescriptors(pid_t pid) {
  std::vector<std::pair<int, std::string>> out;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code link_ec;
    std::string target = std::filesystem::read_symlink(it->path(), link_ec).string();
    out.emplace_back(atoi(it->path().filename().c_str()), target);
  }
  return out;
}

std::string BinDir() {
  const char* b = getenv("ZK_BIN");
  if (b && *b) return b;
  return std::filesystem::current_path().parent_path().string() + "/bin";
}

std::string Program(const std::string& name) { return BinDir() + "/" + name; }

std::string LinkProgram(const std::string& dir, const std::string& name) {
  std::string link = dir + "/" + name;
  unlink(link.c_str());
  if (symlink(Program(name).c_str(), link.c_str()) != 0) {
    throw std::runtime_error("cannot link " + link);
  }
  return link;
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  auto close_all = [&] {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
    ADD_FAILURE() << "cannot make pipes to run " << argv[0] << ": " << std::strerror(errno);
    close_all();
    return result;
  }
  std::vector<char*> args = CArgs(argv);
  std::vector<std::string> env_strings;
  // An extra entry replaces the inherited one of the same name (getenv finds the first).
  auto name_of = [](const std::string& e) { return e.substr(0, e.find('=') + 1); };
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& extra : options.env) replaced |= name_of(extra) == name_of(*e);
    if (!replaced) env_strings.push_back(*e);
  }
  for (const std::string& e : options.env) env_strings.push_back(e);
  std::vector<char*> envp = CArgs(env_strings);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(errno);
    close_all();
    return result;
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  auto deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  bool out_open = true, err_open = true, killed = false;
  while (out_open || err_open) {
    struct pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    poll(fds, n, 100);
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in_fd) {
        ssize_t w = write(in_fd, options.input.data() + written, options.input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == options.input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t r = read(fds[i].fd, buf, sizeof(buf));
      if (r <= 0) {
        if (fds[i].fd == out_pipe[0])
          out_open = false;
        else
          err_open = false;
      } else if (fds[i].fd == out_pipe[0]) {
        result.out.append(buf, static_cast<size_t>(r));
      } else {
        result.err.append(buf, static_cast<size_t>(r));
      }
    }
    if (!killed && Clock::now() > deadline) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);
  result.status = StatusOf(raw);
  return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& log) {
  std::vector<char*> args = CArgs(argv);
  std::string out = log.empty() ? "/dev/null" : log;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(errno);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int raw;
  auto ended = [&] {
    pid_t r = waitpid(pid, &raw, WNOHANG);
    return r == pid || r < 0;
  };
  if (WaitUntil(ended, 5)) return;
  kill(pid, SIGKILL);
  waitpid(pid, &raw, 0);
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zktest.XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable first (tests may leave read-only folders behind).
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ec);
}

namespace {
sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}
}  // namespace

// Ports are taken below the range the system gives outgoing connections their local ports
// from: a port of that range, free when it was found, can become the local end of another test's
// connection before the server of this test binds it (or binds it again after a restart).
int FreePort() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  if (low <= 21024) low = 32768;
  static std::mt19937 random(static_cast<unsigned>(getpid() ^ time(nullptr)));
  for (int tries = 0; tries < 1000; ++tries) {
    const int port = 20000 + static_cast<int>(random() % static_cast<unsigned>(low - 20000));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr = Loopback(port);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool WaitForPort(int port, int seconds) {
  return WaitUntil(
      [&] {
        int fd = ConnectLoopback(port);
        if (fd >= 0) close(fd);
        return fd >= 0;
      },
      seconds);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace test
}  // namespace zk
