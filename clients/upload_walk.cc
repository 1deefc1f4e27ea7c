// The walk from a local tree to the server.
#include "clients/upload_walk.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <set>

#include "clients/call_lane.h"
#include "idl/wire.h"
#include "platform/timetext.h"

namespace zk {
namespace {

// The real path of a local directory ("" when it cannot be resolved).
std::string RealDir(FileSystem* fs, const std::string& path) {
  std::string real;
  return fs->RealPath(path, &real) ? real : std::string();
}

}  // namespace

int UploadWalk::Run(const std::string& local_dir, const std::string& mask,
                    const std::string& server_dir) {
  int result = UploadLevel(local_dir, mask, server_dir);
  // The last batch ahead may have found files to send once more.
  FinishAhead();
  UploadBatch again(unit_);
  RetryCorrupt(&again);
  retries_.clear();  // when the walk stopped
  source_.Close();
  return stopped_ ? kExitFail : result;
}

int UploadWalk::UploadLevel(const std::string& local_dir, const std::string& mask,
                            const std::string& server_dir) {
  std::vector<ListEntry> listing;
  try {
    listing = server_->List(server_dir, kEveryEntry);
  } catch (...) {  // a request through the ORB, which may raise more than CORBA's exceptions
    console_.err(kListFailed + server_dir + ")");
    return kExitFail;
  }
  NameIndex names(listing);
  UploadBatch pending(unit_);
  int result = kExitOk;
  walking_.push_back(RealDir(fs_, local_dir));
  try {
    std::vector<DirEntry> entries;
    fs_->Search(local_dir, mask, &entries);  // a directory that cannot be read holds nothing
    for (const DirEntry& e : entries) {
      if (stopped_) break;
      if (!CanUpload(local_dir, e)) continue;
      if (!e.is_dir) {
        UploadFile(local_dir, e, server_dir, names, &pending);
      } else if (!UploadSubdirectory(local_dir, e.name, server_dir, &pending)) {
        result = kExitFail;
        break;
      }
    }
    SendUpload(&pending);
    RetryCorrupt(&pending);  // those known by now
  } catch (const std::exception&) {  // the requests guard themselves; what is left is memory
    console_.err(kListFailed + local_dir + mask + ")");
    result = kExitFail;
  }
  walking_.pop_back();
  return stopped_ ? kExitFail : result;
}

void UploadWalk::RetryCorrupt(UploadBatch* pending) {
  while (!retries_.empty() && !stopped_) {
    std::vector<Retry> now;
    now.swap(retries_);
    for (const Retry& r : now) {
      resent_.insert(r.path);
      DirEntry e;
      bool queued = fs_->Stat(r.path, &e).ok();
      if (queued) {
        e.name = r.name;
        queued = QueueUpload(r.path, e, r.server_dir, pending);
      }
      if (!queued) {
        console_.err("WARNING:ファイルを開けませんでした。");
        ++unreadable_;
        failed_ = true;
      }
      if (stopped_) break;
    }
    // At once: a file sent again is reported before the walk goes on.
    SendUpload(pending, false);
  }
}

void UploadWalk::Corrupt(const ZKmd::zkStrctFileBuf& c, const std::string& path) {
  const std::string name = c.fileNm.in();
  if (resent_.count(path) == 0) {
    const bool queued = std::any_of(retries_.begin(), retries_.end(),
                                    [&](const Retry& r) { return r.path == path; });
    if (!queued) retries_.push_back(Retry{path, name, c.filePath.in()});
    return;
  }
  console_.err(kVerifyFailed + name + ")");
  failed_ = true;
}

bool UploadWalk::CanUpload(const std::string& local_dir, const DirEntry& e) {
  if (e.name.find('\\') != std::string::npos) {
    // "\" separates folders on the wire: the name would arrive as a path somewhere else.
    console_.err(kBackslashName + local_dir + e.name + ")");
    failed_ = true;
    return false;
  }
  if (e.is_special) {  // a pipe or device could block the copy for ever; never opened
    console_.err(kNotRegular + local_dir + e.name + ")");
    return false;
  }
  return true;
}

bool UploadWalk::UploadSubdirectory(const std::string& local_dir, const std::string& name,
                                    const std::string& server_dir, UploadBatch* pending) {
  // A link back to a directory being walked would repeat the tree without end.
  std::string real = RealDir(fs_, local_dir + name);
  if (!real.empty() && std::find(walking_.begin(), walking_.end(), real) != walking_.end()) {
    return true;
  }
  SendUpload(pending);
  return !stopped_ &&
         UploadLevel(local_dir + name + "/", kEveryEntry, server_dir + name + "\\") == kExitOk;
}

void UploadWalk::UploadFile(const std::string& local_dir, const DirEntry& e,
                            const std::string& server_dir, const NameIndex& names,
                            UploadBatch* pending) {
  const ListEntry* existing = mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name);
  if (!ShouldCopy(mode_, existing, e.size, FormatLocalTime(e.mtime))) return;
  std::string path = local_dir + e.name;
  if (ChunkCutter(e.size, unit_).count() > INT32_MAX) {
    console_.err(kTooLargeForUnit + path + ")");
    failed_ = true;
    return;
  }
  console_.out(path);
  if (!QueueUpload(path, e, server_dir, pending)) {
    console_.err("WARNING:ファイルを開けませんでした。");
    ++unreadable_;
    failed_ = true;
  }
}

