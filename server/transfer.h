// The server's side of the chunk protocol: storing uploaded chunks and filling download requests
// inside one user's storage area. The servant opens the area as a confined file system
// (server/storage.h); these functions do the rest through it, so tests can run them on a scratch
// directory.
#ifndef ZK_SERVER_TRANSFER_H_
#define ZK_SERVER_TRANSFER_H_

#include <memory>
#include <string>
#include <vector>

#include "idl/chunk_memory.h"
#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/digest.h"
#include "platform/fs.h"
#include "server/area_usage.h"
#include "server/closing_queue.h"
#include "server/file_digest.h"
#include "server/uploads.h"

namespace zk {

// Who uploads: the connection the chunks came on (its id and socket), the storage directory of
// the area they go to, and the file system the areas are opened from (the servant's), through
// which uploads of other areas that the table gives up are removed (none when null).
// The user (UTF-8) and the server's kept uploads, which a verified upload's record and
// completion concern (none when null).
struct UploadCaller {
  uint64_t conn = 0;
  Socket socket;
  std::string area_dir;
  FileSystem* root = nullptr;
  std::string user;
  KeptUploads* kept = nullptr;
  ClosingQueue* closing = nullptr;  // closes the files a checked batch replaced; or none held
  AreaQuota quota;  // the user's storage limit (server/area_usage.h); none by default
  bool digest = false;  // the audit trail is on: each file's digest is taken as it is stored
};

// Stores `chunks` in order in `area` (the storage area's own file system, FileSystem::Beneath;
// null when the caller has none, which fails the first chunk). A chunk with bufNo 1 begins an
// upload of its file: into a temporary file beside it, invisible to every request. Each further
// chunk of the file continues that upload, from the same connection and with the next number.
// The last chunk of a file (nextBuf FALSE) gives the temporary file the file's last-write time
// and then puts it in the file's place, so the file is there whole or not at all.
// Returns 0, 20 (file not created, opened or written; not a regular file or a directory in the
// way; path refused; a chunk that continues no upload of this connection), 21 (directory not
// created) or 23 (kTransferQuotaFull: the chunk, or the file its first chunk announces, would take
// the area past caller.quota's limit; the upload is given up before the chunk is written).
// *index is 0 after success, else the 1-based position of the failing chunk; the chunks before it
// are stored. An upload that fails is given up, its temporary file removed: its later
// chunks fail as continuing none.
CORBA::Long StoreChunks(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
                        const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index);

// One batch of uploaded chunks stored in order, by the rules of StoreChunks (its one home), for
// chunks whose data is in memory (Store) and for chunks whose data is written into a file while it
// comes off the connection (Receive, Piece, Received). The number of such a chunk comes after its
// data, so where its data goes is a guess, checked once the number is known:
// - an upload of the file in progress on this connection (claimed, UploadTable::Claim): its
//   temporary file, from its current length; the next number stores the chunk there, number 1
//   moves the data into the temporary file of a new upload (the old one is given up), any other
//   number gives the upload up;
// - none: a new temporary file beside the target, not in the table yet; number 1 makes it the
//   upload, any other number removes it.
// Whatever a chunk that fails wrote is removed with its temporary file; nothing is written outside
// the area or under a name a request can see. Pieces of zeros are not written (holes); the last
// chunk gives the file its length.
//
// A `verified` store (zkFileUploadVerified) digests each chunk's data as it stores it, at the
// position where it stores it (platform/digest.h), and puts no file in its place before Verify has
// compared those digests with the ones the client sent after the batch's chunks: a file whose
// last chunk was stored waits for it. An upload that Verify leaves in progress gets its record
// (server/kept_uploads.h), so that it is kept when it stops. A store that ends without Verify
// leaves each upload it stored a chunk of as it was before, or gives it up when it began here.
class ChunkStore {
 public:
  // `area`, `uploads` and `caller` as StoreChunks takes them; `area` may be null.
  ChunkStore(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
             bool verified = false)
      : area_(area), uploads_(uploads), caller_(caller), verified_(verified) {}
  ~ChunkStore();
  ChunkStore(const ChunkStore&) = delete;
  ChunkStore& operator=(const ChunkStore&) = delete;

  // Stores the chunk `c` with its data in c.fileBuf: 0, 20 or 21 as StoreChunks.
  CORBA::Long Store(const ZKmd::zkStrctFileBuf& c);

  // Before the data of a chunk of `len` bytes for the file `name` in the wire folder `path`
  // (UTF-8): opens the file its data goes to (makes the folders the chunk needs, as Store would).
  void Receive(const char* path, const char* name, size_t len);
  // The next `n` bytes of that chunk's data.
  void Piece(const uint8_t* data, size_t n);
  // After the data: stores the chunk `c` (its fields; c.fileBuf is not used) with the data
  // received: 0, 20 or 21 as Store.
  CORBA::Long Received(const ZKmd::zkStrctFileBuf& c);

