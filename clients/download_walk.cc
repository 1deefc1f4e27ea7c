// The walk from a server tree to a local directory.
#include "clients/download_walk.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <set>
#include <unordered_set>

#include "clients/reply_writer.h"
#include "idl/wire.h"
#include "platform/digest.h"
#include "platform/pathtext.h"
#include "platform/process.h"
#include "platform/timetext.h"

namespace zk {
namespace {

const char kTempPrefix[] = ".zkcp-";
const char kTempSuffix[] = ".part";

// 16 hexadecimal digits that stand for `text`.
std::string KeyOf(const std::string& text) {
  StreamDigest d;
  d.Update(text.data(), text.size());
  return DigestText(d.Value()).substr(0, 16);
}

bool IsHexKey(const std::string& s, size_t at) {
  if (s.size() < at + 16) return false;
  for (size_t i = at; i < at + 16; ++i) {
    const char c = s[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A name the server listed that is one entry of the local directory: no "/", not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
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

std::string ResumableTempName(const std::string& name, int64_t size, const std::string& upd) {
  return kTempPrefix + KeyOf(name) + "-" + KeyOf(std::to_string(size) + "\n" + upd) + kTempSuffix;
}

bool IsResumableTempName(const std::string& name, std::string* name_key) {
  const size_t prefix = sizeof(kTempPrefix) - 1, suffix = sizeof(kTempSuffix) - 1;
  if (name.size() != prefix + 33 + suffix || name.compare(0, prefix, kTempPrefix) != 0 ||
      name.compare(prefix + 33, suffix, kTempSuffix) != 0 || !IsHexKey(name, prefix) ||
      name[prefix + 16] != '-' || !IsHexKey(name, prefix + 17)) {
    return false;
  }
  *name_key = name.substr(prefix, 16);
  return true;
}

int DownloadWalk::Run(const std::string& server_dir, const std::string& mask,
                      const std::string& local_dir) {
  int result = DownloadLevel(server_dir, mask, local_dir);
  FinishAhead();
  // Whatever is still in progress (the walk stopped) will not be finished.
  while (!incoming_.empty()) GiveUpDownload(incoming_.begin()->first, true);
  return stopped_ ? kExitFail : result;
}

void DownloadWalk::RemoveDownloadLeftovers(const std::string& local_dir,
                                           std::vector<DirEntry>* entries) {
  const std::string dir = WithSlash(local_dir);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto leftover = [&](const DirEntry& e) {
    int pid = 0;
    std::string key;
    if (!e.is_dir && IsResumableTempName(e.name, &key)) {
      // Kept for the next zkcp of its file, for a day; taken out of the entries either way.
      if (now - e.mtime <= kKeptPartSeconds) {
        parts_.emplace(dir + key, dir + e.name);
      } else {
        RemoveUnlessHeld(dir + e.name);
      }
      return true;
    }
    if (e.is_dir || !IsDownloadTempName(e.name, &pid)) return false;
    // This run's own, or that of another run still going: not a leftover.
    if (pid == OwnProcessId() || ProcessExists(pid)) return false;
    return fs_->RemoveFile(WithSlash(local_dir) + e.name).ok();
  };
  entries->erase(std::remove_if(entries->begin(), entries->end(), leftover), entries->end());
}

int DownloadWalk::DownloadLevel(const std::string& server_dir, const std::string& mask,
                                const std::string& local_dir) {
  std::vector<ListEntry> local;
  std::unordered_set<std::string> special;  // local pipes and devices: never written to
  if (!ListLocal(local_dir, &local, &special)) return kExitFail;
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
      if (!e.is_dir) {
        DownloadFile(e, server_dir, names, special, &pending, local_dir);
        continue;
      }
      SendDownload(&pending, local_dir);
      if (stopped_ || DownloadLevel(server_dir + e.name + "\\", kEveryEntry,
                                    local_dir + e.name + "/") != kExitOk) {
        result = kExitFail;
        break;
      }
    }
    SendDownload(&pending, local_dir);
    RetryCorrupt(&pending, local_dir);
  } catch (...) {  // a listing through the ORB, which may raise more than CORBA's exceptions
    FinishAhead();
    console_.err(kListFailed + server_dir + ")");
    return kExitFail;
  }
  return stopped_ ? kExitFail : result;
}

void DownloadWalk::RetryCorrupt(DownloadBatch* pending, const std::string& local_dir) {
  while (!retries_.empty() && !stopped_) {
    std::vector<Retry> now;
    now.swap(retries_);
    for (const Retry& r : now) {
      resent_.insert(WithSlash(local_dir) + r.file.name);
      QueueDownload(r.file, r.server_dir, pending, local_dir);
      if (stopped_) break;
    }
    SendDownload(pending, local_dir);
  }
  retries_.clear();
}

bool DownloadWalk::ListLocal(const std::string& local_dir, std::vector<ListEntry>* local,
                             std::unordered_set<std::string>* special) {
  try {
    std::vector<DirEntry> entries;
    fs_->Search(local_dir, kEveryEntry, &entries);  // a missing directory holds nothing yet
    RemoveDownloadLeftovers(local_dir, &entries);
    local->reserve(entries.size());
    for (const DirEntry& e : entries) {
      local->push_back(FromDirEntry(e));
      if (e.is_special) special->insert(e.name);
    }
  } catch (const std::exception&) {  // the local directory only: memory
    console_.err(kListFailed + local_dir + kEveryEntry + ")");
    return false;
  }
  return true;
}

void DownloadWalk::DownloadFile(const ListEntry& e, const std::string& server_dir,
                                const NameIndex& names,
                                const std::unordered_set<std::string>& special,
                                DownloadBatch* pending, const std::string& local_dir) {
  const ListEntry* existing = mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name);
  if (!ShouldCopy(mode_, existing, e.size, e.upd, e.narrow)) return;
  if (special.count(e.name) > 0) {
    console_.err(kNotRegular + local_dir + e.name + ")");
    return;
  }
  if (e.size < 0) {
    // A 32-bit listing of a file of 2 GiB or more: never copied short.
    console_.err(kTooLargeForServer + server_dir + e.name + ")");
    failed_ = true;
    return;
  }
  if (ChunkCutter(e.size, unit_).count() > INT32_MAX) {
    console_.err(kTooLargeForUnit + server_dir + e.name + ")");
    failed_ = true;
    return;
  }
  console_.out(server_dir + e.name);
  QueueDownload(e, server_dir, pending, local_dir);
}

void DownloadWalk::QueueDownload(const ListEntry& file, const std::string& server_dir,
                                 DownloadBatch* pending, const std::string& local_dir) {
  const std::string path = WithSlash(local_dir) + file.name;
  ChunkCutter cutter(file.size, unit_);
  const int64_t from = SetUpResumable(file, server_dir, path);
  if (from > 0) cutter.StartAt(from, static_cast<int32_t>(from / unit_ + 1));
  ChunkSpan span;
  while (cutter.Next(&span)) {
    if (pending->MustSendBefore(server_dir, file.name, span)) {
      // Later chunks of this file: the walk goes on with the same file whatever the reply.
      if (span.no > 1) {
        SendDownloadAhead(pending, local_dir);
      } else {
        SendDownload(pending, local_dir);
      }
      // The chunks of this file sent so far were not all written: the rest is not asked for. A
      // batch of it sent ahead of that answer is dropped unheard, as if never asked for.
      if (span.no > 1 ? !FileGoesOn(path, file.name) : stopped_) {
        DropAhead();
        return;
      }
    }
    pending->Add(server_dir, file.name, span);
  }
  // After a batch sent ahead, the chunks queued since were queued before its reply was known; the
  // pending batch holds nothing else. They go only if that reply wrote its part of the file.
  if (ahead_state_.holding()) {
    FinishAhead();
    if (!FileGoesOn(path, file.name)) pending->Clear();
  }
}

void DownloadWalk::SendDownload(DownloadBatch* pending, const std::string& local_dir) {
  FinishAhead();
  const ZKmd::zkSeqFileBuf64& requests = pending->chunks();
  if (requests.length() == 0) return;
  if (stopped_) {
    GiveUpDownloads(requests, 0, local_dir, true);
  } else {
    ReplyWriter writer(this, requests, local_dir);
    CompleteDownload(requests, &writer, local_dir,
                     [&](CORBA::Long* index) { server_->Download(requests, index, &writer); });
  }
  pending->Clear();
}

void DownloadWalk::CompleteDownload(const ZKmd::zkSeqFileBuf64& requests, ReplyWriter* writer,
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
    GiveUpDownloads(requests, 0, local_dir, true);
  } catch (...) {  // the ORB may raise more than CORBA's exceptions
    writer->CloseFile();
    console_.err("Error ServerToLocal");
    failed_ = true;
    GiveUpDownloads(requests, 0, local_dir, true);
  }
}

int64_t DownloadWalk::SetUpResumable(const ListEntry& file, const std::string& server_dir,
                                     const std::string& path) {
  if (file.size <= unit_ || !server_->ResumesDownloads() || incoming_.count(path) > 0) return 0;
  const std::string dir = DirPart(path).empty() ? std::string() : DirPart(path) + "/";
  const std::string temp = dir + ResumableTempName(file.name, file.size, file.upd);
  RemoveOtherParts(dir, file.name, temp);
  // The directory is made now, as the first chunk would make it, so that the file can be locked.
  if (!dir.empty() && !fs_->MakeDirs(dir)) return 0;
  const bool earlier = fs_->IsFile(temp);
  std::shared_ptr<FileSystem::File> lock(
      fs_->Open(temp, earlier ? FileSystem::OpenMode::kWrite : FileSystem::OpenMode::kCreate));
  // Held by another run of zkcp that downloads the same file now: this one goes its own way.
  if (!lock || !lock->Lock()) return 0;
  Incoming in;
  in.temp = temp;
  in.size = file.size;
  in.upd = file.upd;
  in.lock = lock;
  int64_t from = 0;
  DirEntry st;
  if (earlier && lock->Stat(&st) && st.size > 0 && st.size <= file.size) {
    std::vector<Digest128> blocks;
    if (DigestBlocks(lock.get(), st.size, kResumeBlockBytes, &blocks)) {
      const int64_t agreed = server_->Agreed(server_dir, file.name, file.size, file.upd, st.size,
                                             blocks);
      // From the start of a chunk, and never past the last one's.
      from = std::min(agreed, file.size - 1) / unit_ * unit_;
    }
  }
  if (from > 0 && !fs_->Resize(temp, from)) from = 0;
  in.written_end = from;
  in.begun = from > 0;
  incoming_[path] = in;
  return from;
}

void DownloadWalk::RemoveOtherParts(const std::string& dir, const std::string& name,
                                    const std::string& keep) {
  auto range = parts_.equal_range(dir + KeyOf(name));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second != keep) RemoveUnlessHeld(it->second);
  }
  parts_.erase(range.first, range.second);
}

