// Storing uploaded chunks and filling download requests inside a storage directory.
#include "server/transfer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "idl/chunk_layout.h"
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
  RemoveUploadFiles(area, temp);
}

// Removes the temporary files of `leftovers`: through `area` in the caller's own area, through the
// caller's root file system in any other.
void RemoveAll(FileSystem* area, const UploadCaller& caller,
               const std::vector<UploadLeftover>& leftovers) {
  for (const UploadLeftover& leftover : leftovers) {
    if (leftover.area == caller.area_dir) {
      RemoveUploadFiles(area, leftover.temp);
    } else if (caller.root) {
      RemoveLeftover(caller.root, leftover);
    }
  }
}

// The fileSize of a download reply: the 32-bit field says -1 for what it cannot carry.
void SetFileSize(ZKmd::zkStrctFileBuf& c, int64_t size) { c.fileSize = NarrowSize(size); }
void SetFileSize(ZKmd::zkStrctFileBuf64& c, int64_t size) { c.fileSize = size; }

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

// Each chunk's data read whole from `source`, into the chunk's own memory.
template <class Chunks>
void Copy(const ChunkSource& source, Chunks& chunks) {
  for (CORBA::ULong i = 0; i < chunks.length() && i < source.size(); ++i) {
    auto& c = chunks[i];
    const CORBA::ULong len = static_cast<CORBA::ULong>(source.Length(i));
    c.fileBuf.length(len);
    if (len > 0) std::memcpy(c.fileBuf.get_buffer(), source.Data(i), len);
  }
}

// The checks, with each chunk's data read whole.
template <class Chunks>
CORBA::Long Fill(FileSystem* area, Chunks& chunks, CORBA::Long* index) {
  ChunkSource source(nullptr, SIZE_MAX);
  CORBA::Long result = Open(area, chunks, index, &source);
  if (result != kTransferOk) return result;
  Copy(source, chunks);
  return kTransferOk;
}

}  // namespace

CORBA::Long StoreChunks(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
                        const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index) {
  *index = 0;
  ChunkStore store(area, uploads, caller);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const CORBA::Long result = store.Store(chunks[i]);
    if (result != kTransferOk) {
      *index = static_cast<CORBA::Long>(i + 1);
      return result;
    }
  }
  return kTransferOk;
}

ChunkStore::~ChunkStore() {
  Finish(&land_);
  // Chunks whose digests never came do not count.
  if (verified_ && !checked_) Rewind();
}

CORBA::Long ChunkStore::Locate(const char* path, const char* name, std::string* target,
                               std::string* dir) {
  if (!area_ || !ChunkPath(path, name, target) || NamePart(*target).empty()) {
    return kTransferFileFailed;
  }
  *dir = DirPart(*target);
  if (!dir->empty() && *dir != made_) {
    // A directory path that leads outside the area is refused like any such path (20); 21 is
    // for a directory that could not be made.
    const FsStatus made = area_->MakeDirs(*dir);
    if (!made) {
      return made.outside() ? kTransferFileFailed : kTransferDirFailed;
    }
    made_ = *dir;
  }
  return kTransferOk;
}

void ChunkStore::Receive(const char* path, const char* name, size_t len) {
  Finish(&land_);
  land_ = Landing();
  std::string target, dir;
  if (Locate(path, name, &target, &dir) != kTransferOk) return;  // Received fails it the same way
  land_.refused = !caller_.quota.Take(area_, target, 0, len);
  if (land_.refused) return;  // nothing written; Received refuses the chunk
  const UploadKey key{caller_.conn, caller_.area_dir, target};
  UploadTable::Progress at;
  uint64_t claim = 0;
  if (uploads_->Claim(key, &at, &claim)) {
    land_.file = area_->Open(at.temp, FileSystem::OpenMode::kWrite);
    if (land_.file) {
      land_.path = at.temp;
      land_.offset = at.length;
      land_.key = key;
      land_.claim = claim;
      land_.file_digest = at.digest;
      return;
    }
    uploads_->Unclaim(key, claim);
  }
  const std::string temp = (dir.empty() ? "" : dir + "/") + NewUploadTempName();
  land_.file = area_->Open(temp, FileSystem::OpenMode::kCreate);
  if (land_.file) {
    land_.path = temp;
    land_.fresh = true;
    land_.file_digest = NewFileDigest();
  }
}

