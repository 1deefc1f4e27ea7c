// The process list over /proc, termination over kill(2).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/proclist.h"

namespace zk {
namespace {

// The pid of a /proc entry name, or 0 when it is not all digits.
pid_t PidOfEntry(const char* name) {
  if (*name == '\0') return 0;
  long pid = 0;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    pid = pid * 10 + (*p - '0');
    if (pid > INT_MAX) return 0;
  }
  return static_cast<pid_t>(pid);
}

// The process's name from /proc; false when the process is gone.
bool NameOfProcess(pid_t pid, std::string* name) {
  std::string base = "/proc/" + std::to_string(pid);
  char target[PATH_MAX];
  ssize_t n = readlink((base + "/exe").c_str(), target, sizeof(target) - 1);
  if (n > 0) {
    *name = ProgramNameOfExe(std::string(target, n));
    if (!name->empty()) return true;
  }
  std::ifstream comm(base + "/comm");
  if (!comm) return false;
  std::getline(comm, *name);
  return !name->empty();
}

// The state letter of a process from /proc/PID/stat ('\0' when the process is gone).
char StateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return '\0';
  // "pid (comm) S ...": the state follows the last ')' (comm may hold anything).
  size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return '?';
  return line[close + 2];
}

// True while the process exists and is not a zombie waiting for its parent.
bool IsRunning(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  char state = StateOf(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

}  // namespace

std::string ProgramNameOfExe(const std::string& exe_target) {
  std::string path = exe_target;
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.erase(path.size() - deleted.size());
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<ProcessEntry> ListProcesses() {
  std::vector<pid_t> pids;
  DIR* dir = opendir("/proc");
  if (!dir) return {};
  while (struct dirent* e = readdir(dir)) {
    pid_t pid = PidOfEntry(e->d_name);
    if (pid > 0) pids.push_back(pid);
  }
  closedir(dir);
  std::sort(pids.begin(), pids.end());
  std::vector<ProcessEntry> out;
  for (pid_t pid : pids) {
    ProcessEntry entry;
    entry.pid = pid;
    // A zombie has ended already; only its parent's wait is missing.
    char state = StateOf(pid);
    if (state == '\0' || state == 'Z' || state == 'X') continue;
    if (NameOfProcess(pid, &entry.name)) out.push_back(entry);
  }
  return out;
}

TerminateResult TerminateProcess(pid_t pid, int grace_ms) {
  if (pid <= 0 || pid == getpid()) return TerminateResult::kRefused;
  if (kill(pid, SIGTERM) != 0) {
    return errno == ESRCH ? TerminateResult::kEnded : TerminateResult::kRefused;
  }
  const int step_ms = 20;
  for (int waited = 0; waited < grace_ms; waited += step_ms) {
    if (!IsRunning(pid)) return TerminateResult::kEnded;
    usleep(step_ms * 1000);
  }
  if (IsRunning(pid)) {
    kill(pid, SIGKILL);
    // SIGKILL is delivered asynchronously: give the kernel a moment so that the process (and
    // the ports it held) is gone when the caller goes on.
    for (int waited = 0; waited < 1000 && IsRunning(pid); waited += step_ms) usleep(step_ms * 1000);
  }
  return TerminateResult::kEnded;
}

}  // namespace zk
