// The directory walks of zkcp and the ZKmd requests they make.
#include "clients/copy_walk.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_set>

#include "clients/progress.h"
#include "idl/chunk_wire.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/pathtext.h"
#include "platform/process.h"
#include "platform/timetext.h"

namespace zk {
namespace {

const char kListFailed[] = "ファイルリストの取得に失敗しました。(";
const char kNotRegular[] = "WARNING:通常のファイルではないためコピーしません。(";
const char kBackslashName[] = "ERROR:名前に「\\」を含むためコピーできません。(";
const char kDownloadFailed[] = "ERROR:ダウンロードに失敗しました。(";
const char kWriteFailed[] = "ERROR:ファイル書き込みに失敗しました。(";
const char kDirFailed[] = "ERROR:ディレクトリを作成できませんでした。(";
// A server without the 64-bit operations cannot describe a file of 2 GiB or more.
const char kTooLargeForServer[] =
    "ERROR:サーバが2GB以上のファイルに対応していないため、コピーできません。(";
// More chunks than a chunk number can count (a file of 2 TB with a unit of 1 KB).
const char kTooLargeForUnit[] =
    "ERROR:転送単位に対してファイルが大きすぎるため、コピーできません。(";

const char kTempPrefix[] = ".zkcp-";
const char kTempSuffix[] = ".part";

// The name of the chunk a result index points at ("" when the server sent a bad index).
template <class Chunks>
std::string NameAt(const Chunks& chunks, CORBA::Long index) {
  if (index < 1 || static_cast<CORBA::ULong>(index) > chunks.length()) return std::string();
  return chunks[index - 1].fileNm.in();
}

// A name the server listed that is one entry of the local directory: no "/", not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The real path of a local directory ("" when it cannot be resolved).
std::string RealDir(FileSystem* fs, const std::string& path) {
  std::string real;
  return fs->RealPath(path, &real) ? real : std::string();
}

// A listing entry for a local directory entry.
ListEntry FromDirEntry(const DirEntry& e) {
  ListEntry l;
  l.name = e.name;
  l.is_dir = e.is_dir;
  l.size = e.size;
  l.upd = FormatLocalTime(e.mtime);
  return l;
}

// True for the exceptions that say the server can no longer be reached on this session's
// connection (it went away, or the connection broke): every further request would fail too, and
// the login is gone with the connection.
bool LostConnection(const CORBA::Exception& e) {
  return CORBA::TRANSIENT::_downcast(&e) != nullptr ||
         CORBA::COMM_FAILURE::_downcast(&e) != nullptr ||
         CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr;
}

}  // namespace

std::string DownloadTempName(int pid, uint64_t serial) {
  return kTempPrefix + std::to_string(pid) + "-" + std::to_string(serial) + kTempSuffix;
}

bool IsDownloadTempName(const std::string& name, int* pid) {
  const size_t prefix = sizeof(kTempPrefix) - 1, suffix = sizeof(kTempSuffix) - 1;
  if (name.size() <= prefix + suffix || name.compare(0, prefix, kTempPrefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kTempSuffix) != 0) {
    return false;
  }
  const std::string middle = name.substr(prefix, name.size() - prefix - suffix);
  size_t dash = middle.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size() || dash > 9) return false;
  for (size_t i = 0; i < middle.size(); ++i) {
    if (i != dash && (middle[i] < '0' || middle[i] > '9')) return false;
  }
  *pid = std::atoi(middle.substr(0, dash).c_str());
  return *pid > 0;
}

std::vector<ListEntry> ZKmdCopyServer::List(const std::string& dir, const std::string& mask) {
  std::vector<ListEntry> out;
  ListServer(server_, text_, user_, dir, mask, kSortByName, &ops_, &out);
  return out;
}

CORBA::Long ZKmdCopyServer::Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                                   UploadSource* source) {
  // The chunks with their names in the wire code and their data where the walk put it, up to
  // the first chunk whose names have no wire form.
  const CORBA::ULong n = batch.length();
  ZKmd::zkSeqFileBuf chunks(n);
  CORBA::ULong good = 0;
  std::string path, name;
  for (; good < n; ++good) {
    const ZKmd::zkStrctFileBuf& in = batch[good];
    if (!text_.Out(in.filePath.in(), &path) || !text_.Out(in.fileNm.in(), &name)) break;
    chunks.length(good + 1);
    ZKmd::zkStrctFileBuf& c = chunks[good];
    c.filePath = path.c_str();
    c.fileNm = name.c_str();
    c.updDt = in.updDt;  // time texts are ASCII
    c.crtDt = in.crtDt;
    BorrowChunkData(in, &c);
  }
  CORBA::Long i = 0;
  CORBA::Long r =
      good == 0 ? 0 : UploadFrom(server_, user_.c_str(), chunks, &i, source, piece_.get());
  if (r == kTransferOk && good < n) {
    i = static_cast<CORBA::Long>(good + 1);
    r = kTransferFileFailed;
  }
  *index = i;
  return r;
}