void ChunkStore::Piece(const uint8_t* data, size_t n) {
  if (verified_) land_.digest.Update(data, n);
  if (land_.file_digest) {
    land_.file_digest->Add(land_.offset + static_cast<int64_t>(land_.received), data, n);
  }
  if (land_.file && !land_.failed && n > 0) {
    land_.tail_hole = IsAllZero(data, n);
    if (!land_.tail_hole) {
      const int64_t at = land_.offset + static_cast<int64_t>(land_.received);
      land_.failed = !land_.file->WriteAt(at, data, n);
    }
  }
  land_.received += n;
}

void ChunkStore::Finish(Landing* land) {
  land->file.reset();
  if (land->fresh) area_->RemoveFile(land->path);
  land->fresh = false;
  if (land->claim != 0) {
    // Written into an upload that did not take the chunk (it failed before, or its data did not
    // arrive whole): the upload gets its length back, or is given up.
    if (area_->Resize(land->path, land->offset)) {
      uploads_->Unclaim(land->key, land->claim);
    } else {
      GiveUp(area_, uploads_, land->key, land->path);
    }
  }
  land->claim = 0;
}

bool ChunkStore::Move(Landing* land, const std::string& temp) {
  std::unique_ptr<FileSystem::File> to = area_->Open(temp, FileSystem::OpenMode::kCreate);
  if (!to) return false;
  bool moved = land->file && !land->failed;
  std::shared_ptr<FileDigest> digest = NewFileDigest();  // the new upload's, from its first byte
  std::vector<uint8_t> piece(kChunkPieceBytes);
  for (size_t at = 0; moved && at < land->received; at += piece.size()) {
    const size_t n = std::min(piece.size(), land->received - at);
    size_t got = 0;
    moved = land->file->ReadAt(land->offset + static_cast<int64_t>(at), n, piece.data(), &got) &&
            got == n;
    if (moved && digest) digest->Add(static_cast<int64_t>(at), piece.data(), n);
    if (moved && !IsAllZero(piece.data(), n)) {
      moved = to->WriteAt(static_cast<int64_t>(at), piece.data(), n).ok();
    }
  }
  land->file_digest = std::move(digest);
  // The old file is no longer this chunk's: it is the given-up upload's, removed with it.
  land->file = std::move(to);
  land->path = temp;
  land->offset = 0;
  land->fresh = true;
  land->failed = !moved;
  return moved;
}

std::shared_ptr<FileDigest> ChunkStore::NewFileDigest() const {
  return caller_.digest ? std::make_shared<FileDigest>() : nullptr;
}

CORBA::Long ChunkStore::Store(const ZKmd::zkStrctFileBuf& c) {
  landed_digest_.clear();
  Step step;
  const CORBA::Long result = Continue(c, nullptr, &step);
  if (result != kTransferOk) return result;
  // A chunk of zeros is not written: the file gets its length at the end, with a hole there.
  const size_t len = c.fileBuf.length();
  if (!caller_.quota.Take(area_, step.target, c.bufNo == 1 ? c.fileSize : 0, len)) {
    return Refuse(step);
  }
  const CORBA::Octet* data = len ? c.fileBuf.get_buffer() : nullptr;
  const bool hole = len > 0 && IsAllZero(data, len);
  bool written = true;
  if (c.bufNo == 1) {
    written = area_->WriteAt(step.at.temp, true, 0, hole ? nullptr : data, hole ? 0 : len).ok();
  } else if (len > 0 && !hole) {
    written = area_->WriteAt(step.at.temp, false, step.at.length, data, len).ok();
  }
  if (!written) return Abandon(step);
  if (step.at.digest) step.at.digest->Add(step.at.length, data, len);  // zeros too
  const int64_t length = step.at.length + static_cast<int64_t>(len);
  uploads_->Stored(step.key, length);
  const bool own_digest = step.whole_in_memory && caller_.digest;
  Digest128 file_digest{};
  if (verified_) {
    Note(c, step, DigestOfChunk(step.at.length, data, len, &file_digest));
  } else if (own_digest) {
    file_digest = DigestOfBytes(data, len);
  }
  if (own_digest) landed_digest_ = DigestText(file_digest);
  return Complete(c, step, length, hole);
}

