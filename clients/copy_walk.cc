// The directory walks of zkcp and the ZKmd requests they make.
#include "clients/copy_walk.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <unordered_set>

#include "idl/wire.h"
#include "platform/console.h"
#include "platform/timetext.h"

namespace zk {
namespace {

const char kListFailed[] = "ファイルリストの取得に失敗しました。(";
const char kNotRegular[] = "WARNING:通常のファイルではないためコピーしません。(";
const char kBackslashName[] = "ERROR:名前に「\\」を含むためコピーできません。(";

std::string DirPart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string WithSlash(const std::string& dir) {
  return !dir.empty() && dir.back() == '/' ? dir : dir + "/";
}

// The name of the chunk a result index points at ("" when the server sent a bad index).
std::string NameAt(const ZKmd::zkSeqFileBuf& chunks, CORBA::Long index) {
  if (index < 1 || static_cast<CORBA::ULong>(index) > chunks.length()) return std::string();
  return chunks[index - 1].fileNm.in();
}

// A name the server listed that is one entry of the local directory: no "/", not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The real path of a local directory ("" when it cannot be resolved).
std::string RealDir(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// A listing entry for a local directory entry.
ListEntry FromDirEntry(const DirEntry& e) {
  ListEntry l;
  l.name = e.name;
  l.is_dir = e.is_dir;
  l.size = WireSize(e.size);
  l.upd = FormatLocalTime(e.mtime);
  return l;
}

}  // namespace

std::vector<ListEntry> ZKmdCopyServer::List(const std::string& dir, const std::string& mask) {
  std::vector<ListEntry> out;
  std::string wire_dir, wire_mask;
  if (!text_.Out(dir, &wire_dir) || !text_.Out(mask, &wire_mask)) {
    throw std::runtime_error("server path");
  }
  CORBA::Long n = server_->zkFileCount(user_.c_str(), wire_dir.c_str(), wire_mask.c_str());
  if (n < 1) return out;
  ZKmd::zkSeqFileLst list;
  list.length(static_cast<CORBA::ULong>(n));
  server_->zkFileList(user_.c_str(), wire_dir.c_str(), wire_mask.c_str(), kSortByName, list);
  out.reserve(list.length());
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    const ZKmd::zkStrctFileList& e = list[i];
    if (e.fileNm.in() == nullptr || e.fileNm.in()[0] == '\0') continue;  // slot left unfilled
    ListEntry l;
    if (!text_.In(e.fileNm.in(), &l.name)) continue;
    l.is_dir = std::strcmp(e.fileType.in(), kDirType) == 0;
    l.size = e.fileSize;
    l.upd = e.updDt.in();
    out.push_back(std::move(l));
  }
  return out;
}

CORBA::Long ZKmdCopyServer::Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) {
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
    c.fileSize = in.fileSize;
    c.updDt = in.updDt;  // time texts are ASCII
    c.crtDt = in.crtDt;
    CORBA::ULong len = in.fileBuf.length();
    c.fileBuf.replace(len, len, const_cast<CORBA::Octet*>(in.fileBuf.get_buffer()), false);
    c.bufNo = in.bufNo;
    c.nextBuf = in.nextBuf;
    c.bufPos = in.bufPos;
    c.bufUnitSize = in.bufUnitSize;
  }
  CORBA::Long i = 0;
  CORBA::Long r = good == 0 ? 0 : server_->zkFileUpload(user_.c_str(), chunks, i);
  if (r == kTransferOk && good < n) {
    i = static_cast<CORBA::Long>(good + 1);
    r = kTransferFileFailed;
  }
  *index = i;
  return r;
}

CORBA::Long ZKmdCopyServer::Download(ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) {
  // The requests name their files in the wire code; the walk writes the reply under its own
  // names, so only the reply's data and times are used.
  for (CORBA::ULong k = 0; k < batch.length(); ++k) {
    std::string path, name;
    if (!text_.Out(batch[k].filePath.in(), &path) || !text_.Out(batch[k].fileNm.in(), &name)) {
      *index = static_cast<CORBA::Long>(k + 1);
      return kTransferFileFailed;
    }
    batch[k].filePath = path.c_str();
    batch[k].fileNm = name.c_str();
  }
  CORBA::Long i = 0;
  CORBA::Long r = server_->zkFileDownload(user_.c_str(), batch, i);
  *index = i;
  return r;
}