CORBA::Long ZKmdCopyServer::Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                                     ChunkSink* sink) {
  // The requests name their files in the wire code; the walk writes the reply under its own
  // names, so only the reply's data and properties are used.
  ZKmd::zkSeqFileBuf64 wire = requests;  // no data: names, numbers and positions
  for (CORBA::ULong k = 0; k < wire.length(); ++k) {
    std::string path, name;
    if (!text_.Out(wire[k].filePath.in(), &path) || !text_.Out(wire[k].fileNm.in(), &name)) {
      *index = static_cast<CORBA::Long>(k + 1);
      return kTransferFileFailed;
    }
    wire[k].filePath = path.c_str();
    wire[k].fileNm = name.c_str();
  }
  return ops_.Call(
      [&] { return DownloadTo(server_, user_.c_str(), wire, index, sink, piece_.get()); },
      [&] { return DownloadNarrow(wire, index, sink); });
}

CORBA::Long ZKmdCopyServer::DownloadNarrow(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                                           ChunkSink* sink) {
  const CORBA::ULong n = requests.length();
  ZKmd::zkSeqFileBuf narrow(n);
  narrow.length(n);
  for (CORBA::ULong k = 0; k < n; ++k) {
    const ZKmd::zkStrctFileBuf64& from = requests[k];
    // The walk asks a server without the 64-bit operations for files below 2 GiB only.
    if (from.bufPos > 0x7fffffff) throw std::runtime_error("position beyond 32 bits");
    ZKmd::zkStrctFileBuf& to = narrow[k];
    to.filePath = from.filePath;
    to.fileNm = from.fileNm;
    to.fileSize = NarrowSize(from.fileSize);
    to.updDt = from.updDt;
    to.crtDt = from.crtDt;
    to.bufNo = from.bufNo;
    to.nextBuf = from.nextBuf;
    to.bufPos = static_cast<CORBA::Long>(from.bufPos);
    to.bufUnitSize = from.bufUnitSize;
  }
  CORBA::Long i = 0;
  CORBA::Long r = server_->zkFileDownload(user_.c_str(), narrow, i);
  *index = i;
  FeedChunks(r, narrow, sink);
  return r;
}

CopyServer* ZKmdCopyServer::Second() {
  if (open_second_ && !ops_.narrow()) {
    second_ref_ = open_second_();
    if (!CORBA::is_nil(second_ref_.in())) {
      second_.reset(new ZKmdCopyServer(second_ref_.in(), user_, text_));
      second_->ops_ = ops_;
    }
  }
  open_second_ = nullptr;
  return second_.get();
}

CopyConsole CopyConsole::Standard() {
  CopyConsole c;
  c.out = [](const std::string& s) { PrintOut(s); };
  c.err = [](const std::string& s) { PrintErr(s); };
  if (StatusLineAvailable()) {
    auto progress = std::make_shared<CopyProgress>(ShowStatus, StatusColumns());
    c.progress = [progress](const std::string& name, int64_t done, int64_t total) {
      progress->Update(name, done, total, CopyProgress::Clock::now());
    };
  }
  return c;
}

CopyWalk::CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit,
                   CopyConsole console)
    : fs_(fs), server_(server), mode_(mode), unit_(unit), console_(std::move(console)) {}

void CopyWalk::Progress(const std::string& name, int64_t done, int64_t total) {
  if (console_.progress) console_.progress(name, done, total);
}

void CopyWalk::TransferException(const CORBA::Exception& e) {
  console_.err("CORBA Exception: " + ExceptionText(e));
  failed_ = true;
  if (LostConnection(e)) stopped_ = true;
}

// ---- local tree to the server ----

int CopyWalk::ToServer(const std::string& local_dir, const std::string& mask,
                       const std::string& server_dir) {
  int result = UploadLevel(local_dir, mask, server_dir);
  source_.Close();
  return stopped_ ? kExitFail : result;
}

int CopyWalk::UploadLevel(const std::string& local_dir, const std::string& mask,
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
      if (e.name.find('\\') != std::string::npos) {
        // "\" separates folders on the wire: the name would arrive as a path somewhere else.
        console_.err(kBackslashName + local_dir + e.name + ")");
        failed_ = true;
        continue;
      }
      if (e.is_special) {  // a pipe or device could block the copy for ever; never opened
        console_.err(kNotRegular + local_dir + e.name + ")");
        continue;
      }
      if (e.is_dir) {
        // A link back to a directory being walked would repeat the tree without end.
        std::string real = RealDir(fs_, local_dir + e.name);
        if (!real.empty() && std::find(walking_.begin(), walking_.end(), real) != walking_.end()) {
          continue;
        }
        SendUpload(&pending);
        if (stopped_ || UploadLevel(local_dir + e.name + "/", kEveryEntry,
                                    server_dir + e.name + "\\") != kExitOk) {
          result = kExitFail;
          break;
        }
        continue;
      }
      const ListEntry* existing = mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name);
      if (!ShouldCopy(mode_, existing, e.size, FormatLocalTime(e.mtime))) continue;
      std::string path = local_dir + e.name;
      if (ChunkCutter(e.size, unit_).count() > INT32_MAX) {
        console_.err(kTooLargeForUnit + path + ")");
        failed_ = true;
        continue;
      }
      console_.out(path);
      if (!QueueUpload(path, e, server_dir, &pending)) {
        console_.err("WARNING:ファイルを開けませんでした。");
        ++unreadable_;
        failed_ = true;
      }
    }
    SendUpload(&pending);
  } catch (const std::exception&) {  // the requests guard themselves; what is left is memory
    console_.err(kListFailed + local_dir + mask + ")");
    result = kExitFail;
  }
  walking_.pop_back();
  return stopped_ ? kExitFail : result;
}

