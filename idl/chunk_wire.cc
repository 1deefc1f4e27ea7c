// Reading chunk sequences into an arena.
#include "idl/chunk_wire.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "idl/chunk_layout.h"
#include "idl/omniorb/calls.h"

namespace zk {
namespace {

// A chunk read whole, its data into the arena.
class ArenaReader : public ChunkFieldReader {
 public:
  ArenaReader(cdrStream& s, ChunkArena* arena) : ChunkFieldReader(s), arena_(arena) {}
  using ChunkFieldReader::Integer;
  void Data(ChunkField, ZKmd::DataBuffer& data) {
    const CORBA::ULong len = ReadDataLength(s_);
    if (len == 0) {
      data.length(0);
      return;
    }
    CORBA::Octet* buf = arena_->Alloc(len);
    s_.get_octet_array(buf, static_cast<int>(len), omni::ALIGN_1);
    data.replace(len, len, buf, false);
  }

 private:
  ChunkArena* arena_;
};

template <class Chunks>
void Read(cdrStream& s, ChunkArena* arena, Chunks* chunks) {
  const CORBA::ULong n = ReadDataLength(s);
  chunks->length(n);
  ArenaReader reader(s, arena);
  for (CORBA::ULong i = 0; i < n; ++i) VisitChunk((*chunks)[i], reader);
}

// A chunk of a download reply handed to a sink as it is read, its data through `piece`; the
// fields after the data are read and dropped.
class SinkReader : public ChunkFieldReader {
 public:
  SinkReader(cdrStream& s, ChunkSink* sink, uint8_t* piece)
      : ChunkFieldReader(s), sink_(sink), piece_(piece) {}
  // Reads chunk `i` into `c` (which keeps no data).
  void Read(CORBA::ULong i, ZKmd::zkStrctFileBuf64* c) {
    i_ = i;
    c_ = c;
    VisitChunk(*c, *this);
  }
  // The fields before the data are in c_ by then.
  void Data(ChunkField, ZKmd::DataBuffer&) {
    const CORBA::ULong len = ReadDataLength(s_);
    bool wanted = sink_->ChunkStart(i_, c_->fileSize, c_->updDt.in(), c_->crtDt.in(), len);
    for (size_t done = 0; done < len;) {
      const size_t n = std::min<size_t>(len - done, kChunkPieceBytes);
      s_.get_octet_array(piece_, static_cast<int>(n), omni::ALIGN_1);
      if (wanted) wanted = sink_->Piece(done, piece_, n);
      done += n;
    }
    sink_->ChunkEnd();
  }

 private:
  ChunkSink* sink_;
  uint8_t* piece_;
  CORBA::ULong i_ = 0;
  ZKmd::zkStrctFileBuf64* c_ = nullptr;
};

template <class Chunks>
void Feed(CORBA::Long result, const Chunks& chunks, ChunkSink* sink, size_t piece) {
  sink->Begin(result, chunks.length());
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const auto& c = chunks[i];
    const size_t len = c.fileBuf.length();
    bool wanted = sink->ChunkStart(i, c.fileSize, c.updDt.in(), c.crtDt.in(), len);
    for (size_t done = 0; wanted && done < len; done += piece) {
      wanted = sink->Piece(done, c.fileBuf.get_buffer() + done, std::min(piece, len - done));
    }
    sink->ChunkEnd();
  }
}

class Download64Call : public OwnCall {
 public:
  Download64Call(const char* user, const ZKmd::zkSeqFileBuf64& requests, ChunkSink* sink,
                 uint8_t* piece, bool verified)
      : user_(user), requests_(requests), sink_(sink), piece_(piece), verified_(verified) {}