CopyConsole CopyConsole::Standard() {
  CopyConsole c;
  c.out = [](const std::string& s) { PrintOut(s); };
  c.err = [](const std::string& s) { PrintErr(s); };
  return c;
}

CopyWalk::CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit,
                   CopyConsole console)
    : fs_(fs), server_(server), mode_(mode), unit_(unit), console_(std::move(console)) {}

// ---- local tree to the server ----

int CopyWalk::ToServer(const std::string& local_dir, const std::string& mask,
                       const std::string& server_dir) {
  std::vector<ListEntry> listing;
  try {
    listing = server_->List(server_dir, kEveryEntry);
  } catch (...) {
    console_.err(kListFailed + server_dir + ")");
    return kExitFail;
  }
  NameIndex names(listing);
  Pending pending(unit_);
  int result = kExitOk;
  walking_.push_back(RealDir(local_dir));
  try {
    std::vector<DirEntry> entries;
    fs_->Search(local_dir, mask, &entries);  // a directory that cannot be read holds nothing
    for (const DirEntry& e : entries) {
      if (e.name.find('\\') != std::string::npos) {
        // "\" separates folders on the wire: the name would arrive as a path somewhere else.
        console_.err(kBackslashName + local_dir + e.name + ")");
        continue;
      }
      if (e.is_special) {  // a pipe or device could block the copy for ever; never opened
        console_.err(kNotRegular + local_dir + e.name + ")");
        continue;
      }
      if (e.is_dir) {
        // A link back to a directory being walked would repeat the tree without end.
        std::string real = RealDir(local_dir + e.name);
        if (!real.empty() && std::find(walking_.begin(), walking_.end(), real) != walking_.end()) {
          continue;
        }
        SendUpload(&pending);
        if (ToServer(local_dir + e.name + "/", kEveryEntry, server_dir + e.name + "\\") !=
            kExitOk) {
          result = kExitFail;
          break;
        }
        continue;
      }
      if (!ShouldCopy(mode_, mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name), e.size,
                      FormatLocalTime(e.mtime))) {
        continue;
      }
      std::string path = local_dir + e.name;
      console_.out(path);
      if (!QueueUpload(path, e, server_dir, &pending)) {
        console_.err("WARNING:ファイルを開けませんでした。");
        ++unreadable_;
      }
    }
    SendUpload(&pending);
  } catch (...) {
    console_.err(kListFailed + local_dir + mask + ")");
    result = kExitFail;
  }
  walking_.pop_back();
  return result;
}

bool CopyWalk::QueueUpload(const std::string& path, const DirEntry& file,
                           const std::string& server_dir, Pending* pending) {
  // Sizes and offsets travel as 32-bit values: a larger file cannot be described.
  if (file.size < 0 || file.size > INT32_MAX) return false;
  size_t got = 0;
  // An empty file is only opened; any other is opened by the read of its first chunk.
  if (file.size == 0 && !fs_->ReadAt(path, 0, 0, nullptr, &got)) return false;
  std::string upd = FormatLocalTime(file.mtime);
  std::string crt = FormatLocalTime(file.btime);
  int64_t header = ChunkHeaderBytes(server_dir, file.name, upd, crt);
  CORBA::ULong first = pending->chunks.length();  // this file's first chunk still pending
  for (const ChunkSpan& span : CutFile(file.size, unit_)) {
    if (pending->budget.MustSendBefore(span.len, header)) {
      SendUpload(pending);
      first = 0;
    }
    CORBA::ULong n = pending->chunks.length();
    pending->chunks.length(n + 1);
    ZKmd::zkStrctFileBuf& c = pending->chunks[n];
    c.filePath = server_dir.c_str();
    c.fileNm = file.name.c_str();
    c.fileSize = static_cast<CORBA::Long>(file.size);
    c.updDt = upd.c_str();
    c.crtDt = crt.c_str();
    c.bufNo = span.no;
    c.nextBuf = span.next;
    c.bufPos = 0;
    c.bufUnitSize = 0;
    size_t len = static_cast<size_t>(span.len);
    c.fileBuf.length(static_cast<CORBA::ULong>(len));
    if (len > 0) {
      if (!fs_->ReadAt(path, span.pos, len, c.fileBuf.get_buffer(), &got)) {
        // Unreadable after all: drop what is still pending of this file.
        pending->chunks.length(first);
        pending->budget.Clear();
        for (CORBA::ULong i = 0; i < first; ++i) {
          const ZKmd::zkStrctFileBuf& k = pending->chunks[i];
          pending->budget.Add(k.fileBuf.length(), ChunkHeaderBytes(k.filePath.in(), k.fileNm.in(),
                                                                   k.updDt.in(), k.crtDt.in()));
        }
        return false;
      }
      // A file that shrank meanwhile keeps its announced size, padded with zero bytes.
      if (got < len) std::memset(c.fileBuf.get_buffer() + got, 0, len - got);
    }
    pending->budget.Add(span.len, header);
  }
  return true;
}

