// Storing uploaded chunks and filling download requests inside a storage directory.
#include "server/transfer.h"

#include <sys/stat.h>

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

// A file name that is one directory entry: no separator, not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

// Resolves the chunks' paths of one batch inside the area. Chunks of a batch mostly share their
// directory, so each distinct directory is resolved (and its links checked) once; the file name
// is then only checked for being a link itself, which takes the full resolution.
class BatchPaths {
 public:
  explicit BatchPaths(const std::string& area) : area_(area) {}

  // `dir` is a wire directory (empty or ending in a separator) and `name` a file name; other
  // forms are resolved as their joined text. False when the path is refused.
  bool Resolve(const std::string& dir, const std::string& name, std::string* out) {
    if (area_.empty()) return false;
    if (!IsPlainName(name) || !(dir.empty() || EndsWithSeparator(dir))) {
      return ResolveInArea(area_, dir + name, out);
    }
    if (!cached_ || dir != dir_rel_) {
      cached_ = true;
      dir_rel_ = dir;
      dir_ok_ = ResolveInArea(area_, dir, &dir_real_);
      if (dir_ok_ && dir_real_.back() != '/') dir_real_ += '/';
    }
    if (!dir_ok_) return false;
    std::string path = dir_real_ + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return ResolveInArea(area_, dir + name, out);
    }
    *out = path;
    return true;
  }

  // Creates `dir` with its parents unless this batch did already.
  bool MakeDirs(FileSystem* fs, const std::string& dir) {
    if (dir == made_) return true;
    if (!fs->MakeDirs(dir)) return false;
    made_ = dir;
    return true;
  }

 private:
  std::string area_;
  bool cached_ = false;
  std::string dir_rel_, dir_real_;
  bool dir_ok_ = false;
  std::string made_;
};

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
  BatchPaths paths(area);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    const ZKmd::zkStrctFileBuf& c = chunks[i];
    std::string target;
    if (!paths.Resolve(c.filePath.in(), c.fileNm.in(), &target)) return kTransferFileFailed;
    std::string dir = DirPart(target);
    if (!dir.empty() && !paths.MakeDirs(fs, dir)) return kTransferDirFailed;
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
  BatchPaths paths(area);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    ZKmd::zkStrctFileBuf& c = chunks[i];
    // Lengths come from the network: never allocate more than one reply can carry.
    if (c.bufPos < 0 || c.bufUnitSize < 0) return kTransferFileFailed;
    reply_bytes += c.bufUnitSize;
    if (reply_bytes > kMaxMessageBytes) return kTransferFileFailed;

    std::string dir = c.filePath.in();
    if (!EndsWithSeparator(dir)) dir += "\\";
    std::string source;
    if (!paths.Resolve(dir, c.fileNm.in(), &source)) return kTransferFileFailed;
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
