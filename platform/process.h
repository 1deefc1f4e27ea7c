// Starting programs: the Windows-style split of a command line, a started program that is
// waited for, and a detached one that is never waited for (and never left as a zombie).
#ifndef ZK_PLATFORM_PROCESS_H_
#define ZK_PLATFORM_PROCESS_H_

#include <string>
#include <vector>

namespace zk {

// Splits a command line the Windows way: blanks (space, tab) separate arguments, double quotes
// group (and are removed), backslashes before a quote escape it; nothing else is interpreted.
std::vector<std::string> SplitCommandLine(const std::string& line);

// Starts argv[0] (a path; PATH is searched only when it has no "/") with posix_spawn, inheriting
// the current directory, environment and standard streams, and waits for it.
// Returns false when the process could not be created. *exit_code is WEXITSTATUS, or 128+N
// for a process ended by signal N.
bool RunAndWait(const std::vector<std::string>& argv, int* exit_code);

// Starts argv[0] detached: own session, standard input from /dev/null, standard output and
// error to /dev/null when `quiet` (else inherited). The caller never waits for it and no zombie
// is left. Returns false only when the intermediate process could not be created.
bool StartDetached(const std::vector<std::string>& argv, bool quiet);

// True when a process with id `pid` (> 0) exists on this machine.
bool ProcessExists(int pid);

// The id of this process.
int OwnProcessId();

}  // namespace zk

#endif  // ZK_PLATFORM_PROCESS_H_