void CopyWalk::SendUpload(Pending* pending) {
  if (pending->chunks.length() == 0) return;
  try {
    CORBA::Long index = 0;
    CORBA::Long r = server_->Upload(pending->chunks, &index);
    CORBA::ULong processed = 0;
    if (r == kTransferOk) {
      processed = pending->chunks.length();
    } else {
      if (r == kTransferDirFailed) {
        console_.err("ERROR:ディレクトリを作成できませんでした。(" +
                     NameAt(pending->chunks, index) + ")");
      } else {
        console_.err("ERROR:アップロードに失敗しました。(" + NameAt(pending->chunks, index) + ")");
      }
      if (index >= 1) {
        processed = std::min(static_cast<CORBA::ULong>(index - 1), pending->chunks.length());
      }
    }
    for (CORBA::ULong i = 0; i < processed; ++i) {
      if (!pending->chunks[i].nextBuf) ++copied_;
    }
  } catch (const CORBA::Exception& e) {
    console_.err("CORBA Exception: " + ExceptionText(e));
  } catch (...) {
    console_.err("Error LocalToServer");
  }
  pending->chunks.length(0);
  pending->budget.Clear();
}

// ---- server tree to a local directory ----

int CopyWalk::FromServer(const std::string& server_dir, const std::string& mask,
                         const std::string& local_dir) {
  std::vector<ListEntry> local;
  std::unordered_set<std::string> special;  // local pipes and devices: never written to
  try {
    std::vector<DirEntry> entries;
    fs_->Search(local_dir, kEveryEntry, &entries);  // a missing directory holds nothing yet
    local.reserve(entries.size());
    for (const DirEntry& e : entries) {
      local.push_back(FromDirEntry(e));
      if (e.is_special) special.insert(e.name);
    }
  } catch (...) {
    console_.err(kListFailed + local_dir + "*.*)");
    return kExitFail;
  }
  NameIndex names(local);
  Pending pending(unit_);
  int result = kExitOk;
  try {
    std::vector<ListEntry> listing = server_->List(server_dir, mask);
    for (const ListEntry& e : listing) {
      if (!IsPlainName(e.name)) {  // would land outside the destination directory
        console_.err("ERROR:ダウンロードに失敗しました。(" + e.name + ")");
        continue;
      }
      if (e.is_dir) {
        SendDownload(&pending, local_dir);
        if (FromServer(server_dir + e.name + "\\", kEveryEntry, local_dir + e.name + "/") !=
            kExitOk) {
          result = kExitFail;
          break;
        }
        continue;
      }
      if (!ShouldCopy(mode_, mode_ == CopyMode::kReplace ? nullptr : names.Find(e.name), e.size,
                      e.upd)) {
        continue;
      }
      if (special.count(e.name) > 0) {
        console_.err(kNotRegular + local_dir + e.name + ")");
        continue;
      }
      console_.out(server_dir + e.name);
      QueueDownload(e, server_dir, &pending, local_dir);
    }
    SendDownload(&pending, local_dir);
  } catch (...) {
    console_.err(kListFailed + server_dir + ")");
    return kExitFail;
  }
  return result;
}

