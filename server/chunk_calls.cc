// Chunk calls with their data in pooled memory.
#include "server/chunk_calls.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "idl/chunk_layout.h"
#include "idl/chunk_wire.h"
#include "idl/omniorb/calls.h"
#include "platform/digest.h"
#include "server/metrics.h"
#include "server/server_state.h"
#include "server/transfer.h"
#include "server/transfer_batch.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

// zkFileUpload with each chunk stored as it comes off the connection: the data of a large chunk
// is written into its file piece by piece (through one piece of pooled memory, so that receiving
// overlaps writing and the data stays in the processor's cache), a small one is read into the
// arena first. Each chunk is stored (ChunkStore) once its last field is read, so all the work is
// done here and the upcall only gives the result. zkFileUploadVerified (`verified`) is the same
// with the chunks' digests after them, checked before any of its files is put in place.
class UploadCall : public OwnCall {
 public:
  UploadCall(ZKmdImpl* impl, ChunkArena* arena, bool verified = false)
      : impl_(impl), arena_(arena), verified_(verified) {}

  void ReadArguments(cdrStream& s) override {
    CORBA::String_var wire_user = s.unmarshalString(0);
    batch_.reset(new UploadBatch(impl_, wire_user.in(), verified_));
    CORBA::ULong n;
    n <<= s;
    if (!s.checkInputOverrun(1, n)) _CORBA_marshal_sequence_range_check_error(s);
    for (CORBA::ULong i = 0; i < n; ++i) ReadChunk(s);
    if (verified_) {
      const CORBA::ULong len = ReadDataLength(s);
      CORBA::Octet* digests = len > 0 ? arena_->Alloc(len) : nullptr;
      if (len > 0) s.get_octet_array(digests, static_cast<int>(len), omni::ALIGN_1);
      batch_->Verify(digests, len);
    }
    CORBA::Long sent_index;  // the request's bufIndex is not used
    sent_index <<= s;
  }
  void Run(_impl_ZKmd*) override {
    // The data is stored: its blocks go back before the reply lets the client send the next
    // batch, which another thread of the connection may read at once (and would otherwise get
    // blocks of its own).
    arena_->Reset();
  }
  void WriteResults(cdrStream& s) override {
    NoteAnswer(batch_->result());  // metrics
    batch_->result() >>= s;
    batch_->index() >>= s;
  }
  CORBA::Long result() const { return batch_->result(); }
  CORBA::Long index() const { return batch_->index(); }

 private:
  // Reads one chunk into c_, its data into the arena, the file, or nowhere: the batch decides
  // once the texts before the data are read.
  class Reader : public ChunkFieldReader {
   public:
    Reader(cdrStream& s, UploadCall* call) : ChunkFieldReader(s), call_(call) {}
    using ChunkFieldReader::Integer;
    void Data(ChunkField, ZKmd::DataBuffer& data) {
      const ZKmd::zkStrctFileBuf& c = call_->c_;
      store_it = call_->batch_->Next(c.filePath.in(), c.fileNm.in(), c.updDt.in(), c.crtDt.in());
      const CORBA::ULong len = ReadDataLength(s_);
      NoteReceivedBytes(len);  // metrics
      streamed = len > kChunkPieceBytes;
      if (store_it && streamed) {
        call_->batch_->Receive(len);
        call_->ReadPieces(s_, len, call_->batch_.get());
      } else if (store_it && len > 0) {
        CORBA::Octet* buf = call_->arena_->Alloc(len);
        s_.get_octet_array(buf, static_cast<int>(len), omni::ALIGN_1);
        data.replace(len, len, buf, false);
      } else {
        call_->ReadPieces(s_, len, nullptr);
        data.length(0);
      }
    }
    bool store_it = false;
    bool streamed = false;

   private:
    UploadCall* call_;
  };

  // One chunk, stored once its last field is read (or read and dropped).
  void ReadChunk(cdrStream& s) {
    Reader reader(s, this);
    VisitChunk(c_, reader);
    if (reader.store_it && reader.streamed) {
      batch_->Received(&c_);
    } else if (reader.store_it) {
      batch_->Store(&c_);
    }
    c_.fileBuf.length(0);
  }

  // Reads `len` bytes of data piece by piece, into `batch` (dropped when null).
  void ReadPieces(cdrStream& s, size_t len, UploadBatch* batch) {
    if (len > 0 && !piece_) piece_ = arena_->Alloc(kChunkPieceBytes);
    for (size_t at = 0; at < len; at += kChunkPieceBytes) {
      const size_t k = std::min(kChunkPieceBytes, len - at);
      s.get_octet_array(piece_, static_cast<int>(k), omni::ALIGN_1);
      if (batch) batch->Piece(piece_, k);
    }
  }