bool CopyWalk::QueueUpload(const std::string& path, const DirEntry& file,
                           const std::string& server_dir, UploadBatch* pending) {
  if (file.size < 0) return false;
  size_t got = 0;
  // An empty file is only opened; any other is opened by the read of its first chunk.
  if (file.size == 0 && !source_.Get(fs_, path)) return false;
  std::string upd = FormatLocalTime(file.mtime);
  std::string crt = FormatLocalTime(file.btime);
  int64_t header = ChunkHeaderBytes(server_dir, file.name, upd, crt);
  CORBA::ULong first = pending->chunks.length();  // this file's first chunk still pending
  ChunkCutter cutter(file.size, unit_);
  ChunkSpan span;
  while (cutter.Next(&span)) {
    if (pending->budget.MustSendBefore(span.len, header)) {
      const bool stored = SendUpload(pending);
      if (stopped_) return true;
      // The batch ended with this file's chunks: when not all were stored, the server has no
      // upload of it to continue (the failure was reported), and the rest is not sent.
      if (span.no > 1 && !stored) return true;
      first = 0;
    }
    CORBA::ULong n = pending->chunks.length();
    pending->chunks.length(n + 1);
    pending->streamed.resize(n + 1);
    ZKmd::zkStrctFileBuf& c = pending->chunks[n];
    c.filePath = server_dir.c_str();
    c.fileNm = file.name.c_str();
    c.fileSize = NarrowSize(file.size);  // the server does not use it
    c.updDt = upd.c_str();
    c.crtDt = crt.c_str();
    c.bufNo = span.no;
    c.nextBuf = span.next;
    c.bufPos = 0;
    c.bufUnitSize = 0;
    c.fileBuf.length(0);
    const size_t len = static_cast<size_t>(span.len);
    // A chunk larger than a piece is read while it is sent; only its first piece is read now,
    // which finds a file that cannot be read.
    const size_t now = std::min(len, kChunkPieceBytes);
    uint8_t* data = now > 0 ? upload_arena_.Alloc(now) : nullptr;
    if (now > 0) {
      FileSystem::File* source = source_.Get(fs_, path);
      if (!source || !source->ReadAt(span.pos, now, data, &got)) {
        // Unreadable after all: drop what is still pending of this file.
        pending->chunks.length(first);
        pending->streamed.resize(first);
        pending->budget.Clear();
        for (CORBA::ULong i = 0; i < first; ++i) {
          const ZKmd::zkStrctFileBuf& k = pending->chunks[i];
          pending->budget.Add(
              DataLength(*pending, i),
              ChunkHeaderBytes(k.filePath.in(), k.fileNm.in(), k.updDt.in(), k.crtDt.in()));
        }
        // Chunks of it that the server already has are an upload it will never finish; the
        // server removes such uploads when the connection ends.
        return false;
      }
      // A file that shrank meanwhile keeps its announced size, padded with zero bytes.
      if (got < now) std::memset(data + got, 0, now - got);
    }
    if (len > now) {
      pending->streamed[n] = Streamed{path, span.pos, len, data};
    } else if (len > 0) {
      const CORBA::ULong n32 = static_cast<CORBA::ULong>(len);
      c.fileBuf.replace(n32, n32, data, false);
    }
    pending->budget.Add(span.len, header);
    Progress(path, span.pos + span.len, file.size);
  }
  return true;
}

size_t CopyWalk::DataLength(const UploadBatch& pending, CORBA::ULong i) {
  const Streamed& s = pending.streamed[i];
  return s.path.empty() ? pending.chunks[i].fileBuf.length() : s.len;
}

FileSystem::File* CopyWalk::SourceFile::Get(FileSystem* fs, const std::string& path) {
  if (!file_ || path_ != path) {
    file_.reset();
    path_ = path;
    file_ = fs->Open(path, FileSystem::OpenMode::kRead);
  }
  return file_.get();
}

// Reads the streamed chunks of an upload batch while it is sent, through the walk's one open
// source file; remembers which chunks it could not read.
class CopyWalk::UploadReader : public UploadSource {
 public:
  UploadReader(FileSystem* fs, const UploadBatch& batch, SourceFile* source)
      : fs_(fs), batch_(batch), source_(source) {}

  size_t StreamedLength(CORBA::ULong i) const override {
    return i < batch_.streamed.size() && !batch_.streamed[i].path.empty() ? batch_.streamed[i].len
                                                                          : 0;
  }

