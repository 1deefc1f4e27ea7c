// Command-line scanning shared by every program: ACE_Get_Opt over the whole argument vector
// (first element skipped, no error output of its own, arguments permuted so options may stand
// anywhere; a repeated option overrides the earlier one), and the usage line.
#ifndef ZK_PLATFORM_OPTIONS_H_
#define ZK_PLATFORM_OPTIONS_H_

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zk {

struct OptionScan {
  bool ok = true;                       // false: unknown option or an option without its value
  std::map<char, std::string> values;   // last value of each option seen ("" for flags)
  std::vector<std::string> positional;  // non-option arguments, in order
  // Every option met with its value, in order; for tools that weigh each occurrence.
  std::vector<std::pair<char, std::string>> given;
  bool Has(char c) const { return values.count(c) != 0; }
  std::string Get(char c, const std::string& def = "") const {
    auto it = values.find(c);
    return it == values.end() ? def : it->second;
  }
};

// Scans argv with `optstring` in ACE_Get_Opt notation. Values are converted to UTF-8.
OptionScan ScanOptions(int argc, char* argv[], const char* optstring);

// "usage: " + argv0 + " " + pieces (each piece ends with its own space).
std::string UsageLine(const std::string& argv0, std::initializer_list<const char*> pieces);

}  // namespace zk

#endif  // ZK_PLATFORM_OPTIONS_H_