  ZKmdImpl* impl_;
  ChunkArena* arena_;
  bool verified_;
  CORBA::Octet* piece_ = nullptr;
  std::unique_ptr<UploadBatch> batch_;
  ZKmd::zkStrctFileBuf c_;
};

// A download reply's chunk as the generated code marshals it, its data from `source` (chunk
// `i`) or, for a chunk the source does not describe, its own.
class ReplyChunkWriter : public ChunkFieldWriter {
 public:
  // With `digests`, the digest of each chunk written is added to it; with `audit`, the audit
  // trail is told what is served.
  ReplyChunkWriter(cdrStream& s, ChunkSource* source, CORBA::Octet* piece, ChunkArena* whole,
                   std::vector<Digest128>* digests, DownloadBatchAudit* audit)
      : ChunkFieldWriter(s),
        source_(source),
        piece_(piece),
        counting_(IsCountingStream(s)),
        whole_(whole),
        digests_(counting_ ? nullptr : digests),
        audit_(counting_ ? nullptr : audit) {}

  template <class Chunk>
  void Write(CORBA::ULong i, const Chunk& c) {
    i_ = i;
    pos_ = c.bufPos;
    VisitChunk(c, *this);
  }
  void Data(ChunkField, const ZKmd::DataBuffer& own) {
    if (i_ >= source_->size()) {
      if (!counting_) NoteSentBytes(own.length());  // metrics
      own >>= s_;
      if (digests_) digests_->push_back(DigestOfChunk(pos_, own.get_buffer(), own.length()));
      return;
    }
    const size_t len = source_->Length(i_);
    if (!counting_) NoteSentBytes(len);  // metrics
    static_cast<CORBA::ULong>(len) >>= s_;
    const uint8_t* data = source_->Data(i_);
    if (!data && whole_ && !counting_ && len > 0) {
      uint8_t* all = whole_->Alloc(len);
      if (!source_->Read(i_, 0, len, all)) throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_YES);
      data = all;
    }
    if (data) {
      if (len > 0) s_.put_octet_array(data, static_cast<int>(len));
      if (digests_) digests_->push_back(DigestOfChunk(pos_, data, len));
      if (audit_) {
        audit_->Data(i_, 0, data, len);
        audit_->Served(i_);
      }
      return;
    }
    ChunkDigest digest(pos_);
    for (size_t at = 0; at < len; at += kChunkPieceBytes) {
      const size_t n = std::min(kChunkPieceBytes, len - at);
      // A counting pass (GIOP 1.0 sizes a message before writing it) only adds up lengths. A
      // read that fails here cannot change the result, which is on its way already: the reply
      // must not complete as a success with data that is not the file's. The exception makes
      // the ORB close the connection; the client's call fails, and it gives the download up
      // (its temporary file removed).
      if (!counting_ && !source_->Read(i_, at, n, piece_)) {
        throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_YES);
      }
      s_.put_octet_array(piece_, static_cast<int>(n));
      if (digests_) digest.Update(piece_, n);
      if (audit_) audit_->Data(i_, at, piece_, n);
    }
    if (digests_) digests_->push_back(digest.Finish());
    if (audit_) audit_->Served(i_);
  }

 private:
  ChunkSource* source_;
  CORBA::Octet* piece_;
  bool counting_;
  ChunkArena* whole_;
  std::vector<Digest128>* digests_;
  DownloadBatchAudit* audit_;
  CORBA::ULong i_ = 0;
  int64_t pos_ = 0;
};

// The reply's values; with `digests`, followed by the chunks' digests.
template <class Chunks>
void WriteReply(cdrStream& s, CORBA::Long result, const Chunks& chunks, CORBA::Long index,
                ChunkSource* source, CORBA::Octet* piece, ChunkArena* whole,
                std::vector<Digest128>* digests, DownloadBatchAudit* audit) {
  NoteAnswer(result);  // metrics
  result >>= s;
  const CORBA::ULong n = chunks.length();
  n >>= s;
  ReplyChunkWriter writer(s, source, piece, whole, digests, audit);
  for (CORBA::ULong i = 0; i < n; ++i) writer.Write(i, chunks[i]);
  index >>= s;
  if (!digests) return;
  const CORBA::ULong bytes = n * static_cast<CORBA::ULong>(sizeof(Digest128));
  bytes >>= s;
  if (IsCountingStream(s)) {
    for (CORBA::ULong i = 0; i < n; ++i) s.put_octet_array(Digest128{}.data(), sizeof(Digest128));
    return;
  }
  for (const Digest128& d : *digests) s.put_octet_array(d.data(), sizeof d);
}

