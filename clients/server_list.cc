// Listings through zkFileList64, or zkFileList on a server without it.
#include "clients/server_list.h"

#include <cstring>
#include <stdexcept>

#include "idl/wire.h"

namespace zk {
namespace {

// The filled slots of either listing as entries.
template <class Slots>
void TakeEntries(const Slots& list, const ServerText& text, bool narrow,
                 std::vector<ListEntry>* out) {
  out->reserve(list.length());
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    const auto& e = list[i];
    if (e.fileNm.in() == nullptr || e.fileNm.in()[0] == '\0') continue;  // slot left unfilled
    ListEntry l;
    if (!text.In(e.fileNm.in(), &l.name)) continue;
    l.is_dir = e.fileType.in() != nullptr && std::strcmp(e.fileType.in(), kDirType) == 0;
    l.size = e.fileSize;
    l.narrow = narrow;
    l.upd = e.updDt.in() ? e.updDt.in() : "";
    out->push_back(std::move(l));
  }
}

}  // namespace

bool ListServer(ZKmd_ptr server, const ServerText& text, const std::string& user,
                const std::string& dir, const std::string& mask, const std::string& sort_key,
                WideOps* ops, std::vector<ListEntry>* out) {
  out->clear();
  std::string wire_dir, wire_mask;
  if (!text.Out(dir, &wire_dir) || !text.Out(mask, &wire_mask)) {
    throw std::runtime_error("server path");
  }
  CORBA::Long n = server->zkFileCount(user.c_str(), wire_dir.c_str(), wire_mask.c_str());
  if (n < 1) return false;
  const CORBA::ULong slots = static_cast<CORBA::ULong>(n);
  ops->Call(
      [&] {
        ZKmd::zkSeqFileLst64_var list = new ZKmd::zkSeqFileLst64;
        list->length(slots);
        server->zkFileList64(user.c_str(), wire_dir.c_str(), wire_mask.c_str(), sort_key.c_str(),
                             list.inout());
        TakeEntries(list.in(), text, false, out);
        return 0;
      },
      [&] {
        ZKmd::zkSeqFileLst_var list = new ZKmd::zkSeqFileLst;
        list->length(slots);
        server->zkFileList(user.c_str(), wire_dir.c_str(), wire_mask.c_str(), sort_key.c_str(),
                           list.inout());
        TakeEntries(list.in(), text, true, out);
        return 0;
      });
  return true;
}

}  // namespace zk
