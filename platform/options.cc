// Option scanning with ACE_Get_Opt.
#include "platform/options.h"

#include <ace/Get_Opt.h>

#include "platform/console.h"

namespace zk {

OptionScan ScanOptions(int argc, char* argv[], const char* optstring) {
  OptionScan scan;
  ACE_Get_Opt get_opt(argc, argv, optstring, 1, 0, ACE_Get_Opt::PERMUTE_ARGS);
  int c;
  while ((c = get_opt()) != EOF) {
    if (c == '?' || c == ':') {
      scan.ok = false;
      return scan;
    }
    const char* arg = get_opt.opt_arg();
    scan.values[static_cast<char>(c)] = arg ? FromConsole(arg) : std::string();
    scan.given.emplace_back(static_cast<char>(c), scan.values[static_cast<char>(c)]);
  }
  for (int i = get_opt.opt_ind(); i < argc; ++i) scan.positional.push_back(FromConsole(argv[i]));
  return scan;
}

std::string UsageLine(const std::string& argv0, std::initializer_list<const char*> pieces) {
  std::string line = "usage: " + argv0 + " ";
  for (const char* p : pieces) line += p;
  return line;
}

}  // namespace zk