  void WriteArguments(cdrStream& s) override {
    s.marshalString(user_, 0);
    requests_ >>= s;
    index_ >>= s;
  }
  void ReadResults(cdrStream& s) override {
    result_ = ReadDownloadReply(s, sink_, piece_, &index_);
    if (verified_) ReadReplyDigests(s, sink_);
  }
  // A servant in this process: called directly, its reply fed to the sink from memory.
  void Run(_impl_ZKmd* servant) override {
    ZKmd::zkSeqFileBuf64 reply = requests_;
    if (!verified_) {
      result_ = servant->zkFileDownload64(user_, reply, index_);
      FeedChunks(result_, reply, sink_);
      return;
    }
    ZKmd::DataBuffer_var digests;
    result_ = servant->zkFileDownloadVerified(user_, reply, index_, digests.out());
    FeedChunks(result_, reply, sink_);
    sink_->Digests(SplitDigests(digests->get_buffer(), digests->length()));
  }
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:
  const char* user_;
  const ZKmd::zkSeqFileBuf64& requests_;
  ChunkSink* sink_;
  uint8_t* piece_;
  bool verified_;
  CORBA::Long result_ = 0;
  CORBA::Long index_ = 0;
};

// Reads all `len` bytes of chunk `i` of `source` into `buf`, piece by piece; after a read that
// fails, the rest is zeros and the result false.
bool ReadWhole(UploadSource* source, CORBA::ULong i, size_t len, uint8_t* buf) {
  for (size_t done = 0; done < len; done += kChunkPieceBytes) {
    const size_t n = std::min(len - done, kChunkPieceBytes);
    if (!source->Read(i, done, buf + done, n)) {
      std::memset(buf + done, 0, len - done);
      return false;
    }
  }
  return true;
}

// Writes a chunk whose `len` bytes of data `source` reads as the ORB would write the chunk with
// that data. A counting stream (GIOP 1.0 sizes a request before sending it) only counts: nothing
// is read for it, and it counts the same bytes as the sending pass.
class StreamedWriter : public ChunkFieldWriter {
 public:
  // With `digest`, the bytes written are digested into it (on the sending pass).
  StreamedWriter(cdrStream& s, CORBA::ULong i, size_t len, UploadSource* source, uint8_t* piece,
                 ChunkDigest* digest)
      : ChunkFieldWriter(s), i_(i), len_(len), source_(source), piece_(piece), digest_(digest) {}
  using ChunkFieldWriter::Integer;

  // The number follows the data: a chunk whose file failed mid-way is marked as one no server
  // takes.
  void Integer(ChunkField f, CORBA::Long v) {
    ChunkFieldWriter::Integer(f, f == ChunkField::kBufNo && !readable_ ? CORBA::Long{0} : v);
  }
  void Data(ChunkField, const ZKmd::DataBuffer&) {
    const bool counting = IsCountingStream(s_);
    static_cast<CORBA::ULong>(len_) >>= s_;
    if (!counting && SizedBeforeSending(s_)) {
      // The data with one call (idl/omniorb/streams.h), read whole first.
      std::vector<uint8_t> whole(len_);
      readable_ = ReadWhole(source_, i_, len_, whole.data());
      if (digest_) digest_->Update(whole.data(), len_);
      s_.put_octet_array(whole.data(), static_cast<int>(len_), omni::ALIGN_1);
      return;
    }
    for (size_t done = 0; done < len_;) {
      const size_t n = std::min(len_ - done, kChunkPieceBytes);
      if (!counting && readable_) readable_ = source_->Read(i_, done, piece_, n);
      if (!counting && !readable_) std::memset(piece_, 0, n);
      if (!counting && digest_) digest_->Update(piece_, n);
      s_.put_octet_array(piece_, static_cast<int>(n), omni::ALIGN_1);
      done += n;
    }
  }

 private:
  CORBA::ULong i_;
  size_t len_;
  UploadSource* source_;
  uint8_t* piece_;
  ChunkDigest* digest_;
  bool readable_ = true;
};

class UploadCall : public OwnCall {
 public:
  UploadCall(const char* user, const ZKmd::zkSeqFileBuf& batch, CORBA::Long index,
             UploadSource* source, uint8_t* piece, bool verified)
      : user_(user),
        batch_(batch),
        index_(index),
        source_(source),
        piece_(piece),
        verified_(verified) {}

  void WriteArguments(cdrStream& s) override {
    WriteUploadRequest(s, user_, batch_, index_, source_, piece_, verified_);
  }
  void ReadResults(cdrStream& s) override {
    result_ <<= s;
    index_ <<= s;
  }
  // A servant in this process: called directly with every chunk's data in memory.
  void Run(_impl_ZKmd* servant) override {
    const ZKmd::zkSeqFileBuf& batch = batch_;
    ZKmd::zkSeqFileBuf whole(batch.length());
    whole.length(batch.length());
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      ZKmd::zkStrctFileBuf& c = whole[i];
      BorrowChunk(batch[i], &c);
      const size_t len = source_->StreamedLength(i);
      if (len == 0) continue;
      // A streamed chunk: its data is read here.
      const CORBA::ULong n32 = static_cast<CORBA::ULong>(len);
      c.fileBuf.length(n32);
      if (!ReadWhole(source_, i, len, c.fileBuf.get_buffer())) c.bufNo = 0;
    }
    if (!verified_) {
      result_ = servant->zkFileUpload(user_, whole, index_);
      return;
    }
    ZKmd::DataBuffer digests(whole.length() * static_cast<CORBA::ULong>(sizeof(Digest128)));
    digests.length(digests.maximum());
    for (CORBA::ULong i = 0; i < whole.length(); ++i) {
      const Digest128 d = DigestOfChunk(source_->Position(i), whole[i].fileBuf.get_buffer(),
                                        whole[i].fileBuf.length());
      std::copy(d.begin(), d.end(), digests.get_buffer() + i * sizeof(Digest128));
    }
    result_ = servant->zkFileUploadVerified(user_, whole, digests, index_);
  }
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:
  const char* user_;
  const ZKmd::zkSeqFileBuf& batch_;
  CORBA::Long index_;
  UploadSource* source_;
  uint8_t* piece_;
  bool verified_;
  CORBA::Long result_ = 0;
};

}  // namespace

