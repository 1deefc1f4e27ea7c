// Users' storage areas on the server: the lookup of a user's directory and the join of a wire
// path onto it. The server never touches anything outside the caller's storage directory.
#ifndef ZK_SERVER_STORAGE_H_
#define ZK_SERVER_STORAGE_H_

#include <string>

namespace zk {

// The registered storage directory of `user_id` in native form, ending in "/", created with its
// parents when missing. Returns false (and leaves *dir empty) when the user id has no registry
// row or no directory registered.
bool GetUserStorageDir(const std::string& env_file, const std::string& user_id, std::string* dir);

// Joins `area` (ending in "/") and a wire path relative to it ("\" or "/" separators; a leading
// separator is only a separator). Refuses (returns false) a path with a ".." component and a path
// that leads outside the area through a symbolic link. *out has "/" separators; a trailing
// separator of `rel` is kept.
bool ResolveInArea(const std::string& area, const std::string& rel, std::string* out);

// True when the native path `path`, an existing entry found inside `area`, stays inside it once
// symbolic links are followed (false for a link that leads outside or does not resolve).
bool StaysInArea(const std::string& area, const std::string& path);

}  // namespace zk

#endif  // ZK_SERVER_STORAGE_H_
