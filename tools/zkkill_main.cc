// zkkill: ends every running process whose program file name equals the given program id
// (without regard to ASCII case) and prints "killed NAME" for each, in process-id order.
#include <ace/OS_main.h>
#include <unistd.h>

#include <string>

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/options.h"
#include "platform/proclist.h"
#include "platform/text.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();

  // The program id is the one word after the program name, bare or after "-p" ("-p" alone
  // leaves it empty). Any other number of words ends the run at once, without output.
  std::string id;
  if (argc == 2 && std::string(argv[1]) != "-p") {
    id = argv[1];
  } else if (argc == 3 && std::string(argv[1]) == "-p") {
    id = argv[2];
  } else if (argc != 2) {
    return zk::kExitFail;
  }
  id = zk::UpperAscii(zk::FromConsole(id));
  if (id.empty()) {
    zk::PrintOut(zk::UsageLine(argv[0], {"-p <プログラムID> "}));
    return zk::kExitFail;
  }

  // A process that may not be signalled runs on; it is not reported as killed, and the run
  // ends with the failure status once the walk is over.
  int status = zk::kExitOk;
  for (const zk::ProcessEntry& p : zk::ListProcesses()) {
    if (p.pid == getpid() || zk::UpperAscii(p.name) != id) continue;
    if (zk::TerminateProcess(p.pid) == zk::TerminateResult::kEnded) {
      zk::PrintOut("killed " + p.name);
    } else {
      status = zk::kExitFail;
    }
  }
  return status;
}
