// Starting programs over posix_spawn and fork.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"

extern char** environ;

namespace zk {
namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0, n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(line[i++]);
      }
    }
    out.push_back(arg);
  }
  return out;
}

bool RunAndWait(const std::vector<std::string>& argv, int* exit_code) {
  if (argv.empty() || argv[0].empty()) return false;
  std::vector<char*> args = ArgvOf(argv);
  // Only the standard streams are passed on: descriptors another thread opens meanwhile
  // (sockets, database files) must not leak into the program, close-on-exec or not.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // The program starts with no signal blocked and every signal at its default action, whatever
  // the caller blocks or ignores (a server blocks SIGTERM in all threads to take it in one).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  int rc = argv[0].find('/') == std::string::npos
               ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
               : posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (WIFEXITED(status)) {
    *exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    *exit_code = 128 + WTERMSIG(status);
  } else {
    *exit_code = -1;
  }
  return true;
}

bool StartDetached(const std::vector<std::string>& argv, bool quiet) {
  if (argv.empty()) return false;
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> args = ArgvOf(argv);
  bool search = argv[0].find('/') == std::string::npos;
  struct sigaction default_action;
  memset(&default_action, 0, sizeof(default_action));
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigset_t none;
  sigemptyset(&none);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Intermediate process: a new session, then the program in a grandchild so that it is
    // re-parented at once and never becomes our zombie.
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      if (quiet) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
      }
      if (null_fd > STDERR_FILENO) close(null_fd);
    }
    closefrom(STDERR_FILENO + 1);
    // As in RunAndWait: no signal blocked, every signal at its default action.
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (search) {
      execvp(args[0], args.data());
    } else {
      execv(args[0], args.data());
    }
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

bool ProcessExists(int pid) {
  // EPERM: it exists, but belongs to somebody else.
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int OwnProcessId() { return static_cast<int>(getpid()); }

}  // namespace zk
