// The server as zkcp's walks reach it: listings, and the upload and download of chunk batches.
// CopyServer is what the walks call, so that tests can run them against fakes; ZKmdCopyServer makes
// the requests over the ORB.
#ifndef ZK_CLIENTS_COPY_SERVER_H_
#define ZK_CLIENTS_COPY_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clients/server_list.h"
#include "clients/server_text.h"
#include "idl/chunk_memory.h"
#include "idl/chunk_wire.h"
#include "idl/orb.h"

namespace zk {

// The requests the walks make. Failures of a request itself are thrown (CORBA exceptions from
// the real server).
class CopyServer {
 public:
  virtual ~CopyServer() = default;
  // Entries of server directory `dir` matching `mask`, sorted by name (zkFileCount, then the
  // listing with kSortByName when the count is at least 1).
  virtual std::vector<ListEntry> List(const std::string& dir, const std::string& mask) = 0;
  // zkFileUpload / the download: result code, *index the failing chunk's 1-based position. The
  // data of an upload's chunks that `source` streams is read from it while the request is sent.
  // A download's reply goes to `sink` while it arrives (result, then each chunk's properties and
  // data); when the request fails before any reply, `sink` hears nothing.
  virtual CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                             UploadSource* source) = 0;
  virtual CORBA::Long Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                               ChunkSink* sink) = 0;
  // The same server for the same user over a second connection, opened on the first call (null
  // when there is none): a download, or an upload of whole files, may run on it while one runs
  // here, on another thread.
  virtual CopyServer* Second() { return nullptr; }
  // What the server kept of a stopped upload of `name` into server directory `dir` whose source
  // had `size` bytes and the time text `upd` (zkFileKept): true, with the bytes it holds and the
  // digests of its blocks; false when there is none, or the server keeps none.
  virtual bool Kept(const std::string& dir, const std::string& name, int64_t size,
                    const std::string& upd, int64_t* kept, std::vector<Digest128>* blocks) {
    (void)dir, (void)name, (void)size, (void)upd, (void)kept, (void)blocks;
    return false;
  }
  // Takes that kept upload up after its first `from` bytes, its next chunk numbered `no`
  // (zkFileResume); with `from` 0, drops it. True when the server did.
  virtual bool Resume(const std::string& dir, const std::string& name, int64_t size,
                      const std::string& upd, int64_t from, int32_t no) {
    (void)dir, (void)name, (void)size, (void)upd, (void)from, (void)no;
    return false;
  }
  // True while a stopped download may be continued later: the server has not shown that it
  // lacks what that takes.
  virtual bool ResumesDownloads() { return false; }
  // How many of the first `length` bytes of the file `name` in server directory `dir`, which
  // had `size` bytes and the time text `upd`, agree with a partial copy whose blocks have the
  // digests `blocks` (zkFileAgreed): the leading blocks that agree, in bytes; 0 when none do or
  // the server cannot say.
  virtual int64_t Agreed(const std::string& dir, const std::string& name, int64_t size,
                         const std::string& upd, int64_t length,
                         const std::vector<Digest128>& blocks) {
    (void)dir, (void)name, (void)size, (void)upd, (void)length, (void)blocks;
    return 0;
  }
};

// CopyServer over a ZKmd reference for one authenticated user (`user` in its wire form). Lists
// and downloads with the 64-bit operations, or with zkFileList and zkFileDownload on a server
// without them (decided once, by the first listing); downloads with zkFileDownloadVerified where
// the server has it (decided by the first download), so that the reply's digests reach the sink.
// Names travel in the wire code of `text`: a listed name that cannot be read is left out; a
// directory or mask that cannot be written fails the listing; a chunk whose names cannot be written
// fails as the server's 20 would, after the chunks before it were sent. Second() is the reference
// that `open_second` gives (a connection of its own, logged in), when it gives one and the server
// has the 64-bit operations (a download in memory, as the older one is read, would hold two batches
// at once).
class ZKmdCopyServer : public CopyServer {
 public:
  ZKmdCopyServer(ZKmd_ptr server, const std::string& user, const ServerText& text = ServerText(),
                 std::function<ZKmd_ptr()> open_second = nullptr)
      : server_(server), user_(user), text_(text), open_second_(std::move(open_second)) {}
  std::vector<ListEntry> List(const std::string& dir, const std::string& mask) override;
  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                     UploadSource* source) override;
  CORBA::Long Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                       ChunkSink* sink) override;
  CopyServer* Second() override;
  // Copies as with a server that checks nothing (the benchmark's measure of what the check
  // costs).
  void SkipVerification() {
    verified_.UseNarrow();
    upload_verified_.UseNarrow();
  }
  bool Kept(const std::string& dir, const std::string& name, int64_t size, const std::string& upd,
            int64_t* kept, std::vector<Digest128>* blocks) override;
  bool Resume(const std::string& dir, const std::string& name, int64_t size,
              const std::string& upd, int64_t from, int32_t no) override;
  bool ResumesDownloads() override { return !verified_.narrow() && !agreed_.narrow(); }
  int64_t Agreed(const std::string& dir, const std::string& name, int64_t size,
                 const std::string& upd, int64_t length,
                 const std::vector<Digest128>& blocks) override;

 private:
  // zkFileDownload for `requests`, whose positions fit 32 bits; its whole reply, in memory, is
  // then fed to `sink`.
  CORBA::Long DownloadNarrow(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                             ChunkSink* sink);

  ZKmd_ptr server_;
  std::string user_;
  ServerText text_;
  WideOps ops_;
  // zkFileDownloadVerified and zkFileUploadVerified, which a server of this version has; found
  // out as ops_ is.
  WideOps verified_;
  WideOps upload_verified_;
  WideOps resume_;  // zkFileKept and zkFileResume
  WideOps agreed_;  // zkFileAgreed
  std::function<ZKmd_ptr()> open_second_;  // null once called
  ZKmd_var second_ref_;
  std::unique_ptr<ZKmdCopyServer> second_;
  // Where each piece of a download's data is received, or of an upload's read, used again for
  // every piece.
  std::unique_ptr<uint8_t[]> piece_{new uint8_t[kChunkPieceBytes]};
};

}  // namespace zk

#endif  // ZK_CLIENTS_COPY_SERVER_H_