CORBA::Long ChunkStore::Received(const ZKmd::zkStrctFileBuf& c) {
  landed_digest_.clear();
  Step step;
  CORBA::Long result = Continue(c, &land_, &step);
  if (result == kTransferOk) {
    // Written where the upload stands, whole, and closed without an error.
    const bool written = land_.file && !land_.failed && land_.path == step.at.temp &&
                         land_.offset == step.at.length && land_.file->Close();
    land_.file.reset();
    if (!written) {
      land_.claim = 0;
      result = land_.refused ? Refuse(step) : Abandon(step);
    } else {
      const int64_t length = step.at.length + static_cast<int64_t>(land_.received);
      uploads_->Stored(step.key, length);
      if (land_.claim != 0) uploads_->Unclaim(step.key, land_.claim);
      land_.claim = 0;
      if (verified_) {
        land_.digest.Place(step.at.length);
        Note(c, step, land_.digest.Finish());
      }
      // The last chunk always sets the length: pieces of zeros were not written.
      result = Complete(c, step, length, true);
    }
  }
  Finish(&land_);
  return result;
}

CORBA::Long ChunkStore::Continue(const ZKmd::zkStrctFileBuf& c, Landing* land, Step* step) {
  std::string dir;
  const CORBA::Long located = Locate(c.filePath.in(), c.fileNm.in(), &step->target, &dir);
  if (located != kTransferOk) return located;
  step->key = UploadKey{caller_.conn, caller_.area_dir, step->target};
  step->whole_in_memory = !land && c.bufNo == 1 && !c.nextBuf;
  if (c.bufNo == 1 && !Begin(step, dir, land)) return kTransferFileFailed;
  std::vector<UploadLeftover> dropped;
  if (!uploads_->Next(step->key, c.bufNo, UploadTable::Clock::now(), &step->at, &dropped,
                      land ? land->claim : 0)) {
    // No upload of this file in progress on this connection, or one that expected another
    // chunk: nothing is appended to anything.
    RemoveAll(area_, caller_, dropped);
    if (land) land->claim = 0;  // given up, if it was claimed
    return kTransferFileFailed;
  }
  return kTransferOk;
}

bool ChunkStore::Begin(Step* step, const std::string& dir, Landing* land) {
  // The target must be a file or nothing, and inside the area.
  DirEntry st;
  const FsStatus there = area_->Stat(step->target, &st);
  if (there) {
    if (st.is_dir || st.is_special) return false;
  } else if (there.outside()) {
    return false;
  }
  step->target_absent = there.error == FsError::kNotFound;
  std::string temp;
  // The digest of the new upload's file: of the data received when it is this chunk's.
  std::shared_ptr<FileDigest> digest = land || step->whole_in_memory ? nullptr : NewFileDigest();
  if (land && land->fresh && land->file) {
    temp = land->path;  // the new file the data went to becomes the upload's
    digest = land->file_digest;
  } else {
    temp = (dir.empty() ? "" : dir + "/") + NewUploadTempName();
    // Written into an upload of this file in progress, which a first chunk gives up: the data
    // moves to the new upload's file first.
    if (land && land->file && Move(land, temp)) digest = land->file_digest;
  }
  RemoveAll(area_, caller_,
            uploads_->Begin(step->key, temp, caller_.socket, UploadTable::Clock::now(), digest));
  if (land && land->path == temp) land->fresh = false;  // the upload's now
  if (land) land->claim = 0;                            // that upload is gone
  return true;
}

