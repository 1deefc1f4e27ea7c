// Digests of transferred data: XXH3-128 (libxxhash), fast enough to run over every byte a copy
// moves. A chunk's digest covers its position and length as well as its bytes, so that data
// written at another place, cut short or taken from another chunk does not match; zeros that a
// receiver leaves as a hole are digested as the zeros they stand for.
//
//   ChunkDigest d(pos);
//   d.Update(piece, n);       // as the pieces are read or written, in order
//   d.Zeros(hole);            // bytes of zeros that are not in memory
//   if (d.Finish() != sent) ...
#ifndef ZK_PLATFORM_DIGEST_H_
#define ZK_PLATFORM_DIGEST_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace zk {

// 16 bytes, in the canonical (big-endian) order of XXH128, as they go on the wire.
using Digest128 = std::array<uint8_t, 16>;

// The digest as 32 lower-case hexadecimal digits, for logs and records.
std::string DigestText(const Digest128& d);

// A digest of bytes given in order, in as many calls as they come.
class StreamDigest {
 public:
  StreamDigest();
  ~StreamDigest();
  StreamDigest(StreamDigest&&) noexcept;
  StreamDigest& operator=(StreamDigest&&) noexcept;

  void Update(const void* data, size_t len);
  void Zeros(uint64_t len);
  // The digest of everything given so far; more may still be given after.
  Digest128 Value() const;
  uint64_t length() const { return length_; }
  // Starts again, as if new.
  void Reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t length_ = 0;
};

// The digest of the chunk at `pos` of a file.
class ChunkDigest {
 public:
  explicit ChunkDigest(int64_t pos) : pos_(pos) {}
  void Update(const void* data, size_t len) { bytes_.Update(data, len); }
  void Zeros(uint64_t len) { bytes_.Zeros(len); }
  // The chunk turned out to be at `pos`: its bytes may be given before its place is known.
  void Place(int64_t pos) { pos_ = pos; }
  // The chunk's digest: of its bytes, its position and how many bytes it was given.
  Digest128 Finish() const;

 private:
  StreamDigest bytes_;
  int64_t pos_;
};

// The digest of one chunk whose bytes are all in memory; with `bytes`, also the digest of the bytes
// alone there (what StreamDigest gives for them: a file's, when the chunk is the whole file).
Digest128 DigestOfChunk(int64_t pos, const void* data, size_t len, Digest128* bytes = nullptr);
// What StreamDigest gives for the `len` bytes at `data`, in one call.
Digest128 DigestOfBytes(const void* data, size_t len);

// The digests of the blocks of `block` bytes that make the first `length` bytes of the file `f`,
// each as a chunk at its position, the last one shorter; zeros past the file's end. Stops at the
// first block whose digest differs from the one at its place in `expected`, when given (its own
// digest is not added). False when the file cannot be read.
bool DigestBlocks(FileSystem::File* f, int64_t length, int64_t block, std::vector<Digest128>* out,
                  const std::vector<Digest128>* expected = nullptr);

}  // namespace zk

#endif  // ZK_PLATFORM_DIGEST_H_