  bool Read(CORBA::ULong i, size_t offset, uint8_t* buf, size_t len) override {
    const Streamed& s = batch_.streamed[i];
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

bool CopyWalk::SendUpload(UploadBatch* pending) {
  const CORBA::ULong count = pending->chunks.length();
  if (count == 0) return false;
  bool last_stored = false;
  if (!stopped_) {
    try {
      // Which file a chunk belongs to.
      auto file_of = [&](CORBA::ULong i) {
        return std::string(pending->chunks[i].filePath.in()) + '\n' +
               pending->chunks[i].fileNm.in();
      };
      UploadReader reader(fs_, *pending, &source_);
      CORBA::Long index = 0;
      CORBA::Long r = server_->Upload(pending->chunks, &index, &reader);
      CORBA::ULong processed = count;
      // The server refused a chunk because its file failed to be read while it was sent.
      bool unread = false;
      if (r != kTransferOk) {
        processed = index >= 1 ? std::min(static_cast<CORBA::ULong>(index - 1), count) : 0;
        unread =
            r == kTransferFileFailed && index >= 1 && processed < count && reader.failed(processed);
        if (unread) {
          // reported below
        } else if (r == kTransferDirFailed) {
          console_.err(kDirFailed + NameAt(pending->chunks, index) + ")");
        } else {
          console_.err("ERROR:アップロードに失敗しました。(" + NameAt(pending->chunks, index) +
                       ")");
        }
        failed_ = true;
      }
      // Files that failed to be read: unreadable, whatever the server made of them.
      std::set<std::string> unreadable;
      for (CORBA::ULong i = 0; i < std::min(count, processed + (unread ? 1 : 0)); ++i) {
        if (reader.failed(i) && unreadable.insert(file_of(i)).second) {
          console_.err("WARNING:ファイルを開けませんでした。");
          ++unreadable_;
          failed_ = true;
        }
      }
      for (CORBA::ULong i = 0; i < processed; ++i) {
        if (!pending->chunks[i].nextBuf && unreadable.count(file_of(i)) == 0) ++copied_;
      }
      last_stored = processed == count && unreadable.count(file_of(count - 1)) == 0;
      if (unread) {
        // The server took nothing after the refused chunk: the chunks of other files after it
        // are sent again; the rest of the unreadable file is dropped.
        const std::string bad = file_of(processed);
        UploadBatch again(unit_);
        for (CORBA::ULong i = processed + 1; i < count; ++i) {
          if (file_of(i) == bad) continue;
          const CORBA::ULong k = again.chunks.length();
          again.chunks.length(k + 1);
          // The data stays in the arena until this batch ends.
          BorrowChunk(pending->chunks[i], &again.chunks[k]);
          again.streamed.push_back(pending->streamed[i]);
          again.budget.Add(static_cast<int64_t>(DataLength(*pending, i)), 0);
        }
        last_stored = file_of(count - 1) != bad && SendUpload(&again);
      }
    } catch (const CORBA::Exception& e) {
      TransferException(e);
    } catch (...) {  // the ORB may raise more than CORBA's exceptions
      console_.err("Error LocalToServer");
      failed_ = true;
    }
  }
  pending->chunks.length(0);
  pending->streamed.clear();
  pending->budget.Clear();
  upload_arena_.Reset();
  return last_stored;
}

// ---- server tree to a local directory ----

int CopyWalk::FromServer(const std::string& server_dir, const std::string& mask,
                         const std::string& local_dir) {
  int result = DownloadLevel(server_dir, mask, local_dir);
  FinishAhead();
  // Whatever is still in progress (the walk stopped) will not be finished.
  while (!incoming_.empty()) GiveUpDownload(incoming_.begin()->first);
  return stopped_ ? kExitFail : result;
}

void CopyWalk::RemoveDownloadLeftovers(const std::string& local_dir,
                                       std::vector<DirEntry>* entries) {
  auto leftover = [&](const DirEntry& e) {
    int pid = 0;
    if (e.is_dir || !IsDownloadTempName(e.name, &pid)) return false;
    // This run's own, or that of another run still going: not a leftover.
    if (pid == OwnProcessId() || ProcessExists(pid)) return false;
    return fs_->RemoveFile(WithSlash(local_dir) + e.name);
  };
  entries->erase(std::remove_if(entries->begin(), entries->end(), leftover), entries->end());
}

int CopyWalk::DownloadLevel(const std::string& server_dir, const std::string& mask,
                            const std::string& local_dir) {
  std::vector<ListEntry> local;
  std::unordered_set<std::string> special;  // local pipes and devices: never written to
  try {
    std::vector<DirEntry> entries;
    fs_->Search(local_dir, kEveryEntry, &entries);  // a missing directory holds nothing yet
    RemoveDownloadLeftovers(local_dir, &entries);
    local.reserve(entries.size());
    for (const DirEntry& e : entries) {
      local.push_back(FromDirEntry(e));
      if (e.is_special) special.insert(e.name);
    }
  } catch (const std::exception&) {  // the local directory only: memory
    console_.err(kListFailed + local_dir + kEveryEntry + ")");
    return kExitFail;
  }
  NameIndex names(local);
  DownloadBatch pending(unit_);
  int result = kExitOk;
  try {
    std::vector<ListEntry> listing = server_->List(server_dir, mask);
    for (const ListEntry& e : listing) {
      FinishAhead();  // before anything is printed of the next entry
      if (stopped_) break;
      if (!IsPlainName(e.name)) {  // would land outside the destination directory
        console_.err(kDownloadFailed + e.name + ")");
        failed_ = true;
        continue;
      }
      if (e.is_dir) {
        SendDownload(&pending, local_dir);
        if (stopped_ || DownloadLevel(server_dir + e.name + "\\", kEveryEntry,
                                      local_dir + e.name + "/") != kExitOk) {
          result = kExitFail;
          break;
        }
        continue;
      }
      const ListEntry* existing = mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name);
      if (!ShouldCopy(mode_, existing, e.size, e.upd, e.narrow)) continue;
      if (special.count(e.name) > 0) {
        console_.err(kNotRegular + local_dir + e.name + ")");
        continue;
      }
      if (e.size < 0) {
        // A 32-bit listing of a file of 2 GiB or more: never copied short.
        console_.err(kTooLargeForServer + server_dir + e.name + ")");
        failed_ = true;
        continue;
      }
      if (ChunkCutter(e.size, unit_).count() > INT32_MAX) {
        console_.err(kTooLargeForUnit + server_dir + e.name + ")");
        failed_ = true;
        continue;
      }
      console_.out(server_dir + e.name);
      QueueDownload(e, server_dir, &pending, local_dir);
    }
    SendDownload(&pending, local_dir);
  } catch (...) {  // a listing through the ORB, which may raise more than CORBA's exceptions
    FinishAhead();
    console_.err(kListFailed + server_dir + ")");
    return kExitFail;
  }
  return stopped_ ? kExitFail : result;
}

void CopyWalk::QueueDownload(const ListEntry& file, const std::string& server_dir,
                             DownloadBatch* pending, const std::string& local_dir) {
  const std::string path = WithSlash(local_dir) + file.name;
  int64_t header = ChunkHeaderBytes(server_dir, file.name, "", "") +
                   2 * static_cast<int64_t>(kTimeTextLength) + 16;
  ChunkCutter cutter(file.size, unit_);
  ChunkSpan span;
  while (cutter.Next(&span)) {
    if (pending->budget.MustSendBefore(span.len, header)) {
      // Later chunks of this file: the walk goes on with the same file whatever the reply.
      if (span.no > 1) {
        SendDownloadAhead(pending, local_dir);
      } else {
        SendDownload(pending, local_dir);
      }
      // The chunks of this file sent so far were not all written: the rest is not asked for. A
      // batch of it sent ahead of that answer is dropped unheard, as if never asked for.
      if (span.no > 1 ? !FileGoesOn(path, file.name) : stopped_) {
        ahead_.reset();
        return;
      }
    }
    CORBA::ULong n = pending->chunks.length();
    pending->chunks.length(n + 1);
    ZKmd::zkStrctFileBuf64& c = pending->chunks[n];
    c.filePath = server_dir.c_str();
    c.fileNm = file.name.c_str();
    c.fileSize = 0;
    c.updDt = "";
    c.crtDt = "";
    c.bufNo = span.no;
    c.nextBuf = span.next;
    c.bufPos = span.pos;
    c.bufUnitSize = static_cast<CORBA::Long>(span.len);
    pending->budget.Add(span.len, header);
  }
  // After a batch sent ahead, the chunks queued since were queued before its reply was known; the
  // pending batch holds nothing else. They go only if that reply wrote its part of the file.
  if (ahead_) {
    FinishAhead();
    if (!FileGoesOn(path, file.name)) {
      pending->chunks.length(0);
      pending->budget.Clear();
    }
  }
}

// Writes a download reply while it arrives: each chunk's data, piece by piece, into the temporary
// file of its download, at the position the walk asked for (the reply's own names and numbers
// are not used). Pieces of zeros are not written, so that they stay holes. Nothing is written of
// a failed reply or of one with another number of chunks than asked for; a chunk of a file that
// changed on the server is not written; after a failure to write, nothing more is. What happened
// to each chunk is reported after the reply (FinishDownloaded), in the order of the chunks.
class CopyWalk::ReplyWriter : public ChunkSink {
 public:
  enum class Fate {
    kDropped,      // not looked at: a failed reply, or after a failure
    kWritten,      // written (or, all zeros, left as a hole)
    kNoDownload,   // its file's earlier chunks failed, and were reported then
    kReplaced,     // its file changed on the server since its first chunk
    kDirFailed,    // the local directory could not be made
    kWriteFailed,  // the temporary file could not be made, opened or written
  };
  struct Outcome {
    Fate fate = Fate::kDropped;
    size_t len = 0;          // data bytes taken (never more than asked for)
    bool short_end = false;  // the file does not reach the chunk's end yet (a hole there)
  };

