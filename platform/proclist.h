// The running processes of the machine and their termination, for the kill tool.
#ifndef ZK_PLATFORM_PROCLIST_H_
#define ZK_PLATFORM_PROCLIST_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace zk {

struct ProcessEntry {
  pid_t pid = 0;
  std::string name;  // program file name, no directory part
};

// One snapshot of the running processes, in ascending pid order. A process's name is the last
// component of its executable path, else (no access, kernel thread) its short command name.
// Zombies and processes that end while the list is taken are left out; no /proc gives an
// empty list.
std::vector<ProcessEntry> ListProcesses();

// The program name of a /proc/PID/exe link target: its last component, with the kernel's
// " (deleted)" mark removed (a program whose file was replaced while it runs keeps its name).
std::string ProgramNameOfExe(const std::string& exe_target);

enum class TerminateResult {
  kEnded,    // the process ended (or was already gone)
  kRefused,  // no permission to signal it; it runs on
};

// Ends a process: SIGTERM, up to `grace_ms` milliseconds for it to end, then SIGKILL.
// Never signals the calling process itself (answers kRefused).
TerminateResult TerminateProcess(pid_t pid, int grace_ms = 3000);

}  // namespace zk

#endif  // ZK_PLATFORM_PROCLIST_H_
