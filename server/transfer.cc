// Storing uploaded chunks and filling download requests inside a storage directory.
#include "server/transfer.h"

#include <cstring>

#include "platform/console.h"
#include "platform/timetext.h"
#include "server/storage.h"

namespace zk {
namespace {

bool EndsWithSeparator(const std::string& s) {
  return !s.empty() && (s.back() == '\\' || s.back() == '/');
}

// The directory part of a native path ("" when it has none).
std::string DirPart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Sets the last-write time of a finished upload from its time texts. Linux cannot set a
// creation time, so crtDt is only checked. A text that does not parse leaves the times alone.
void ApplyTimes(FileSystem* fs, const std::string& path, const char* upd, const char* crt) {
  int64_t mtime = 0, ctime = 0;
  bool upd_ok = ParseLocalTime(upd, &mtime);
  bool crt_ok = ParseLocalTime(crt, &ctime);
  if (!upd_ok || !crt_ok) {
    PrintErr(std::string("WARNING:ファイルの日時を解釈できませんでした。(") + path + " " +
             (upd_ok ? crt : upd) + ")");
  }
  if (upd_ok) fs->SetWriteTime(path, mtime);  // a failure leaves the times as written
}

}  // namespace

CORBA::Long StoreChunks(FileSystem* fs, const std::string& area, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long* index) {
  *index = 0;
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    const ZKmd::zkStrctFileBuf& c = chunks[i];
    std::string target;
    if (area.empty() ||
        !ResolveInArea(area, std::string(c.filePath.in()) + c.fileNm.in(), &target)) {
      return kTransferFileFailed;
    }
    std::string dir = DirPart(target);
    if (!dir.empty() && !fs->MakeDirs(dir)) return kTransferDirFailed;
    const CORBA::Octet* data = c.fileBuf.length() ? c.fileBuf.get_buffer() : nullptr;
    if (!fs->WriteAt(target, c.bufNo == 1, -1, data, c.fileBuf.length())) {
      return kTransferFileFailed;
    }
    if (!c.nextBuf) ApplyTimes(fs, target, c.updDt.in(), c.crtDt.in());
  }
  *index = 0;
  return kTransferOk;
}

CORBA::Long FillChunks(FileSystem* fs, const std::string& area, ZKmd::zkSeqFileBuf& chunks,
                       CORBA::Long* index) {
  *index = 0;
  int64_t reply_bytes = 0;  // file data of this reply so far
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    ZKmd::zkStrctFileBuf& c = chunks[i];
    // Lengths come from the network: never allocate more than one reply can carry.
    if (c.bufPos < 0 || c.bufUnitSize < 0) return kTransferFileFailed;
    reply_bytes += c.bufUnitSize;
    if (reply_bytes > kMaxMessageBytes) return kTransferFileFailed;

    std::string rel = c.filePath.in();
    if (!EndsWithSeparator(rel)) rel += "\\";
    rel += c.fileNm.in();
    std::string source;
    if (area.empty() || !ResolveInArea(area, rel, &source)) return kTransferFileFailed;
    DirEntry entry;
    if (!fs->Stat(source, &entry) || entry.is_dir) return kTransferFileFailed;

    size_t want = static_cast<size_t>(c.bufUnitSize);
    c.fileBuf.length(static_cast<CORBA::ULong>(want));
    size_t got = 0;
    if (want > 0 && !fs->ReadAt(source, c.bufPos, want, c.fileBuf.get_buffer(), &got)) {
      return kTransferFileFailed;
    }
    if (want == 0 && !fs->ReadAt(source, 0, 0, nullptr, &got)) return kTransferFileFailed;
    if (got < want) std::memset(c.fileBuf.get_buffer() + got, 0, want - got);

    c.fileSize = static_cast<CORBA::Long>(static_cast<uint32_t>(entry.size));
    c.updDt = FormatLocalTime(entry.mtime).c_str();
    c.crtDt = FormatLocalTime(entry.btime).c_str();
  }
  *index = 0;
  return kTransferOk;
}

}  // namespace zk
