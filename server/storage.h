// Users' storage areas on the server: the lookup of a user's directory, the area opened as a file
// system that no path can leave, and wire paths as paths of that file system. The server never
// touches anything outside the caller's storage directory.
#ifndef ZK_SERVER_STORAGE_H_
#define ZK_SERVER_STORAGE_H_

#include <memory>
#include <string>

#include "platform/fs.h"

namespace zk {

// The registered storage directory of `user_id` in native form, ending in "/", created in `fs`
// with its parents when missing (the directory itself owner-only). Returns false (and leaves *dir
// empty) when the user id has no registry row or no directory registered, or the registry cannot
// be read. The settings file stays open between lookups and is read again where it changed
// (settings/zkdb.h, UserReader), so a lookup costs no opening of the file.
bool GetUserStorageDir(FileSystem* fs, const std::string& env_file, const std::string& user_id,
                       std::string* dir);

// The same lookup without creating anything: for the server's own sweeps, which must not make
// areas that no request asked for (nor race an administrator who is replacing one).
bool RegisteredStorageDir(const std::string& env_file, const std::string& user_id,
                          std::string* dir);

// The storage area of `user_id` as a file system confined to it (`fs`->Beneath of the directory
// that GetUserStorageDir gives): every path is resolved inside the area when it is used, links that
// lead outside included. Null when the user has no area, or it cannot be opened or confined.
std::unique_ptr<FileSystem> OpenUserArea(FileSystem* fs, const std::string& env_file,
                                         const std::string& user_id);

// A wire path relative to the area ("\" or "/" separators; a leading separator, "" and "."
// components are only separators) as a path of the area's file system: "/" separators, a
// trailing separator kept, "" for the area itself. False for a path with a ".." component, or
// one that names the temporary file of an upload (server/uploads.h).
bool AreaRelativePath(const std::string& wire, std::string* rel);

}  // namespace zk

#endif  // ZK_SERVER_STORAGE_H_
