// Storing uploaded chunks and filling download requests inside a storage directory.
#include "server/transfer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/console.h"
#include "platform/pathtext.h"
#include "platform/timetext.h"
#include "server/connection_auth.h"
#include "server/storage.h"

namespace zk {
namespace {

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

// An upload that cannot go on: forgotten, its temporary file removed.
void GiveUp(FileSystem* area, UploadTable* uploads, const UploadKey& key, const std::string& temp) {
  uploads->End(key);
  area->RemoveFile(temp);
}

// Removes the temporary files of `leftovers`: through `area` in the caller's own area, through the
// caller's root file system in any other.
void RemoveAll(FileSystem* area, const UploadCaller& caller,
               const std::vector<UploadLeftover>& leftovers) {
  for (const UploadLeftover& leftover : leftovers) {
    if (leftover.area == caller.area_dir) {
      area->RemoveFile(leftover.temp);
    } else if (caller.root) {
      RemoveLeftover(caller.root, leftover);
    }
  }
}

// Begins the upload of `key`, whose target is `target` in `dir`: 0, or 20 when something that is
// not a file stands in the target's place or the path leads outside the area.
CORBA::Long BeginUpload(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
                        const UploadKey& key, const std::string& dir, const std::string& target) {
  DirEntry st;
  if (area->Stat(target, &st)) {
    if (st.is_dir || st.is_special) return kTransferFileFailed;
  } else if (errno == EXDEV || errno == ELOOP) {
    return kTransferFileFailed;
  }
  const std::string temp = (dir.empty() ? "" : dir + "/") + NewUploadTempName();
  RemoveAll(area, caller, uploads->Begin(key, temp, caller.socket, UploadTable::Clock::now()));
  return kTransferOk;
}

// The fileSize of a download reply: the 32-bit field says -1 for what it cannot carry.
void SetFileSize(ZKmd::zkStrctFileBuf& c, int64_t size) { c.fileSize = NarrowSize(size); }
void SetFileSize(ZKmd::zkStrctFileBuf64& c, int64_t size) { c.fileSize = size; }

// A text in a reply: its length, its bytes and terminator, up to three bytes of alignment.
int64_t ReplyTextBytes(size_t len) { return static_cast<int64_t>(4 + len + 1 + 3); }

// Checks each request and opens its file in `source`: the one home of a download's rules.
template <class Chunks>
CORBA::Long Open(FileSystem* area, Chunks& chunks, CORBA::Long* index, ChunkSource* source) {
  *index = 0;
  int64_t reply_bytes = kReplyEnvelopeBytes;  // what the reply takes so far
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    auto& c = chunks[i];
    // Lengths come from the network: never allocate more than one reply can carry, headers
    // included (a reply that does not fit would end the connection, and the login with it).
    if (c.bufPos < 0 || c.bufUnitSize < 0) return kTransferFileFailed;
    reply_bytes += ChunkReplyBytes(c);
    if (reply_bytes > kMaxMessageBytes) return kTransferFileFailed;

    std::string dir = c.filePath.in();
    if (!EndsWithSeparator(dir)) dir += "\\";
    std::string source_path;
    if (!area || !ChunkPath(dir, c.fileNm.in(), &source_path)) return kTransferFileFailed;
    DirEntry entry;
    if (!source->Add(area, source_path, c.bufPos, static_cast<size_t>(c.bufUnitSize), &entry)) {
      return kTransferFileFailed;
    }
    c.fileBuf.length(0);
    SetFileSize(c, entry.size);
    c.updDt = FormatLocalTime(entry.mtime).c_str();
    c.crtDt = FormatLocalTime(entry.btime).c_str();
  }
  *index = 0;
  return kTransferOk;
}

// The checks, with each chunk's data read whole.
template <class Chunks>
CORBA::Long Fill(FileSystem* area, Chunks& chunks, CORBA::Long* index, ChunkArena* arena) {
  ChunkSource source(arena, SIZE_MAX);
  CORBA::Long result = Open(area, chunks, index, &source);
  if (result != kTransferOk) return result;
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    auto& c = chunks[i];
    const CORBA::ULong len = static_cast<CORBA::ULong>(source.Length(i));
    if (len == 0) continue;
    if (arena) {
      c.fileBuf.replace(len, len, const_cast<CORBA::Octet*>(source.Data(i)), false);
    } else {
      c.fileBuf.length(len);
      std::memcpy(c.fileBuf.get_buffer(), source.Data(i), len);
    }
  }
  return kTransferOk;
}

}  // namespace