CORBA::Long ChunkStore::Abandon(const Step& step) {
  GiveUp(area_, uploads_, step.key, step.at.temp);
  return kTransferFileFailed;
}

CORBA::Long ChunkStore::Refuse(const Step& step) {
  Abandon(step);
  caller_.quota.Freed(step.at.length);  // its temporary file is gone
  return kTransferQuotaFull;
}

CORBA::Long ChunkStore::Complete(const ZKmd::zkStrctFileBuf& c, const Step& step, int64_t length,
                                 bool hole) {
  if (c.nextBuf) return kTransferOk;
  if (step.at.digest) landed_digest_ = step.at.digest->Text(length);
  if (verified_) {
    // Whole, but not yet checked: its length and times now, while the rest of the request is
    // still to come; Verify only renames it.
    Unverified& u = stored_.back();
    if (hole && !area_->Resize(step.at.temp, length)) {
      stored_.pop_back();
      landed_digest_.clear();
      return Abandon(step);
    }
    ApplyTimes(area_, step.at.temp, c.updDt.in(), c.crtDt.in());
    u.last = true;
    // A file of one chunk whose target was not there a moment ago has nothing to hold open.
    if (!step.target_absent) PrepareRename(&u);
    uploads_->Finished(step.key);
    return kTransferOk;
  }
  if (!PutInPlace(step.at.temp, step.target, length, hole, c.updDt.in(), c.crtDt.in())) {
    landed_digest_.clear();
    return Abandon(step);
  }
  uploads_->End(step.key);
  return kTransferOk;
}

void ChunkStore::Note(const ZKmd::zkStrctFileBuf& c, const Step& step, const Digest128& digest) {
  Unverified u;
  u.digest = digest;
  u.key = step.key;
  u.temp = step.at.temp;
  u.target = step.target;
  u.no = c.bufNo;
  u.start = step.at.length;
  u.recorded = step.at.recorded;
  u.size = c.fileSize;
  u.upd = c.updDt.in();
  stored_.push_back(std::move(u));
}

bool ChunkStore::Land(Unverified* u) {
  if (!caller_.quota.Rename(area_, u->temp, u->target)) return false;
  if (u->replaced) replaced_.push_back(std::move(u->replaced));
  uploads_->End(u->key);
  if (u->recorded) area_->RemoveFile(KeptRecordName(u->temp));
  // A kept upload of the same file is of no use any more.
  KeptPart old;
  if (caller_.kept && caller_.kept->Drop(caller_.area_dir, u->target, &old)) {
    RemoveUploadFiles(area_, old.temp);
  }
  return true;
}

void ChunkStore::PrepareRename(Unverified* u) {
  if (!caller_.closing || held_ >= kMaxHeldReplaced) return;
  u->replaced = area_->Open(u->target, FileSystem::OpenMode::kRead);
  if (u->replaced) ++held_;
}

void ChunkStore::RecordUnfinished(size_t end) {
  for (size_t i = 0; i < end; ++i) {
    Unverified& u = stored_[i];
    // Once per upload: at its last chunk of the batch, when no record was written before.
    if (u.last || u.recorded || (i + 1 < end && stored_[i + 1].key.target == u.key.target)) {
      continue;
    }
    KeptPart part;
    part.area = caller_.area_dir;
    part.target = u.target;
    part.temp = u.temp;
    part.user = caller_.user;
    part.upd = u.upd;
    part.size = u.size;
    if (WriteKeptRecord(area_, part)) uploads_->Recorded(u.key, part);
  }
}

