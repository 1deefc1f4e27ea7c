// Storing uploaded chunks and filling download requests inside a storage directory.
#include "server/transfer.h"

#include <cerrno>
#include <cstring>

#include "platform/console.h"
#include "platform/timetext.h"
#include "server/connection_auth.h"
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

// The path in the area of the file `name` in the wire directory `dir`; false when refused.
bool ChunkPath(const std::string& dir, const std::string& name, std::string* rel) {
  return AreaRelativePath(dir + name, rel);
}

// Sets the last-write time of a finished upload from its time texts. Linux cannot set a
// creation time, so crtDt is only checked. A text that does not parse leaves the times alone.
void ApplyTimes(FileSystem* fs, const std::string& path, const char* upd, const char* crt) {
  int64_t mtime = 0, ctime = 0;
  bool upd_ok = ParseLocalTime(upd, &mtime);
  bool crt_ok = ParseLocalTime(crt, &ctime);
  if (!upd_ok || !crt_ok) {
    PrintErr(std::string("WARNING:ファイルの日時を解釈できませんでした。(") + LogText(path) + " " +
             LogText(upd_ok ? crt : upd) + ")");
  }
  if (upd_ok) fs->SetWriteTime(path, mtime);  // a failure leaves the times as written
}

}  // namespace

CORBA::Long StoreChunks(FileSystem* area, const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index) {
  *index = 0;
  std::string made;  // the directory this batch created last (chunks mostly share one)
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    const ZKmd::zkStrctFileBuf& c = chunks[i];
    std::string target;
    if (!area || !ChunkPath(c.filePath.in(), c.fileNm.in(), &target)) return kTransferFileFailed;
    std::string dir = DirPart(target);
    if (!dir.empty() && dir != made) {
      // A directory path that leads outside the area is refused like any such path (20); 21 is
      // for a directory that could not be made.
      if (!area->MakeDirs(dir)) {
        return errno == EXDEV || errno == ELOOP ? kTransferFileFailed : kTransferDirFailed;
      }
      made = dir;
    }
    const CORBA::Octet* data = c.fileBuf.length() ? c.fileBuf.get_buffer() : nullptr;
    if (!area->WriteAt(target, c.bufNo == 1, -1, data, c.fileBuf.length())) {
      return kTransferFileFailed;
    }
    if (!c.nextBuf) ApplyTimes(area, target, c.updDt.in(), c.crtDt.in());
  }
  *index = 0;
  return kTransferOk;
}

int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c) {
  // A text: its length, its bytes and terminator, up to three bytes of alignment. The times are
  // the server's own 19-character texts.
  auto text = [](size_t len) { return static_cast<int64_t>(4 + len + 1 + 3); };
  const int64_t fixed = 4 * 6 + 3;  // fileSize, data length, bufNo, nextBuf, bufPos,
                                    // bufUnitSize, and alignment after nextBuf
  return text(std::strlen(c.filePath.in())) + text(std::strlen(c.fileNm.in())) +
         2 * text(kTimeTextLength) + fixed + (c.bufUnitSize > 0 ? c.bufUnitSize : 0) + 3;
}

CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index) {
  *index = 0;
  int64_t reply_bytes = kReplyEnvelopeBytes;  // what the reply takes so far
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    ZKmd::zkStrctFileBuf& c = chunks[i];
    // Lengths come from the network: never allocate more than one reply can carry, headers
    // included (a reply that does not fit would end the connection, and the login with it).
    if (c.bufPos < 0 || c.bufUnitSize < 0) return kTransferFileFailed;
    reply_bytes += ChunkReplyBytes(c);
    if (reply_bytes > kMaxMessageBytes) return kTransferFileFailed;

    std::string dir = c.filePath.in();
    if (!EndsWithSeparator(dir)) dir += "\\";
    std::string source;
    if (!area || !ChunkPath(dir, c.fileNm.in(), &source)) return kTransferFileFailed;
    DirEntry entry;
    if (!area->Stat(source, &entry) || entry.is_dir) return kTransferFileFailed;

    size_t want = static_cast<size_t>(c.bufUnitSize);
    c.fileBuf.length(static_cast<CORBA::ULong>(want));
    size_t got = 0;
    if (want > 0 && !area->ReadAt(source, c.bufPos, want, c.fileBuf.get_buffer(), &got)) {
      return kTransferFileFailed;
    }
    if (want == 0 && !area->ReadAt(source, 0, 0, nullptr, &got)) return kTransferFileFailed;
    if (got < want) std::memset(c.fileBuf.get_buffer() + got, 0, want - got);

    c.fileSize = static_cast<CORBA::Long>(static_cast<uint32_t>(entry.size));
    c.updDt = FormatLocalTime(entry.mtime).c_str();
    c.crtDt = FormatLocalTime(entry.btime).c_str();
  }
  *index = 0;
  return kTransferOk;
}

}  // namespace zk