  // With caller.digest: the digest (server/file_digest.h) of the whole file whose last chunk the
  // latest Store or Received stored, of every byte in file order, holes included. Empty when that
  // chunk was not a file's last, failed, or part of the file's bytes was not digested.
  const std::string& landed_digest() const { return landed_digest_; }

  // A verified store, after its chunks: `digests` holds the client's digest of each chunk of the
  // batch, 16 bytes each, in order; the chunks stored are the batch's first ones. The files of
  // the chunks before the first whose digest differs (or is missing) are put in place; the
  // uploads of that chunk and of every chunk stored after it are given up. Returns 0, or 22 with
  // *index the 1-based position of that chunk, or 20 with it at a chunk whose file could not be
  // put in place.
  CORBA::Long Verify(const uint8_t* digests, size_t len, CORBA::Long* index);

 private:
  // Where a received chunk's data was written.
  struct Landing {
    std::unique_ptr<FileSystem::File> file;  // null: the data was not written anywhere
    std::string path;                        // of the file in the area
    int64_t offset = 0;                      // of the chunk's first byte in it
    size_t received = 0;                     // bytes of the chunk so far
    bool fresh = false;                      // a new temporary file, not (yet) an upload's
    bool failed = false;                     // a write failed
    bool tail_hole = false;                  // the last piece was zeros, not written
    bool refused = false;                    // the area's limit refused the data: not written
    UploadKey key;                           // the claimed upload, when claim is not 0
    uint64_t claim = 0;
    ChunkDigest digest{0};                   // of the data received, in a verified store
    std::shared_ptr<FileDigest> file_digest;  // of the upload's file (landed_digest)
  };

  // Where the upload a chunk belongs to stands.
  struct Step {
    std::string target;        // the file in the area
    UploadKey key;             // its upload
    UploadTable::Progress at;  // its temporary file and the bytes stored in it
    bool target_absent = false;  // nothing was at the target when this chunk began the upload
    // The whole file in this one chunk, in memory: its digest comes from the chunk's bytes in one
    // call, not from a FileDigest of its upload.
    bool whole_in_memory = false;
  };

  // A chunk that a verified store stored, waiting for Verify.
  struct Unverified {
    Digest128 digest;
    UploadKey key;
    std::string temp;
    std::string target;
    int32_t no = 0;        // its number
    int64_t start = 0;     // where it was stored
    bool recorded = false;  // its upload has a record
    int32_t size = 0;      // the fileSize it gave
    std::string upd;
    bool last = false;  // its file, with its length and times, waits for Verify to be renamed
    // The file it will replace, held open so that the rename does not free its blocks.
    std::unique_ptr<FileSystem::File> replaced;
  };

  // The steps of storing a chunk, for both ways its data arrives (Store, Received).
  // Begins the upload when `c` is its first chunk, then continues it: 0 with where it stands in
  // *step, else 20 or 21. `land` is where the chunk's data was received, or null.
  CORBA::Long Continue(const ZKmd::zkStrctFileBuf& c, Landing* land, Step* step);
  // A new upload of step->target in the folder `dir`: false when the target is refused.
  bool Begin(Step* step, const std::string& dir, Landing* land);
  // The data is written and `length` bytes are stored: the last chunk puts the file in place
  // (giving it its length first when it ends in a hole). 0, or 20 with the upload given up.
  CORBA::Long Complete(const ZKmd::zkStrctFileBuf& c, const Step& step, int64_t length,
                       bool hole);
  // Gives the upload up after a write failed: 20.
  CORBA::Long Abandon(const Step& step);
  // Puts a finished upload's temporary file in the target's place: its length (when it ends in a
  // hole), its time, then the rename. False when that failed.
  bool PutInPlace(const std::string& temp, const std::string& target, int64_t length, bool hole,
                  const char* upd, const char* crt);
  // A verified store stored the chunk `c` of `step`'s upload, whose data has `digest`.
  void Note(const ZKmd::zkStrctFileBuf& c, const Step& step, const Digest128& digest);
  // Gives up what a verified store stored from its `first` chunk on.
  void GiveUpFrom(size_t first);
  // Puts the verified upload `u` in place: false when that failed.
  bool Land(Unverified* u);
  // For the rename of the whole but unchecked upload `u`, while the rest of the request is still
  // to come: holds the file it will replace open, so that the rename does not free that file's
  // blocks while the client waits for the reply (the closing queue does, later).
  void PrepareRename(Unverified* u);
  // Writes the records of the uploads that the verified chunks before `end` leave in progress.
  void RecordUnfinished(size_t end);
  // A verified store that ends unchecked: each upload it stored chunks of stands where it stood
  // before them again (or is given up when it began here).
  void Rewind();
  // Gives the upload up, refused by the area's limit: kTransferQuotaFull.
  CORBA::Long Refuse(const Step& step);
  // The target of a chunk in the area and its folder, made: 0, 20 or 21.
  CORBA::Long Locate(const char* path, const char* name, std::string* target, std::string* dir);
  // Copies the landed data into the new temporary file `temp`; `land` then describes it there.
  bool Move(Landing* land, const std::string& temp);
  // Removes what a landing left that no upload took, ends its claim.
  void Finish(Landing* land);
  // A digest for a new upload's file, when the caller wants them.
  std::shared_ptr<FileDigest> NewFileDigest() const;

