// The start-up rule of every program that reads an environment file: a name that exists
// relative to the starting directory becomes absolute; then the process moves to its own
// program directory (the directory part of argv[0]) for the rest of the run, so a name not
// found in the starting directory is looked up there.
#ifndef ZK_PLATFORM_STARTDIR_H_
#define ZK_PLATFORM_STARTDIR_H_

#include <string>

#include "platform/fs.h"

namespace zk {

// The process's current directory ("" when it cannot be read).
std::string CurrentDir();

// `path` made absolute against `base` (when not already absolute), with "." and ".." resolved
// lexically (links are not looked at): "../data/a.txt" from "/w/rel" is "/w/data/a.txt". A path
// that ends in "/", "." or ".." ends in "/". Pure text work.
std::string AbsoluteFrom(const std::string& base, const std::string& path);

// Changes to the directory part of argv0; nothing happens when it has none or the change fails.
void ChangeToProgramDir(const std::string& argv0);

// The folder where a user keeps the client tools' settings: `xdg_config_home` + "/zk" when it
// is an absolute path, else `home` + "/.config/zk"; "" when neither is absolute. The arguments
// are the values of XDG_CONFIG_HOME and HOME (null when unset).
std::string UserConfigDir(const char* xdg_config_home, const char* home);

// The whole rule, looking at `fs`: returns the environment file name as the rest of the run uses
// it and stores the starting directory in *start_dir (when given). Only a regular file counts as
// found: a folder of that name keeps the name as given.
std::string LocateEnvFile(FileSystem* fs, const std::string& name, const std::string& argv0,
                          std::string* start_dir = nullptr);

// The client tools' rule: LocateEnvFile, then, when nothing exists under the resulting name and
// `name` is relative, the same name in the user's settings folder (UserConfigDir of the
// environment). Returns that folder's file when it exists there, else LocateEnvFile's answer.
std::string LocateUserEnvFile(FileSystem* fs, const std::string& name, const std::string& argv0,
                              std::string* start_dir = nullptr);

}  // namespace zk

#endif  // ZK_PLATFORM_STARTDIR_H_