// zkFileDownload, zkFileDownload64 and zkFileDownloadVerified with the data of its large chunks
// read from their files piece by piece while the reply is written: the reading overlaps the
// sending, and the data passes through one piece of memory that stays in the processor's cache.
template <class Chunks>
class DownloadCall : public OwnCall {
 public:
  // `verified`: the reply ends with the chunks' digests (zkFileDownloadVerified).
  DownloadCall(ZKmdImpl* impl, ChunkArena* arena, const char* operation, bool verified)
      : impl_(impl),
        arena_(arena),
        source_(arena, kChunkPieceBytes),
        operation_(operation),
        verified_(verified) {}

  void ReadArguments(cdrStream& s) override {
    user_ = s.unmarshalString(0);
    ReadChunks(s, arena_, &chunks_);
    index_ <<= s;
  }
  void Run(_impl_ZKmd*) override {
    result_ = OpenDownload(impl_, operation_, user_.in(), chunks_, &index_, &source_, &audit_);
  }
  void WriteResults(cdrStream& s) override {
    const bool counting = IsCountingStream(s);
    if (!piece_ && !counting) piece_ = arena_->Alloc(kChunkPieceBytes);
    // A message sized before it is sent takes each chunk's data whole (SizedBeforeSending).
    Reply(s, chunks_, SizedBeforeSending(s) ? arena_ : nullptr);
  }

 private:
  void Reply(cdrStream& s, const ZKmd::zkSeqFileBuf& chunks, ChunkArena* whole) {
    WriteDownloadReply(s, result_, chunks, index_, &source_, piece_, whole, &audit_);
  }
  void Reply(cdrStream& s, const ZKmd::zkSeqFileBuf64& chunks, ChunkArena* whole) {
    if (verified_) {
      WriteVerifiedDownloadReply(s, result_, chunks, index_, &source_, piece_, whole, &audit_);
    } else {
      WriteDownloadReply(s, result_, chunks, index_, &source_, piece_, whole, &audit_);
    }
  }

  ZKmdImpl* impl_;
  ChunkArena* arena_;
  ChunkSource source_;
  DownloadBatchAudit audit_;  // told what the reply serves
  const char* operation_;
  bool verified_;
  CORBA::Octet* piece_ = nullptr;
  CORBA::String_var user_;
  Chunks chunks_;
  CORBA::Long index_ = 0;
  CORBA::Long result_ = 0;
};

}  // namespace

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole, DownloadBatchAudit* audit) {
  WriteReply(s, result, chunks, index, source, piece, whole, nullptr, audit);
}

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole, DownloadBatchAudit* audit) {
  WriteReply(s, result, chunks, index, source, piece, whole, nullptr, audit);
}

void WriteVerifiedDownloadReply(cdrStream& s, CORBA::Long result,
                                const ZKmd::zkSeqFileBuf64& chunks, CORBA::Long index,
                                ChunkSource* source, CORBA::Octet* piece, ChunkArena* whole,
                                DownloadBatchAudit* audit) {
  std::vector<Digest128> digests;
  digests.reserve(chunks.length());
  WriteReply(s, result, chunks, index, source, piece, whole, &digests, audit);
}

CORBA::Long StoreUploadRequest(cdrStream& s, ZKmdImpl* servant, CORBA::Long* index) {
  ChunkArena arena(&servant->state()->chunk_pool);
  UploadCall call(servant, &arena);
  call.ReadArguments(s);
  call.Run(servant);
  *index = call.index();
  return call.result();
}

bool IsChunkCall(const char* operation) {
  for (const char* op :
       {"zkFileUpload", "zkFileDownload", "zkFileDownload64", "zkFileDownloadVerified",
        "zkFileUploadVerified"}) {
    if (std::strcmp(operation, op) == 0) return true;
  }
  return false;
}

CORBA::Boolean ServeChunkCall(IncomingRequest& request, ZKmdImpl* servant) {
  const char* operation = request.Operation();
  // The arena outlives the call descriptor, whose sequences point into it, and the reply, which
  // is written before the upcall returns.
  ChunkArena arena(&servant->state()->chunk_pool);
  const bool upload = std::strcmp(operation, "zkFileUpload") == 0;
  if (upload || std::strcmp(operation, "zkFileUploadVerified") == 0) {
    UploadCall call(servant, &arena, !upload);
    request.Serve(call);
    return true;
  }
  if (std::strcmp(operation, "zkFileDownload") == 0) {
    DownloadCall<ZKmd::zkSeqFileBuf> call(servant, &arena, "zkFileDownload", false);
    request.Serve(call);
    return true;
  }
  const bool verified = std::strcmp(operation, "zkFileDownloadVerified") == 0;
  if (verified || std::strcmp(operation, "zkFileDownload64") == 0) {
    DownloadCall<ZKmd::zkSeqFileBuf64> call(
        servant, &arena, verified ? "zkFileDownloadVerified" : "zkFileDownload64", verified);
    request.Serve(call);
    return true;
  }
  return request.ServeAsGenerated();
}

}  // namespace zk