void ChunkStore::Rewind() {
  std::set<UploadKey> done;
  for (const Unverified& u : stored_) {
    if (!done.insert(u.key).second) continue;  // its first chunk here said where it stood
    if (u.no == 1) {
      GiveUp(area_, uploads_, u.key, u.temp);  // nothing of it was checked
      continue;
    }
    // Out of the table, it was given up (its file is gone) or kept meanwhile (its connection
    // ended): either way, what this store wrote goes.
    const bool in_table = uploads_->Rewind(u.key, u.start, u.no);
    if (!area_->Resize(u.temp, u.start) && in_table) GiveUp(area_, uploads_, u.key, u.temp);
    // A last chunk gave the file the source's time: a kept upload's time is that of its last
    // write, which its keeping is counted from.
    if (u.last && in_table) area_->SetWriteTime(u.temp, UnixNow());
  }
  stored_.clear();
}

bool ChunkStore::PutInPlace(const std::string& temp, const std::string& target, int64_t length,
                            bool hole, const char* upd, const char* crt) {
  bool done = !hole || area_->Resize(temp, length);
  if (done) ApplyTimes(area_, temp, upd, crt);
  return done && caller_.quota.Rename(area_, temp, target);
}

CORBA::Long ChunkStore::Verify(const uint8_t* digests, size_t len, CORBA::Long* index) {
  checked_ = true;
  const size_t sent = len / sizeof(Digest128);
  size_t bad = stored_.size();
  for (size_t i = 0; i < stored_.size() && bad == stored_.size(); ++i) {
    const uint8_t* d = digests + i * sizeof(Digest128);
    if (i >= sent || !std::equal(stored_[i].digest.begin(), stored_[i].digest.end(), d)) bad = i;
  }
  CORBA::Long result = bad < stored_.size() ? kTransferCorrupt : kTransferOk;
  if (result != kTransferOk) {
    PrintErr("WARNING:受信したデータが送信元と一致しなかったため、ファイルを保存しませんでした。(" +
             LogText(stored_[bad].target) + ")");
  }
  for (size_t i = 0; i < bad; ++i) {
    if (stored_[i].last && !Land(&stored_[i])) {
      bad = i;
      result = kTransferFileFailed;
    }
  }
  if (caller_.closing) caller_.closing->Take(std::move(replaced_));  // the files replaced
  RecordUnfinished(bad);
  GiveUpFrom(bad);
  *index = result == kTransferOk ? 0 : static_cast<CORBA::Long>(bad + 1);
  return result;
}

void ChunkStore::GiveUpFrom(size_t first) {
  for (size_t i = first; i < stored_.size(); ++i) {
    GiveUp(area_, uploads_, stored_[i].key, stored_[i].temp);
  }
  stored_.resize(std::min(first, stored_.size()));
}

namespace {

// A filled chunk of the reply: its bufUnitSize bytes of data, the times as the server writes them.
template <class Chunk>
int64_t FilledChunkBytes(const Chunk& c) {
  auto shape = ShapeOf(c);
  shape.updDt = kTimeTextLength;
  shape.crtDt = kTimeTextLength;
  shape.fileBuf = c.bufUnitSize > 0 ? static_cast<size_t>(c.bufUnitSize) : 0;
  return MaxChunkBytes(shape);
}

}  // namespace

int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c) { return FilledChunkBytes(c); }

int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf64& c) { return FilledChunkBytes(c); }

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

CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index) {
  return Fill(area, chunks, index);
}

CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index) {
  return Fill(area, chunks, index);
}

void CopyChunkData(const ChunkSource& source, ZKmd::zkSeqFileBuf& chunks) { Copy(source, chunks); }

void CopyChunkData(const ChunkSource& source, ZKmd::zkSeqFileBuf64& chunks) {
  Copy(source, chunks);
}

}  // namespace zk
