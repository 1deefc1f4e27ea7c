// What the upload and the download walk share: the state of one CopyWalk (counts, failure, the
// directories being walked) and its messages. Only the walks include this header.
#ifndef ZK_CLIENTS_WALK_PART_H_
#define ZK_CLIENTS_WALK_PART_H_

#include <cstdint>
#include <string>
#include <vector>

#include "clients/copy_walk.h"
#include "clients/server_list.h"
#include "idl/wire.h"
#include "platform/fs.h"

namespace zk {

inline constexpr char kListFailed[] = "ファイルリストの取得に失敗しました。(";
inline constexpr char kNotRegular[] = "WARNING:通常のファイルではないためコピーしません。(";
inline constexpr char kBackslashName[] = "ERROR:名前に「\\」を含むためコピーできません。(";
inline constexpr char kDownloadFailed[] = "ERROR:ダウンロードに失敗しました。(";
inline constexpr char kWriteFailed[] = "ERROR:ファイル書き込みに失敗しました。(";
inline constexpr char kDirFailed[] = "ERROR:ディレクトリを作成できませんでした。(";
// The server refused an upload that would take the user's area past its storage limit.
inline constexpr char kQuotaFull[] =
    "ERROR:格納ディレクトリの容量制限に達したため、アップロードできませんでした。(";
// A file whose data did not arrive as it was sent (its digest differs): sent once more, then,
// when it differs again, not copied.
inline constexpr char kResent[] =
    "WARNING:転送したデータが一致しなかったため、もう一度転送しました。(";
inline constexpr char kVerifyFailed[] =
    "ERROR:もう一度転送したデータも一致しなかったため、コピーできませんでした。(";
// A server without the 64-bit operations cannot describe a file of 2 GiB or more.
inline constexpr char kTooLargeForServer[] =
    "ERROR:サーバが2GB以上のファイルに対応していないため、コピーできません。(";
// More chunks than a chunk number can count (a file of 2 TB with a unit of 1 KB).
inline constexpr char kTooLargeForUnit[] =
    "ERROR:転送単位に対してファイルが大きすぎるため、コピーできません。(";

// One CopyWalk's state, shared by its two walks.
struct WalkState {
  FileSystem* fs = nullptr;
  CopyServer* server = nullptr;
  CopyMode mode = CopyMode::kReplace;
  int64_t unit = 0;
  CopyConsole console;
  int32_t copied = 0;
  int32_t unreadable = 0;
  bool failed = false;
  bool stopped = false;
  std::vector<std::string> walking;  // real paths of the local directories being walked
};

// The base of the two walks: the state under the names the walks use.
class WalkPart {
 protected:
  explicit WalkPart(WalkState* s)
      : fs_(s->fs),
        server_(s->server),
        mode_(s->mode),
        unit_(s->unit),
        console_(s->console),
        copied_(s->copied),
        unreadable_(s->unreadable),
        failed_(s->failed),
        stopped_(s->stopped),
        walking_(s->walking) {}

  // Reports a CORBA exception of a transfer request; a lost connection stops the walk.
  void TransferException(const CORBA::Exception& e);
  void Progress(const std::string& name, int64_t done, int64_t total);

  FileSystem* const fs_;
  CopyServer* const server_;
  const CopyMode mode_;
  const int64_t unit_;
  const CopyConsole& console_;
  int32_t& copied_;
  int32_t& unreadable_;
  bool& failed_;
  bool& stopped_;
  std::vector<std::string>& walking_;
};

// The name of the chunk a result index points at ("" when the server sent a bad index).
template <class Chunks>
std::string NameAt(const Chunks& chunks, CORBA::Long index) {
  if (index < 1 || static_cast<CORBA::ULong>(index) > chunks.length()) return std::string();
  return chunks[index - 1].fileNm.in();
}

}  // namespace zk

#endif  // ZK_CLIENTS_WALK_PART_H_
