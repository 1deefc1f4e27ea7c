#include "clients/pending_batch.h"

#include <algorithm>

#include "idl/wire.h"

namespace zk {

void UploadBatch::Add(const UploadHead& file, const ChunkSpan& span, uint8_t* data,
                      const std::string& path) {
  const CORBA::ULong n = chunks_.length();
  chunks_.length(n + 1);
  streamed_.resize(n + 1);
  ZKmd::zkStrctFileBuf& c = chunks_[n];
  c.filePath = file.dir.c_str();
  c.fileNm = file.name.c_str();
  c.fileSize = NarrowSize(file.size);  // the server does not use it
  c.updDt = file.upd.c_str();
  c.crtDt = file.crt.c_str();
  c.bufNo = span.no;
  c.nextBuf = span.next;
  c.bufPos = 0;
  c.bufUnitSize = 0;
  c.fileBuf.length(0);
  const size_t len = static_cast<size_t>(span.len);
  streamed_[n] = Streamed{path, span.pos, len, nullptr};
  if (streamed_[n].streamed()) {
    streamed_[n].first = data;
  } else {
    const CORBA::ULong n32 = static_cast<CORBA::ULong>(len);
    if (len > 0) c.fileBuf.replace(n32, n32, data, false);
  }
  Count(n);
}

void UploadBatch::AddFrom(const UploadBatch& other, CORBA::ULong i) {
  const CORBA::ULong n = chunks_.length();
  chunks_.length(n + 1);
  BorrowChunk(other.chunks_[i], &chunks_[n]);
  streamed_.push_back(other.streamed_[i]);
  Count(n);
}

void UploadBatch::DropFrom(CORBA::ULong first) {
  first = std::min(first, chunks_.length());
  chunks_.length(first);
  streamed_.resize(first);
  budget_.Clear();
  for (CORBA::ULong i = 0; i < first; ++i) Count(i);
}

bool UploadBatch::WholeFiles() const {
  for (CORBA::ULong i = 0; i < chunks_.length(); ++i) {
    if (chunks_[i].bufNo != 1 || chunks_[i].nextBuf) return false;
  }
  return true;
}

size_t UploadBatch::DataLength(CORBA::ULong i) const {
  return streamed_[i].len;
}

size_t UploadBatch::StreamedLength(CORBA::ULong i) const {
  return i < streamed_.size() && streamed_[i].streamed() ? streamed_[i].len : 0;
}

void UploadBatch::Count(CORBA::ULong i) {
  const ZKmd::zkStrctFileBuf& c = chunks_[i];
  budget_.Add(static_cast<int64_t>(DataLength(i)),
              HeaderBytes(c.filePath.in(), c.fileNm.in(), c.updDt.in(), c.crtDt.in()));
}

void DownloadBatch::Add(const std::string& dir, const std::string& name, const ChunkSpan& span) {
  const CORBA::ULong n = chunks_.length();
  chunks_.length(n + 1);
  ZKmd::zkStrctFileBuf64& c = chunks_[n];
  c.filePath = dir.c_str();
  c.fileNm = name.c_str();
  c.fileSize = 0;
  c.updDt = "";
  c.crtDt = "";
  c.bufNo = span.no;
  c.nextBuf = span.next;
  c.bufPos = span.pos;
  c.bufUnitSize = static_cast<CORBA::Long>(span.len);
  budget_.Add(c.bufUnitSize, HeaderBytes(c.filePath.in(), c.fileNm.in()));
}

void DownloadBatch::Clear() {
  chunks_.length(0);
  budget_.Clear();
}

int64_t DownloadBatch::HeaderBytes(const std::string& dir, const std::string& name) {
  return DownloadReplyHeaderBytes(dir, name);
}

}  // namespace zk
