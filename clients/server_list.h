// Listings of the user's area as the client tools fetch them, and which listing and download
// operations the server has: those with 64-bit sizes and offsets (zkFileList64, zkFileDownload64),
// or, on a server of an earlier version, only zkFileList and zkFileDownload, whose 32-bit fields
// cannot describe a file of 2 GiB or more.
#ifndef ZK_CLIENTS_SERVER_LIST_H_
#define ZK_CLIENTS_SERVER_LIST_H_

#include <string>
#include <vector>

#include "clients/copy_plan.h"
#include "clients/server_text.h"
#include "idl/orb.h"

namespace zk {

// A server without an operation answers BAD_OPERATION. The first call that needs the 64-bit
// operations finds out whether the server has them, and the session keeps the answer: one
// refused call per session at most, never one per batch.
class WideOps {
 public:
  // Calls `wide` unless the server is known to lack the 64-bit operations, else (and right after
  // `wide` met BAD_OPERATION on a server not known to have them) `narrow`.
  template <class Wide, class Narrow>
  auto Call(const Wide& wide, const Narrow& narrow) -> decltype(wide()) {
    if (state_ != State::kNarrow) {
      try {
        auto result = wide();
        state_ = State::kWide;
        return result;
      } catch (const CORBA::BAD_OPERATION&) {
        if (state_ == State::kWide) throw;  // it has them: the request itself failed
        state_ = State::kNarrow;
      }
    }
    return narrow();
  }
  // True once the server is known to lack the 64-bit operations.
  bool narrow() const { return state_ == State::kNarrow; }
  // From now on `narrow`, as for a server without them.
  void UseNarrow() { state_ = State::kNarrow; }

 private:
  enum class State { kUnknown, kWide, kNarrow };
  State state_ = State::kUnknown;
};

// The entries of server directory `dir` matching `mask` (UTF-8; sent in the wire code of
// `text`) in the order of `sort_key`: zkFileCount, then, when it counted any, zkFileList64 (or
// zkFileList, its sizes marked narrow) with that many slots. Slots the server left empty are
// dropped, and names that cannot be read are left out with a warning. Returns false when the
// count was 0 (no listing was asked for). Failures of the requests are thrown (CORBA exceptions),
// as is a directory or mask that cannot be written in the wire code (std::runtime_error).
bool ListServer(ZKmd_ptr server, const ServerText& text, const std::string& user,
                const std::string& dir, const std::string& mask, const std::string& sort_key,
                WideOps* ops, std::vector<ListEntry>* out);

}  // namespace zk

#endif  // ZK_CLIENTS_SERVER_LIST_H_
