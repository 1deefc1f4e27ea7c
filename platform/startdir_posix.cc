// Starting directory, program directory and existence tests over POSIX calls.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/startdir.h"

namespace zk {

std::string CurrentDir() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof(buf)) ? std::string(buf) : std::string();
}

std::string AbsoluteFrom(const std::string& base, const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string rel = path;
  while (rel.size() >= 2 && rel[0] == '.' && rel[1] == '/') rel.erase(0, 2);
  if (rel == ".") rel.clear();
  if (base.empty()) return rel;
  std::string out = base;
  if (out.back() != '/') out.push_back('/');
  return out + rel;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ChangeToProgramDir(const std::string& argv0) {
  size_t slash = argv0.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = slash == 0 ? "/" : argv0.substr(0, slash);
  if (chdir(dir.c_str()) != 0) {
    // The directory stays as it was.
  }
}

std::string LocateEnvFile(const std::string& name, const std::string& argv0,
                          std::string* start_dir) {
  std::string start = CurrentDir();
  if (start_dir) *start_dir = start;
  std::string result = name;
  if (PathExists(name)) result = AbsoluteFrom(start, name);
  ChangeToProgramDir(argv0);
  return result;
}

std::string UserConfigDir(const char* xdg_config_home, const char* home) {
  if (xdg_config_home && xdg_config_home[0] == '/') return AbsoluteFrom(xdg_config_home, "zk");
  if (home && home[0] == '/') return AbsoluteFrom(home, ".config/zk");
  return std::string();
}

std::string LocateUserEnvFile(const std::string& name, const std::string& argv0,
                              std::string* start_dir) {
  std::string result = LocateEnvFile(name, argv0, start_dir);
  if (PathExists(result) || name.empty() || name[0] == '/') return result;
  const std::string dir = UserConfigDir(getenv("XDG_CONFIG_HOME"), getenv("HOME"));
  if (dir.empty()) return result;
  const std::string candidate = AbsoluteFrom(dir, name);
  return PathExists(candidate) ? candidate : result;
}

}  // namespace zk