  FileSystem* area_;
  UploadTable* uploads_;
  UploadCaller caller_;
  std::string made_;  // the directory this batch created last (chunks mostly share one)
  Landing land_;
  bool verified_;
  bool checked_ = false;             // Verify ran
  std::vector<Unverified> stored_;  // by a verified store, in order
  size_t held_ = 0;                 // files held open by PrepareRename, at most kMaxHeldReplaced
  static constexpr size_t kMaxHeldReplaced = 64;
  std::vector<std::unique_ptr<FileSystem::File>> replaced_;  // by Land, for the closing queue
  std::string landed_digest_;
};

// What a download reply takes besides its chunks, at most: the GIOP and reply headers (with room
// for service contexts), the result, the sequence length and bufIndex.
constexpr int64_t kReplyEnvelopeBytes = 1024;
// What the chunk `c` takes in a download reply once filled, at most: its bufUnitSize bytes of
// data, its texts (the times as the server writes them) and its fixed fields.
int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c);
int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf64& c);

// The data of a download's chunks. A chunk of more than `stream_above` bytes is read while the
// reply is written, piece by piece, from its file kept open (one for consecutive chunks of one
// file; at most kMaxHeldFiles are kept); the others are read at once, when they are added.
class ChunkSource {
 public:
  static constexpr size_t kMaxHeldFiles = 16;

  // Data read at once lies in `arena` (in memory of the source's own when null).
  ChunkSource(ChunkArena* arena, size_t stream_above)
      : arena_(arena), stream_above_(stream_above) {}
  // Keeps the area the files were opened in for as long as the source lives.
  void Keep(std::unique_ptr<FileSystem> area) { area_ = std::move(area); }
  // Adds the next chunk: `len` bytes from `pos` of the regular file at `path` of `area`, and
  // gives the file's properties. False when it cannot be opened, looked at or read.
  bool Add(FileSystem* area, const std::string& path, int64_t pos, size_t len, DirEntry* entry);

  size_t size() const { return parts_.size(); }
  // The bytes of chunk `i`'s data.
  size_t Length(size_t i) const { return parts_[i].length; }
  // Chunk `i`'s data when it was read at once; null when it is streamed (or empty).
  const uint8_t* Data(size_t i) const { return parts_[i].data; }
  // Reads `len` bytes of chunk `i`'s data, from `at` bytes into it, into `buf`: zero bytes past
  // the end of its file. False when the file cannot be read.
  bool Read(size_t i, size_t at, size_t len, void* buf);

 private:
  struct Part {
    FileSystem::File* file;  // null when read at once
    int64_t pos;
    size_t length;
    const uint8_t* data;
  };
  bool ReadFrom(FileSystem::File* file, int64_t pos, size_t len, void* buf);

  ChunkArena* arena_;
  size_t stream_above_;
  std::unique_ptr<FileSystem> area_;
  std::vector<std::unique_ptr<FileSystem::File>> files_;
  std::string last_path_;
  bool last_held_ = false;  // a streamed chunk needs files_.back()
  size_t held_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> owned_;
  std::vector<Part> parts_;
};

// Checks each request of `chunks` as FillChunks does and fills its fields, with each file opened
// in `source` (which reads the data of small chunks at once): fileBuf stays empty;
// source->Length(i) is the data's length.
// Returns 0 or 20 with *index as FillChunks.
CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index,
                       ChunkSource* source);
CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index,
                       ChunkSource* source);

// Fills each request of `chunks` from the file in `area`: fileSize, updDt, crtDt and bufUnitSize
// bytes from bufPos (zero bytes past the end of the file). Refuses (20) a missing, unreadable or
// not regular file, a refused path, a negative position or length, and lengths that would not
// fit in one reply with their headers (kMaxMessageBytes). Returns 0 or 20 with *index as in
// StoreChunks. The 32-bit fileSize of zkFileDownload is NarrowSize of the size (-1 for a file
// of 2 GiB or more); zkFileDownload64 gives it whole and reads at any 64-bit position.
// Each chunk owns its data.
CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index);
CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index);

// Gives each chunk of `chunks` that OpenChunks opened in `source` a copy of its data, for a
// source that streams nothing (stream_above SIZE_MAX): every chunk's data was read at once.
void CopyChunkData(const ChunkSource& source, ZKmd::zkSeqFileBuf& chunks);
void CopyChunkData(const ChunkSource& source, ZKmd::zkSeqFileBuf64& chunks);

}  // namespace zk

#endif  // ZK_SERVER_TRANSFER_H_