bool UploadWalk::QueueUpload(const std::string& path, const DirEntry& file,
                             const std::string& server_dir, UploadBatch* pending) {
  if (file.size < 0) return false;
  // An empty file is only opened; any other is opened by the read of its first chunk.
  if (file.size == 0 && !source_.Get(fs_, path)) return false;
  const UploadHead head{server_dir, file.name, FormatLocalTime(file.mtime),
                        FormatLocalTime(file.btime), file.size};
  CORBA::ULong first = pending->length();  // this file's first chunk still pending
  ChunkCutter cutter(file.size, unit_);
  // A file of more than one batch may have been sent in part before.
  const int64_t from = file.size > unit_ ? ResumeFrom(path, head) : 0;
  if (from > 0) cutter.StartAt(from, kResumedChunkNo);
  ChunkSpan span;
  while (cutter.Next(&span)) {
    if (pending->MustSendBefore(head, span)) {
      const bool stored = SendUpload(pending);
      if (stopped_) return true;
      // The batch ended with this file's chunks: when not all were stored, the server has no
      // upload of it to continue (the failure was reported), and the rest is not sent.
      if (span.no > 1 && !stored) return true;
      first = 0;
    }
    uint8_t* data = nullptr;
    if (!ReadChunk(path, span, &data)) {
      // Unreadable after all: drop what is still pending of this file. Chunks of it that the
      // server already has are an upload it will never finish; the server removes such uploads
      // when the connection ends.
      pending->DropFrom(first);
      return false;
    }
    pending->Add(head, span, data, path);
    Progress(path, span.pos + span.len, file.size);
  }
  return true;
}

int64_t UploadWalk::ResumeFrom(const std::string& path, const UploadHead& head) {
  int64_t kept = 0;
  std::vector<Digest128> blocks;
  if (!server_->Kept(head.dir, head.name, head.size, head.upd, &kept, &blocks)) return 0;
  // As far as the blocks agree with the file as it is now.
  FileSystem::File* source = source_.Get(fs_, path);
  std::vector<Digest128> same;
  int64_t from = 0;
  if (source && kept <= head.size &&
      DigestBlocks(source, kept, kResumeBlockBytes, &same, &blocks)) {
    from = std::min(kept, static_cast<int64_t>(same.size()) * kResumeBlockBytes);
  }
  // From nothing, the server drops what it kept.
  return server_->Resume(head.dir, head.name, head.size, head.upd, from, kResumedChunkNo) ? from
                                                                                         : 0;
}

bool UploadWalk::ReadChunk(const std::string& path, const ChunkSpan& span, uint8_t** data) {
  // A chunk larger than a piece is read while it is sent; only its first piece is read now,
  // which finds a file that cannot be read.
  const size_t now = std::min(static_cast<size_t>(span.len), kChunkPieceBytes);
  if (now == 0) return true;
  *data = filling_->Alloc(now);
  size_t got = 0;
  FileSystem::File* source = source_.Get(fs_, path);
  if (!source || !source->ReadAt(span.pos, now, *data, &got)) return false;
  // A file that shrank meanwhile keeps its announced size, padded with zero bytes.
  if (got < now) std::memset(*data + got, 0, now - got);
  return true;
}

FileSystem::File* UploadWalk::SourceFile::Get(FileSystem* fs, const std::string& path) {
  if (!file_ || path_ != path) {
    file_.reset();
    path_ = path;
    file_ = fs->Open(path, FileSystem::OpenMode::kRead);
  }
  return file_.get();
}

