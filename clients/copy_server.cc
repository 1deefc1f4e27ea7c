// ZKmdCopyServer: the walks' requests over the ORB.
#include "clients/copy_server.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "idl/wire.h"

namespace zk {

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
  CORBA::Long r = 0;
  if (good > 0) {
    r = upload_verified_.Call(
        [&] { return UploadFrom(server_, user_.c_str(), chunks, &i, source, piece_.get(), true); },
        [&] { return UploadFrom(server_, user_.c_str(), chunks, &i, source, piece_.get()); });
  }
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
  auto unverified = [&] {
    return ops_.Call(
        [&] { return DownloadTo(server_, user_.c_str(), wire, index, sink, piece_.get()); },
        [&] { return DownloadNarrow(wire, index, sink); });
  };
  if (ops_.narrow()) return unverified();
  return verified_.Call(
      [&] { return DownloadTo(server_, user_.c_str(), wire, index, sink, piece_.get(), true); },
      unverified);
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

bool ZKmdCopyServer::Kept(const std::string& dir, const std::string& name, int64_t size,
                          const std::string& upd, int64_t* kept, std::vector<Digest128>* blocks) {
  std::string wire_dir, wire_name;
  if (!text_.Out(dir, &wire_dir) || !text_.Out(name, &wire_name)) return false;
  ZKmd::DataBuffer_var digests;
  CORBA::LongLong length = 0;
  const CORBA::Long r = resume_.Call(
      [&] {
        return server_->zkFileKept(user_.c_str(), wire_dir.c_str(), wire_name.c_str(), size,
                                   upd.c_str(), length, digests.out());
      },
      [] { return kTransferFileFailed; });
  if (r != kTransferOk) return false;
  *kept = length;
  *blocks = SplitDigests(digests->get_buffer(), digests->length());
  return true;
}

bool ZKmdCopyServer::Resume(const std::string& dir, const std::string& name, int64_t size,
                            const std::string& upd, int64_t from, int32_t no) {
  std::string wire_dir, wire_name;
  if (!text_.Out(dir, &wire_dir) || !text_.Out(name, &wire_name)) return false;
  return resume_.Call(
             [&] {
               return server_->zkFileResume(user_.c_str(), wire_dir.c_str(), wire_name.c_str(),
                                            size, upd.c_str(), from, no);
             },
             [] { return kTransferFileFailed; }) == kTransferOk;
}

int64_t ZKmdCopyServer::Agreed(const std::string& dir, const std::string& name, int64_t size,
                               const std::string& upd, int64_t length,
                               const std::vector<Digest128>& blocks) {
  std::string wire_dir, wire_name;
  if (!text_.Out(dir, &wire_dir) || !text_.Out(name, &wire_name)) return 0;
  ZKmd::DataBuffer digests;
  JoinDigests(blocks, &digests);
  CORBA::LongLong agreed = 0;
  const CORBA::Long r = agreed_.Call(
      [&] {
        return server_->zkFileAgreed(user_.c_str(), wire_dir.c_str(), wire_name.c_str(), size,
                                     upd.c_str(), length, digests, agreed);
      },
      [] { return kTransferFileFailed; });
  return r == kTransferOk && agreed >= 0 && agreed <= length ? agreed : 0;
}

CopyServer* ZKmdCopyServer::Second() {
  if (open_second_ && !ops_.narrow()) {
    second_ref_ = open_second_();
    if (!CORBA::is_nil(second_ref_.in())) {
      second_.reset(new ZKmdCopyServer(second_ref_.in(), user_, text_));
      second_->ops_ = ops_;
      second_->verified_ = verified_;
      second_->upload_verified_ = upload_verified_;
    }
  }
  open_second_ = nullptr;
  return second_.get();
}

}  // namespace zk