  ReplyWriter(CopyWalk* walk, const ZKmd::zkSeqFileBuf64& requests, const std::string& local_dir)
      : walk_(walk), requests_(requests), base_(WithSlash(local_dir)) {}
  ~ReplyWriter() override { CloseFile(); }

  void Begin(CORBA::Long result, CORBA::ULong count) override {
    begun_ = true;
    result_ = result;
    accept_ = result == kTransferOk && count == requests_.length();
    outcomes_.assign(requests_.length(), Outcome());
  }

  bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char*,
                  size_t len) override {
    current_ = i;
    incoming_ = nullptr;
    if (!accept_ || halted_) return false;
    const ZKmd::zkStrctFileBuf64& c = requests_[i];
    const std::string path = base_ + c.fileNm.in();
    Outcome& out = outcomes_[i];
    out.len = std::min<size_t>(len, static_cast<size_t>(std::max<CORBA::Long>(c.bufUnitSize, 0)));
    if (c.bufNo == 1) {
      CloseFile();
      if (halted_) return false;  // closing the previous file failed
      const std::string dir = DirPart(path);
      if (!dir.empty() && !walk_->fs_->MakeDirs(dir)) return Halt(Fate::kDirFailed);
      walk_->GiveUpDownload(path);  // an earlier one of the same name that never finished
      Incoming in;
      in.temp =
          (dir.empty() ? "" : dir + "/") + DownloadTempName(OwnProcessId(), ++walk_->temp_serial_);
      in.size = file_size;
      in.upd = upd;
      file_ = walk_->fs_->Open(in.temp, FileSystem::OpenMode::kCreate);
      walk_->incoming_[path] = in;  // so that its file is removed when anything fails
      if (!file_) return Halt(Fate::kWriteFailed);
      file_path_ = path;
    } else {
      auto it = walk_->incoming_.find(path);
      if (it == walk_->incoming_.end()) {
        out.fate = Fate::kNoDownload;
        return false;
      }
      if (it->second.size != file_size || it->second.upd != upd) {
        // Replaced on the server while it was read: the parts would not make one file.
        out.fate = Fate::kReplaced;
        if (path == file_path_) CloseFile();
        walk_->GiveUpDownload(path);
        return false;
      }
      if (path != file_path_) {
        CloseFile();
        if (halted_) return false;  // closing the previous file failed
        file_ = walk_->fs_->Open(it->second.temp, FileSystem::OpenMode::kWrite);
        if (!file_) return Halt(Fate::kWriteFailed);
        file_path_ = path;
      }
    }
    out.fate = Fate::kWritten;
    file_chunk_ = i;
    incoming_ = &walk_->incoming_[path];
    pos_ = c.bufPos;
    return out.len > 0;
  }