// Reads the streamed chunks of an upload batch while it is sent, through the walk's one open
// source file; remembers which chunks it could not read.
class UploadWalk::UploadReader : public UploadSource {
 public:
  UploadReader(FileSystem* fs, const UploadBatch& batch, SourceFile* source)
      : fs_(fs), batch_(batch), source_(source) {}

  size_t StreamedLength(CORBA::ULong i) const override { return batch_.StreamedLength(i); }
  int64_t Position(CORBA::ULong i) const override { return batch_.streamed(i).pos; }

  bool Read(CORBA::ULong i, size_t offset, uint8_t* buf, size_t len) override {
    const UploadBatch::Streamed& s = batch_.streamed(i);
    if (offset + len <= kChunkPieceBytes) {  // read when it was queued
      std::memcpy(buf, s.first + offset, len);
      return true;
    }
    FileSystem::File* file = source_->Get(fs_, s.path);
    size_t got = 0;
    if (!file || !file->ReadAt(s.pos + static_cast<int64_t>(offset), len, buf, &got)) {
      failed_.insert(i);
      return false;
    }
    // A file that shrank meanwhile keeps its announced size, padded with zero bytes.
    if (got < len) std::memset(buf + got, 0, len - got);
    return true;
  }

  bool failed(CORBA::ULong i) const { return failed_.count(i) > 0; }

 private:
  FileSystem* fs_;
  const UploadBatch& batch_;
  SourceFile* source_;
  std::set<CORBA::ULong> failed_;
};

namespace {

// Which file chunk `i` of `chunks` belongs to.
std::string FileOf(const ZKmd::zkSeqFileBuf& chunks, CORBA::ULong i) {
  return std::string(chunks[i].filePath.in()) + '\n' + chunks[i].fileNm.in();
}

}  // namespace

bool UploadWalk::SendUpload(UploadBatch* pending, bool ahead) {
  if (pending->length() == 0) return false;
  if (ahead && CanGoAhead(*pending)) {
    SendAhead(pending);
    return true;
  }
  // Replies are taken in the order their batches were sent.
  FinishAhead();
  const bool last_stored = SendNow(*pending, &source_);
  pending->Clear();
  filling_->Reset();
  return last_stored;
}

bool UploadWalk::SendNow(const UploadBatch& batch, SourceFile* source) {
  if (batch.length() == 0 || stopped_) return false;
  ++batches_;
  try {
    UploadReader reader(fs_, batch, source);
    CORBA::Long index = 0;
    const CORBA::Long r = server_->Upload(batch.chunks(), &index, &reader);
    return Settle(batch, r, index, reader, source);
  } catch (const CORBA::Exception& e) {
    TransferException(e);
  } catch (...) {  // the ORB may raise more than CORBA's exceptions
    console_.err("Error LocalToServer");
    failed_ = true;
  }
  return false;
}

bool UploadWalk::Settle(const UploadBatch& batch, CORBA::Long r, CORBA::Long index,
                        const UploadReader& reader, SourceFile* source) {
  const ZKmd::zkSeqFileBuf& chunks = batch.chunks();
  const CORBA::ULong count = chunks.length();
  CORBA::ULong processed = count;
  // The server refused a chunk because its file failed to be read while it was sent, or because
  // its data differed from its digest.
  bool unread = false;
  bool corrupt = false;
  if (r != kTransferOk) {
    processed = index >= 1 ? std::min(static_cast<CORBA::ULong>(index - 1), count) : 0;
    unread =
        r == kTransferFileFailed && index >= 1 && processed < count && reader.failed(processed);
    corrupt = r == kTransferCorrupt && index >= 1 && processed < count;
    if (!unread && !corrupt) ReportRefused(r, NameAt(chunks, index));  // an unread one below
    if (!corrupt) failed_ = true;
  }
  // Files that failed to be read: unreadable, whatever the server made of them.
  std::set<std::string> unreadable;
  for (CORBA::ULong i = 0; i < std::min(count, processed + (unread ? 1 : 0)); ++i) {
    if (reader.failed(i) && unreadable.insert(FileOf(chunks, i)).second) {
      console_.err("WARNING:ファイルを開けませんでした。");
      ++unreadable_;
      failed_ = true;
    }
  }
  for (CORBA::ULong i = 0; i < processed; ++i) {
    if (chunks[i].nextBuf || unreadable.count(FileOf(chunks, i)) > 0) continue;
    if (resent_.count(batch.streamed(i).path) > 0) {
      console_.err(kResent + std::string(chunks[i].fileNm.in()) + ")");
    }
    ++copied_;
  }
  if (corrupt) Corrupt(chunks[processed], batch.streamed(processed).path);
  if (unread || corrupt) return UploadRestAfter(batch, processed, source);
  return processed == count && unreadable.count(FileOf(chunks, count - 1)) == 0;
}