void CopyWalk::QueueDownload(const ListEntry& file, const std::string& server_dir, Pending* pending,
                             const std::string& local_dir) {
  if (file.size < 0) {  // 2 GiB or more: not describable in 32-bit offsets
    console_.err("ERROR:ダウンロードに失敗しました。(" + file.name + ")");
    return;
  }
  int64_t header = ChunkHeaderBytes(server_dir, file.name, "", "") + 2 * kTimeTextLength;
  for (const ChunkSpan& span : CutFile(file.size, unit_)) {
    if (pending->budget.MustSendBefore(span.len, header)) SendDownload(pending, local_dir);
    CORBA::ULong n = pending->chunks.length();
    pending->chunks.length(n + 1);
    ZKmd::zkStrctFileBuf& c = pending->chunks[n];
    c.filePath = server_dir.c_str();
    c.fileNm = file.name.c_str();
    c.fileSize = 0;
    c.updDt = "";
    c.crtDt = "";
    c.bufNo = span.no;
    c.nextBuf = span.next;
    c.bufPos = static_cast<CORBA::Long>(span.pos);
    c.bufUnitSize = static_cast<CORBA::Long>(span.len);
    pending->budget.Add(span.len, header);
  }
}

void CopyWalk::SendDownload(Pending* pending, const std::string& local_dir) {
  if (pending->chunks.length() == 0) return;
  try {
    // Keep the requests: the reply is written under our own names and offsets, whatever the
    // server sends back in those fields.
    ZKmd::zkSeqFileBuf requests = pending->chunks;
    CORBA::Long index = 0;
    CORBA::Long r = server_->Download(pending->chunks, &index);
    if (r != 0 || pending->chunks.length() != requests.length()) {
      console_.err("ERROR:ダウンロードに失敗しました。(" + NameAt(requests, index) + ")");
    } else {
      for (CORBA::ULong i = 0; i < requests.length(); ++i) {
        // Hand the reply's buffer over without copying; take its sizes before releasing it.
        ZKmd::DataBuffer& reply = pending->chunks[i].fileBuf;
        CORBA::ULong max = reply.maximum(), len = reply.length();
        requests[i].fileBuf.replace(max, len, reply.get_buffer(true), true);
        requests[i].updDt = pending->chunks[i].updDt;
        requests[i].crtDt = pending->chunks[i].crtDt;
      }
      StoreDownloaded(requests, local_dir);
    }
  } catch (const CORBA::Exception& e) {
    console_.err("CORBA Exception: " + ExceptionText(e));
  } catch (...) {
    console_.err("Error ServerToLocal");
  }
  pending->chunks.length(0);
  pending->budget.Clear();
}

void CopyWalk::StoreDownloaded(const ZKmd::zkSeqFileBuf& chunks, const std::string& local_dir) {
  std::string base = WithSlash(local_dir);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const ZKmd::zkStrctFileBuf& c = chunks[i];
    std::string path = base + c.fileNm.in();
    std::string dir = DirPart(path);
    if (!dir.empty() && !fs_->MakeDirs(dir)) {
      console_.err(std::string("ERROR:ディレクトリを作成できませんでした。(") + c.fileNm.in() +
                   ")");
      return;
    }
    // Never more than was asked for, whatever came back.
    size_t len = std::min<size_t>(c.fileBuf.length(), static_cast<size_t>(c.bufUnitSize));
    const CORBA::Octet* data = len ? c.fileBuf.get_buffer() : nullptr;
    if (!fs_->WriteAt(path, c.bufNo == 1, c.bufPos, data, len)) {
      console_.err(std::string("ERROR:ファイル書き込みに失敗しました。(") + c.fileNm.in() + ")");
      return;
    }
    if (!c.nextBuf) {
      int64_t mtime = 0;
      if (ParseLocalTime(c.updDt.in(), &mtime)) fs_->SetWriteTime(path, mtime);
      ++copied_;
    }
  }
}

}  // namespace zk