  bool Piece(size_t offset, const uint8_t* data, size_t len) override {
    const size_t want = outcomes_[current_].len;
    if (!incoming_ || offset >= want) return false;
    len = std::min(len, want - offset);
    if (!IsAllZero(data, len)) {
      if (!file_->WriteAt(pos_ + static_cast<int64_t>(offset), data, len)) {
        Halt(Fate::kWriteFailed);
        return false;
      }
      incoming_->written_end =
          std::max(incoming_->written_end, pos_ + static_cast<int64_t>(offset + len));
    }
    return offset + len < want;
  }

  void ChunkEnd() override {
    if (!incoming_) return;
    Outcome& out = outcomes_[current_];
    out.short_end = incoming_->written_end < pos_ + static_cast<int64_t>(out.len);
    incoming_ = nullptr;
  }

  // Closes the file last written; a failure to close fails the chunk that last wrote to it.
  void CloseFile() {
    if (!file_) return;
    if (!file_->Close() && !halted_) {
      outcomes_[file_chunk_].fate = Fate::kWriteFailed;
      halted_ = true;
    }
    file_.reset();
    file_path_.clear();
  }

  // True when the reply came, succeeded and had a chunk for every request.
  bool accepted() const { return begun_ && accept_; }
  CORBA::Long result() const { return result_; }
  const Outcome& outcome(CORBA::ULong i) const { return outcomes_[i]; }

 private:
  bool Halt(Fate fate) {
    outcomes_[current_].fate = fate;
    incoming_ = nullptr;
    if (file_) file_->Close();  // the failure is already reported for this chunk
    file_.reset();
    file_path_.clear();
    halted_ = true;
    return false;
  }

  CopyWalk* walk_;
  const ZKmd::zkSeqFileBuf64& requests_;
  const std::string base_;
  bool begun_ = false;
  bool accept_ = false;
  bool halted_ = false;
  CORBA::Long result_ = 0;
  std::vector<Outcome> outcomes_;
  CORBA::ULong current_ = 0;
  Incoming* incoming_ = nullptr;  // of the chunk being written
  int64_t pos_ = 0;               // of the chunk being written, in its file
  std::unique_ptr<FileSystem::File> file_;
  std::string file_path_;  // the local path whose temporary file file_ is
  CORBA::ULong file_chunk_ = 0;
};