// A batch sent ahead on the second connection: its chunks, their data in *arena, read through a
// source file of its own while the walk reads on; then the reply.
struct UploadWalk::Ahead {
  Ahead(FileSystem* fs, const UploadBatch& from, int64_t unit, ChunkArena* data)
      : batch(unit), arena(data), reader(fs, batch, &source) {
    for (CORBA::ULong i = 0; i < from.length(); ++i) batch.AddFrom(from, i);
  }
  UploadBatch batch;
  ChunkArena* arena;
  SourceFile source;
  UploadReader reader;
  CORBA::Long result = 0;
  CORBA::Long index = 0;
};

UploadWalk::UploadWalk(WalkState* state) : WalkPart(state) {}

UploadWalk::~UploadWalk() { lane_.reset(); }  // a call still running ends before its batch

bool UploadWalk::CanGoAhead(const UploadBatch& pending) {
  // Two batches of many small files are in memory at once, not two of a large unit.
  constexpr int64_t kAheadBytes = 64LL * 1024 * 1024;
  if (stopped_ || !pending.WholeFiles() || pending.data_bytes() > kAheadBytes) return false;
  if (!lane_) {
    // The second connection is a login of its own: not for a copy of a batch or two.
    if (lane_tried_ || batches_ < 2) return false;
    lane_tried_ = true;
    second_ = server_->Second();
    if (!second_) return false;
    lane_.reset(new CallLane);
  }
  return true;
}

void UploadWalk::SendAhead(UploadBatch* pending) {
  FinishAhead();
  if (!stopped_) {
    ++batches_;
    ahead_.reset(new Ahead(fs_, *pending, unit_, filling_));
    filling_ = filling_ == &arena_a_ ? &arena_b_ : &arena_a_;
    Ahead* a = ahead_.get();
    CopyServer* second = second_;
    lane_->Start(
        [a, second] { a->result = second->Upload(a->batch.chunks(), &a->index, &a->reader); });
  }
  pending->Clear();
  filling_->Reset();  // sent from the other arena, or not at all
}

void UploadWalk::FinishAhead() {
  if (!ahead_) return;
  const std::unique_ptr<Ahead> a = std::move(ahead_);
  try {
    lane_->Finish();
    // Its files are read through its own source file: the walk's may be holding the file it is
    // queueing, read again by the next batch.
    Settle(a->batch, a->result, a->index, a->reader, &a->source);
  } catch (const CORBA::Exception& e) {
    TransferException(e);
  } catch (...) {  // the ORB may raise more than CORBA's exceptions
    console_.err("Error LocalToServer");
    failed_ = true;
  }
  a->arena->Reset();
}

void UploadWalk::ReportRefused(CORBA::Long result, const std::string& name) {
  if (result == kTransferDirFailed) {
    console_.err(kDirFailed + name + ")");
  } else if (result == kTransferQuotaFull) {
    console_.err(kQuotaFull + name + ")");
  } else {
    console_.err("ERROR:アップロードに失敗しました。(" + name + ")");
  }
}

bool UploadWalk::UploadRestAfter(const UploadBatch& pending, CORBA::ULong refused,
                                 SourceFile* source) {
  // The server took nothing after the refused chunk: the chunks of other files after it are sent
  // again; the rest of the refused file is dropped.
  const ZKmd::zkSeqFileBuf& chunks = pending.chunks();
  const CORBA::ULong count = chunks.length();
  const std::string bad = FileOf(chunks, refused);
  UploadBatch again(unit_);
  for (CORBA::ULong i = refused + 1; i < count; ++i) {
    // The data stays in the arena until this batch ends.
    if (FileOf(chunks, i) != bad) again.AddFrom(pending, i);
  }
  // On the walk's own connection, at once: its data is that of `pending`, which is being settled.
  return FileOf(chunks, count - 1) != bad && SendNow(again, source);
}

}  // namespace zk