void DownloadWalk::RemoveUnlessHeld(const std::string& part) {
  std::unique_ptr<FileSystem::File> f = fs_->Open(part, FileSystem::OpenMode::kWrite);
  if (f && f->Lock()) fs_->RemoveFile(part);
}

void DownloadWalk::GiveUpDownload(const std::string& path, bool interrupted) {
  auto it = incoming_.find(path);
  if (it == incoming_.end()) return;
  // What was written of it is continued by the next zkcp; its lock ends with it here.
  const Incoming& in = it->second;
  if (!(in.lock && in.begun && interrupted)) fs_->RemoveFile(in.temp);
  incoming_.erase(it);
}

void DownloadWalk::GiveUpDownloads(const ZKmd::zkSeqFileBuf64& chunks, CORBA::ULong from,
                                   const std::string& local_dir, bool interrupted) {
  const std::string base = WithSlash(local_dir);
  for (CORBA::ULong i = from; i < chunks.length(); ++i)
    GiveUpDownload(base + chunks[i].fileNm.in(), interrupted);
}

void DownloadWalk::FinishDownloaded(const ZKmd::zkSeqFileBuf64& chunks, const ReplyWriter& writer,
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
      case Fate::kCorrupt:
        Corrupt(c, path);
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
    if (resent_.count(path) > 0) console_.err(kResent + name + ")");
    ++copied_;
  }
}

void DownloadWalk::Corrupt(const ZKmd::zkStrctFileBuf64& c, const std::string& path) {
  auto it = incoming_.find(path);
  if (it == incoming_.end()) return;  // given up already, for an earlier chunk of this reply
  const bool again = resent_.count(path) == 0;
  Retry r;
  r.file.name = c.fileNm.in();
  r.file.size = it->second.size;
  r.file.upd = it->second.upd;
  r.server_dir = c.filePath.in();
  GiveUpDownload(path);
  if (again) {
    retries_.push_back(r);
    return;
  }
  console_.err(kVerifyFailed + r.file.name + ")");
  failed_ = true;
}

}  // namespace zk