void CopyWalk::SendDownload(DownloadBatch* pending, const std::string& local_dir) {
  FinishAhead();
  const ZKmd::zkSeqFileBuf64& requests = pending->chunks;
  if (requests.length() == 0) return;
  if (stopped_) {
    GiveUpDownloads(requests, 0, local_dir);
  } else {
    ReplyWriter writer(this, requests, local_dir);
    CompleteDownload(requests, &writer, local_dir,
                     [&](CORBA::Long* index) { server_->Download(requests, index, &writer); });
  }
  pending->chunks.length(0);
  pending->budget.Clear();
}

void CopyWalk::CompleteDownload(const ZKmd::zkSeqFileBuf64& requests, ReplyWriter* writer,
                                const std::string& local_dir,
                                const std::function<void(CORBA::Long*)>& call) {
  try {
    CORBA::Long index = 0;
    call(&index);
    writer->CloseFile();
    if (!writer->accepted()) {
      console_.err(kDownloadFailed + NameAt(requests, index) + ")");
      failed_ = true;
      GiveUpDownloads(requests, 0, local_dir);
    } else {
      FinishDownloaded(requests, *writer, local_dir);
    }
  } catch (const CORBA::Exception& e) {
    writer->CloseFile();
    TransferException(e);
    GiveUpDownloads(requests, 0, local_dir);
  } catch (...) {  // the ORB may raise more than CORBA's exceptions
    writer->CloseFile();
    console_.err("Error ServerToLocal");
    failed_ = true;
    GiveUpDownloads(requests, 0, local_dir);
  }
}

// One thread per connection makes its download calls. The reply's first call to the sink waits
// until the walk lets it be written: the walk's own thread is waiting then, so the reply is
// written, and the walk's state touched, by one thread at a time, and the replies in the order
// their requests were sent.
class CopyWalk::DownloadLane {
 public:
  explicit DownloadLane(CopyServer* server) : server_(server), thread_([this] { Run(); }) {}
  ~DownloadLane() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  // The request of `requests` goes out now; its reply waits for Finish.
  void Start(const ZKmd::zkSeqFileBuf64* requests, ChunkSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    requests_ = requests;
    sink_ = sink;
    write_ = false;
    drop_ = false;
    done_ = false;
    error_ = nullptr;
    cv_.notify_all();
  }

  // Lets the reply be written to the sink (or, without `write`, read and dropped) and waits for
  // the end of the call; throws what the call threw.
  CORBA::Long Finish(bool write, CORBA::Long* index) {
    std::unique_lock<std::mutex> lock(mu_);
    write_ = true;
    drop_ = !write;
    cv_.notify_all();
    cv_.wait(lock, [this] { return done_; });
    if (error_) std::rethrow_exception(error_);
    *index = index_;
    return result_;
  }

 private:
  // The sink the call writes to: Begin waits for Finish.
  class Gate : public ChunkSink {
   public:
    explicit Gate(DownloadLane* lane) : lane_(lane) {}
    void Begin(CORBA::Long result, CORBA::ULong count) override {
      std::unique_lock<std::mutex> lock(lane_->mu_);
      lane_->cv_.wait(lock, [this] { return lane_->write_; });
      if (!lane_->drop_) to_ = lane_->sink_;
      lock.unlock();
      if (to_) to_->Begin(result, count);
    }
    bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char* crt,
                    size_t len) override {
      return to_ && to_->ChunkStart(i, file_size, upd, crt, len);
    }
    bool Piece(size_t offset, const uint8_t* data, size_t len) override {
      return to_ && to_->Piece(offset, data, len);
    }
    void ChunkEnd() override {
      if (to_) to_->ChunkEnd();
    }

   private:
    DownloadLane* lane_;
    ChunkSink* to_ = nullptr;
  };

  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return quit_ || requests_; });
      if (!requests_) return;
      const ZKmd::zkSeqFileBuf64* requests = requests_;
      requests_ = nullptr;
      lock.unlock();
      Gate gate(this);
      CORBA::Long index = 0, result = 0;
      std::exception_ptr error;
      try {
        result = server_->Download(*requests, &index, &gate);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      // A reply that failed before it began: Finish still decides when the walk hears of it.
      cv_.wait(lock, [this] { return write_; });
      result_ = result;
      index_ = index;
      error_ = error;
      done_ = true;
      cv_.notify_all();
    }
  }

  CopyServer* server_;
  std::mutex mu_;
  std::condition_variable cv_;
  const ZKmd::zkSeqFileBuf64* requests_ = nullptr;  // to be sent
  ChunkSink* sink_ = nullptr;
  bool write_ = false;  // Finish was called
  bool drop_ = false;
  bool done_ = false;
  bool quit_ = false;
  CORBA::Long result_ = 0;
  CORBA::Long index_ = 0;
  std::exception_ptr error_;
  std::thread thread_;  // last: it starts once the rest is set up
};

