// zkquota's pieces that touch neither the settings file nor the console: the limit as typed, and
// the lines that show a limit and an area's use.
//
//   int64_t bytes;
//   if (!ParseByteLimit("20G", &bytes)) ...     // bytes == 20 * 1024^3
//   for (const std::string& line : QuotaLines("u1", bytes, use)) PrintOut(line);
#ifndef ZK_ADMIN_QUOTA_H_
#define ZK_ADMIN_QUOTA_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zk {

// A limit as typed: decimal digits with an optional suffix K, M, G or T (either case), each a
// power of 1024. False for anything else (empty, a sign, blanks, a fraction, another suffix) and
// for a number of bytes beyond 64 bits. "0" (with or without a suffix) is 0, no limit.
bool ParseByteLimit(const std::string& text, int64_t* bytes);

// The limit's line ("  容量制限 :1,073,741,824 バイト", or "なし" for 0).
std::string LimitLine(int64_t limit);
// What zkquota shows for a user: the user id, the limit and the area's use in bytes.
std::vector<std::string> QuotaLines(const std::string& user_id, int64_t limit, int64_t use);

// The storage directory registered as `registered` (either separator, trailing one or not) as
// the native path of the directory itself ("/" for the root).
std::string NativeStorageDir(const std::string& registered);

}  // namespace zk

#endif  // ZK_ADMIN_QUOTA_H_
