// The console lines of zkls and zkrm: sort-order codes, listing lines, summaries and the server
// paths of listed entries. Pure text; widths are display columns (see platform/text.h).
#ifndef ZK_CLIENTS_LISTING_TEXT_H_
#define ZK_CLIENTS_LISTING_TEXT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zk {

// The sort-order code sent for the -o values given, in order: "N" kSortByName, "G"
// kSortDirsFirst, "F" kSortByBaseName, "S" kSortBySize, "D" kSortByTime (letters in either case). A
// value that is none of these is ignored and the code stays what it was; "" when no value counts.
std::string SortCodeOf(const std::vector<std::string>& values);

// The heading's middle line: " " + directory + "のディレクトリ".
std::string HeadingLine(const std::string& server_dir);
// One entry: time (left, 20), kDirType (left, 17) or the grouped size (right, 17), " ", name.
std::string EntryLine(const std::string& upd_dt, bool is_dir, int64_t size,
                      const std::string& name);
// "       N 個のファイル      TOTAL バイト" and "       N 個のディレクトリ  ".
std::string FileSummaryLine(int32_t files, int64_t bytes);
std::string DirSummaryLine(int32_t dirs);
// "       N 個のディレクトリ・ファイルを削除しました。"
std::string RemoveSummaryLine(int32_t removed);

// The wire path of an entry listed in `server_dir`: the directory, "\" unless it ends in one,
// then the name.
std::string EntryPath(const std::string& server_dir, const std::string& name);

}  // namespace zk

#endif  // ZK_CLIENTS_LISTING_TEXT_H_
