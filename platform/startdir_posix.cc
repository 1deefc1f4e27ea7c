// Starting directory and program directory over POSIX calls.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/pathtext.h"
#include "platform/startdir.h"

namespace zk {

std::string CurrentDir() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof(buf)) ? std::string(buf) : std::string();
}

std::string AbsoluteFrom(const std::string& base, const std::string& path) {
  const bool rooted = !path.empty() && path[0] == '/';
  const std::string full = rooted || base.empty() ? path : base + "/" + path;
  // A path that ends in "/", "." or ".." names a directory as such: it keeps a final "/".
  const std::string tail = NamePart(full);
  const bool dir_form = tail.empty() || tail == "." || tail == "..";
  const bool absolute = !full.empty() && full[0] == '/';
  std::vector<std::string> parts;
  for (const std::string& part : PathComponents(full)) {
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);  // above a relative start: kept
      }                         // above the root: the root
      continue;
    }
    parts.push_back(part);
  }
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
  if (out.empty()) return dir_form ? "./" : ".";
  if (dir_form && out.back() != '/') out.push_back('/');
  return out;
}

void ChangeToProgramDir(const std::string& argv0) {
  size_t slash = argv0.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = slash == 0 ? "/" : argv0.substr(0, slash);
  if (chdir(dir.c_str()) != 0) {
    // The directory stays as it was.
  }
}

std::string LocateEnvFile(FileSystem* fs, const std::string& name, const std::string& argv0,
                          std::string* start_dir) {
  std::string start = CurrentDir();
  if (start_dir) *start_dir = start;
  std::string result = name;
  if (fs->IsFile(name)) result = AbsoluteFrom(start, name);
  ChangeToProgramDir(argv0);
  return result;
}

std::string UserConfigDir(const char* xdg_config_home, const char* home) {
  if (xdg_config_home && xdg_config_home[0] == '/') return AbsoluteFrom(xdg_config_home, "zk");
  if (home && home[0] == '/') return AbsoluteFrom(home, ".config/zk");
  return std::string();
}

std::string LocateUserEnvFile(FileSystem* fs, const std::string& name, const std::string& argv0,
                              std::string* start_dir) {
  std::string result = LocateEnvFile(fs, name, argv0, start_dir);
  if (fs->IsFile(result) || name.empty() || name[0] == '/') return result;
  const std::string dir = UserConfigDir(getenv("XDG_CONFIG_HOME"), getenv("HOME"));
  if (dir.empty()) return result;
  const std::string candidate = AbsoluteFrom(dir, name);
  return fs->IsFile(candidate) ? candidate : result;
}

}  // namespace zk