struct CopyWalk::Ahead {
  Ahead(CopyWalk* walk, const ZKmd::zkSeqFileBuf64& requests, const std::string& local_dir,
        DownloadLane* lane)
      : chunks(requests), dir(local_dir), writer(walk, chunks, dir), lane(lane) {}
  // A walk that ends while a reply is held back (an exception on its way out) drops it.
  ~Ahead() { Drop(); }
  // Lets the reply be read and dropped, unheard. What the call threw is not reported either: it
  // belongs to a batch before this one, reported already, or nobody is left to hear of it.
  void Drop() {
    if (finished) return;
    finished = true;
    CORBA::Long index = 0;
    try {
      lane->Finish(false, &index);
    } catch (...) {
    }
  }
  const ZKmd::zkSeqFileBuf64 chunks;
  const std::string dir;
  ReplyWriter writer;
  DownloadLane* lane;
  bool finished = false;
};

// A reply still held back is dropped (Ahead) before the lanes' threads end.
CopyWalk::~CopyWalk() = default;

void CopyWalk::SendDownloadAhead(DownloadBatch* pending, const std::string& local_dir) {
  if (!lanes_tried_) {
    lanes_tried_ = true;
    if (CopyServer* second = server_->Second()) {
      lanes_[0].reset(new DownloadLane(server_));
      lanes_[1].reset(new DownloadLane(second));
    }
  }
  if (!lanes_[0] || stopped_ || pending->chunks.length() == 0) {
    SendDownload(pending, local_dir);
    return;
  }
  DownloadLane* lane = lanes_[next_lane_].get();
  next_lane_ = 1 - next_lane_;
  std::unique_ptr<Ahead> next(new Ahead(this, pending->chunks, local_dir, lane));
  lane->Start(&next->chunks, &next->writer);
  pending->chunks.length(0);
  pending->budget.Clear();
  FinishAhead();
  ahead_ = std::move(next);
}

bool CopyWalk::FileGoesOn(const std::string& path, const std::string& name) const {
  if (stopped_) return false;
  if (incoming_.count(path) > 0) return true;
  if (!ahead_) return false;
  for (CORBA::ULong i = 0; i < ahead_->chunks.length(); ++i) {
    const ZKmd::zkStrctFileBuf64& c = ahead_->chunks[i];
    if (c.bufNo == 1 && name == c.fileNm.in()) return true;
  }
  return false;
}

void CopyWalk::FinishAhead() {
  if (!ahead_) return;
  std::unique_ptr<Ahead> a = std::move(ahead_);
  if (stopped_) {  // the batch before lost its connection: this one would not have been sent
    a->Drop();
    GiveUpDownloads(a->chunks, 0, a->dir);
    return;
  }
  a->finished = true;
  CompleteDownload(a->chunks, &a->writer, a->dir,
                   [&](CORBA::Long* index) { a->lane->Finish(true, index); });
}

void CopyWalk::GiveUpDownload(const std::string& path) {
  auto it = incoming_.find(path);
  if (it == incoming_.end()) return;
  fs_->RemoveFile(it->second.temp);
  incoming_.erase(it);
}

void CopyWalk::GiveUpDownloads(const ZKmd::zkSeqFileBuf64& chunks, CORBA::ULong from,
                               const std::string& local_dir) {
  const std::string base = WithSlash(local_dir);
  for (CORBA::ULong i = from; i < chunks.length(); ++i)
    GiveUpDownload(base + chunks[i].fileNm.in());
}

void CopyWalk::FinishDownloaded(const ZKmd::zkSeqFileBuf64& chunks, const ReplyWriter& writer,
                                const std::string& local_dir) {
  using Fate = ReplyWriter::Fate;
  const std::string base = WithSlash(local_dir);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const ZKmd::zkStrctFileBuf64& c = chunks[i];
    const ReplyWriter::Outcome& out = writer.outcome(i);
    const std::string name = c.fileNm.in();
    const std::string path = base + name;
    switch (out.fate) {
      case Fate::kDirFailed:
      case Fate::kWriteFailed:
        console_.err((out.fate == Fate::kDirFailed ? kDirFailed : kWriteFailed) + name + ")");
        failed_ = true;
        GiveUpDownloads(chunks, i, local_dir);
        return;
      case Fate::kReplaced:
        console_.err(kDownloadFailed + name + ")");
        failed_ = true;
        GiveUpDownload(path);
        continue;
      case Fate::kDropped:
      case Fate::kNoDownload:
        continue;
      case Fate::kWritten:
        break;
    }
    auto it = incoming_.find(path);
    if (it == incoming_.end()) continue;
    Incoming& in = it->second;
    const int64_t end = c.bufPos + static_cast<int64_t>(out.len);
    Progress(std::string(c.filePath.in()) + name, end, in.size);
    if (c.nextBuf) continue;

    // The last chunk: its length (when it ends in a hole), its time, then in its place.
    bool done = !out.short_end || fs_->Resize(in.temp, end);
    int64_t mtime = 0;
    if (done && ParseLocalTime(in.upd, &mtime)) fs_->SetWriteTime(in.temp, mtime);
    done = done && fs_->Rename(in.temp, path);
    if (!done) {
      console_.err(kWriteFailed + name + ")");
      failed_ = true;
      GiveUpDownload(path);
      continue;
    }
    incoming_.erase(path);
    ++copied_;
  }
}

}  // namespace zk