CORBA::Long StoreChunks(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
                        const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index) {
  *index = 0;
  std::string made;  // the directory this batch created last (chunks mostly share one)
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    *index = static_cast<CORBA::Long>(i + 1);
    const ZKmd::zkStrctFileBuf& c = chunks[i];
    std::string target;
    if (!area || !ChunkPath(c.filePath.in(), c.fileNm.in(), &target) || NamePart(target).empty()) {
      return kTransferFileFailed;
    }
    std::string dir = DirPart(target);
    if (!dir.empty() && dir != made) {
      // A directory path that leads outside the area is refused like any such path (20); 21 is
      // for a directory that could not be made.
      if (!area->MakeDirs(dir)) {
        return errno == EXDEV || errno == ELOOP ? kTransferFileFailed : kTransferDirFailed;
      }
      made = dir;
    }

    const UploadKey key{caller.conn, caller.area_dir, target};
    const bool first = c.bufNo == 1;
    if (first) {
      CORBA::Long begun = BeginUpload(area, uploads, caller, key, dir, target);
      if (begun != kTransferOk) return begun;
    }
    UploadTable::Progress at;
    std::vector<UploadLeftover> dropped;
    if (!uploads->Next(key, c.bufNo, UploadTable::Clock::now(), &at, &dropped)) {
      // No upload of this file in progress on this connection, or one that expected another
      // chunk: nothing is appended to anything.
      RemoveAll(area, caller, dropped);
      return kTransferFileFailed;
    }

    // A chunk of zeros is not written: the file gets its length at the end, with a hole there.
    const size_t len = c.fileBuf.length();
    const CORBA::Octet* data = len ? c.fileBuf.get_buffer() : nullptr;
    const bool hole = len > 0 && IsAllZero(data, len);
    bool written = true;
    if (first) {
      written = area->WriteAt(at.temp, true, 0, hole ? nullptr : data, hole ? 0 : len);
    } else if (len > 0 && !hole) {
      written = area->WriteAt(at.temp, false, at.length, data, len);
    }
    if (!written) {
      GiveUp(area, uploads, key, at.temp);
      return kTransferFileFailed;
    }
    const int64_t length = at.length + static_cast<int64_t>(len);
    uploads->Stored(key, length);

    if (!c.nextBuf) {
      // Whole: its length (when it ends in a hole), its time, then in the target's place.
      bool done = !hole || area->Resize(at.temp, length);
      if (done) ApplyTimes(area, at.temp, c.updDt.in(), c.crtDt.in());
      done = done && area->Rename(at.temp, target);
      if (!done) {
        GiveUp(area, uploads, key, at.temp);
        return kTransferFileFailed;
      }
      uploads->End(key);
    }
  }
  *index = 0;
  return kTransferOk;
}

int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c) {
  // The times are the server's own 19-character texts.
  const int64_t fixed = 4 * 6 + 3;  // fileSize, data length, bufNo, nextBuf, bufPos,
                                    // bufUnitSize, and alignment after nextBuf
  return ReplyTextBytes(std::strlen(c.filePath.in())) + ReplyTextBytes(std::strlen(c.fileNm.in())) +
         2 * ReplyTextBytes(kTimeTextLength) + fixed + (c.bufUnitSize > 0 ? c.bufUnitSize : 0) + 3;
}

int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf64& c) {
  // fileSize and bufPos are eight bytes, each after up to four (seven) bytes of alignment.
  const int64_t fixed = (4 + 8) + 4 + 4 + 1 + (7 + 8) + 4;
  return ReplyTextBytes(std::strlen(c.filePath.in())) + ReplyTextBytes(std::strlen(c.fileNm.in())) +
         2 * ReplyTextBytes(kTimeTextLength) + fixed + (c.bufUnitSize > 0 ? c.bufUnitSize : 0) + 3;
}

bool ChunkSource::Add(FileSystem* area, const std::string& path, int64_t pos, size_t len,
                      DirEntry* entry) {
  if (files_.empty() || path != last_path_) {
    if (!files_.empty() && !last_held_) files_.pop_back();  // closed: no chunk needs it
    std::unique_ptr<FileSystem::File> file = area->Open(path, FileSystem::OpenMode::kRead);
    if (!file) return false;
    files_.push_back(std::move(file));
    last_path_ = path;
    last_held_ = false;
  }
  FileSystem::File* file = files_.back().get();
  if (!file->Stat(entry)) return false;
  // Held open for the reply, unless too many are held already (a batch of many files).
  if (len > stream_above_ && (last_held_ || held_ < kMaxHeldFiles)) {
    if (!last_held_) ++held_;
    last_held_ = true;
    parts_.push_back(Part{file, pos, len, nullptr});
    return true;
  }
  uint8_t* data = nullptr;
  if (len > 0 && arena_) {
    data = arena_->Alloc(len);
  } else if (len > 0) {
    owned_.emplace_back(new uint8_t[len]);
    data = owned_.back().get();
  }
  if (!ReadFrom(file, pos, len, data)) return false;
  parts_.push_back(Part{nullptr, pos, len, data});
  return true;
}

bool ChunkSource::ReadFrom(FileSystem::File* file, int64_t pos, size_t len, void* buf) {
  size_t got = 0;
  if (len > 0 && !file->ReadAt(pos, len, buf, &got)) return false;
  if (got < len) std::memset(static_cast<char*>(buf) + got, 0, len - got);
  return true;
}

bool ChunkSource::Read(size_t i, size_t at, size_t len, void* buf) {
  const Part& part = parts_[i];
  if (part.data) {
    std::memcpy(buf, part.data + at, len);
    return true;
  }
  return part.file && ReadFrom(part.file, part.pos + static_cast<int64_t>(at), len, buf);
}

CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index,
                       ChunkSource* source) {
  return Open(area, chunks, index, source);
}

CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index,
                       ChunkSource* source) {
  return Open(area, chunks, index, source);
}

CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index,
                       ChunkArena* arena) {
  return Fill(area, chunks, index, arena);
}

CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index,
                       ChunkArena* arena) {
  return Fill(area, chunks, index, arena);
}

}  // namespace zk