void WriteUploadRequest(cdrStream& s, const char* user, const ZKmd::zkSeqFileBuf& batch,
                        CORBA::Long index, UploadSource* source, uint8_t* piece, bool verified) {
  s.marshalString(user, 0);
  const CORBA::ULong n = batch.length();
  n >>= s;
  // Digests are taken on the sending pass only; a counting pass counts their bytes.
  const bool digesting = verified && !IsCountingStream(s);
  std::vector<uint8_t> digests(verified ? n * sizeof(Digest128) : 0);
  for (CORBA::ULong i = 0; i < n; ++i) {
    const size_t len = source->StreamedLength(i);
    Digest128 d{};
    if (len == 0) {
      batch[i] >>= s;
      if (digesting) {
        d = DigestOfChunk(source->Position(i), batch[i].fileBuf.get_buffer(),
                          batch[i].fileBuf.length());
      }
    } else {
      ChunkDigest digest(digesting ? source->Position(i) : 0);
      StreamedWriter writer(s, i, len, source, piece, digesting ? &digest : nullptr);
      VisitChunk(batch[i], writer);
      if (digesting) d = digest.Finish();
    }
    if (verified) std::copy(d.begin(), d.end(), digests.begin() + i * sizeof(Digest128));
  }
  if (verified) {
    static_cast<CORBA::ULong>(digests.size()) >>= s;
    if (!digests.empty()) {
      s.put_octet_array(digests.data(), static_cast<int>(digests.size()), omni::ALIGN_1);
    }
  }
  index >>= s;
}

CORBA::Long ReadDownloadReply(cdrStream& s, ChunkSink* sink, uint8_t* piece, CORBA::Long* index) {
  CORBA::Long result;
  result <<= s;
  const CORBA::ULong n = ReadDataLength(s);
  sink->Begin(result, n);
  SinkReader reader(s, sink, piece);
  ZKmd::zkStrctFileBuf64 c;
  for (CORBA::ULong i = 0; i < n; ++i) reader.Read(i, &c);
  *index <<= s;
  return result;
}

void ReadReplyDigests(cdrStream& s, ChunkSink* sink) {
  const CORBA::ULong len = ReadDataLength(s);
  std::vector<uint8_t> bytes(len);
  if (len > 0) s.get_octet_array(bytes.data(), static_cast<int>(len), omni::ALIGN_1);
  sink->Digests(SplitDigests(bytes.data(), bytes.size()));
}

std::vector<Digest128> SplitDigests(const uint8_t* bytes, size_t len) {
  std::vector<Digest128> out(len / sizeof(Digest128));
  for (size_t i = 0; i < out.size(); ++i) {
    std::copy(bytes + i * sizeof(Digest128), bytes + (i + 1) * sizeof(Digest128), out[i].begin());
  }
  return out;
}

void JoinDigests(const std::vector<Digest128>& digests, ZKmd::DataBuffer* out) {
  out->length(static_cast<CORBA::ULong>(digests.size() * sizeof(Digest128)));
  for (size_t i = 0; i < digests.size(); ++i) {
    std::copy(digests[i].begin(), digests[i].end(), out->get_buffer() + i * sizeof(Digest128));
  }
}

CORBA::Long UploadFrom(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf& batch,
                       CORBA::Long* index, UploadSource* source, uint8_t* piece, bool verified) {
  UploadCall call(user, batch, *index, source, piece, verified);
  Invoke(server, verified ? "zkFileUploadVerified" : "zkFileUpload", call);
  *index = call.index();
  return call.result();
}

void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks, ChunkSink* sink,
                size_t piece) {
  Feed(result, chunks, sink, piece);
}

void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks, ChunkSink* sink,
                size_t piece) {
  Feed(result, chunks, sink, piece);
}

CORBA::Long DownloadTo(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf64& requests,
                       CORBA::Long* index, ChunkSink* sink, uint8_t* piece, bool verified) {
  Download64Call call(user, requests, sink, piece, verified);
  Invoke(server, verified ? "zkFileDownloadVerified" : "zkFileDownload64", call);
  *index = call.index();
  return call.result();
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf* chunks) {
  Read(s, arena, chunks);
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf64* chunks) {
  Read(s, arena, chunks);
}

}  // namespace zk
