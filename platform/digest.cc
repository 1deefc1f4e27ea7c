// XXH3-128 over transferred data.
#include "platform/digest.h"

#include <xxhash.h>
#if defined(__x86_64__)
// The library's own choice of the widest vector instructions the processor has (AVX2, AVX-512)
// for the calls below: three times the rate of its default build's SSE2 where we measured.
#include <xxh_x86dispatch.h>
#endif

#include <algorithm>
#include <new>

namespace zk {
namespace {

// Zeros to digest the parts of a chunk that are not in memory.
constexpr size_t kZeroBlock = 64 * 1024;
const uint8_t kZeros[kZeroBlock] = {};

void PutLittle(uint64_t v, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

Digest128 Canonical(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  Digest128 d;
  std::copy(canonical.digest, canonical.digest + d.size(), d.begin());
  return d;
}

// A chunk's digest from its bytes' own: with the chunk's place and the length actually given.
// One call over 32 bytes in memory: a streaming state would cost more than the bytes of a small
// chunk.
Digest128 Placed(const Digest128& bytes, int64_t pos, uint64_t len) {
  uint8_t all[16 + 16];
  std::copy(bytes.begin(), bytes.end(), all);
  PutLittle(static_cast<uint64_t>(pos), all + 16);
  PutLittle(len, all + 24);
  return Canonical(XXH3_128bits(all, sizeof all));
}

}  // namespace

struct StreamDigest::State {
  State() : xxh(XXH3_createState()) {
    if (!xxh) throw std::bad_alloc();
    XXH3_128bits_reset(xxh);
  }
  ~State() { XXH3_freeState(xxh); }
  XXH3_state_t* xxh;
};

std::string DigestText(const Digest128& d) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (uint8_t b : d) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

StreamDigest::StreamDigest() : state_(new State) {}
StreamDigest::~StreamDigest() = default;
StreamDigest::StreamDigest(StreamDigest&&) noexcept = default;
StreamDigest& StreamDigest::operator=(StreamDigest&&) noexcept = default;

void StreamDigest::Update(const void* data, size_t len) {
  if (len == 0) return;
  XXH3_128bits_update(state_->xxh, data, len);
  length_ += len;
}

void StreamDigest::Zeros(uint64_t len) {
  while (len > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, kZeroBlock));
    Update(kZeros, n);
    len -= n;
  }
}

Digest128 StreamDigest::Value() const { return Canonical(XXH3_128bits_digest(state_->xxh)); }

void StreamDigest::Reset() {
  XXH3_128bits_reset(state_->xxh);
  length_ = 0;
}

Digest128 ChunkDigest::Finish() const { return Placed(bytes_.Value(), pos_, bytes_.length()); }

bool DigestBlocks(FileSystem::File* f, int64_t length, int64_t block, std::vector<Digest128>* out,
                  const std::vector<Digest128>* expected) {
  constexpr size_t kPiece = 1 << 20;
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kPiece]);
  for (int64_t pos = 0; pos < length; pos += block) {
    const int64_t end = std::min(length, pos + block);
    ChunkDigest d(pos);
    for (int64_t at = pos; at < end;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(kPiece, end - at));
      size_t got = 0;
      if (!f->ReadAt(at, n, piece.get(), &got)) return false;
      d.Update(piece.get(), got);
      d.Zeros(n - got);
      at += static_cast<int64_t>(n);
    }
    const Digest128 digest = d.Finish();
    if (expected && (out->size() >= expected->size() || (*expected)[out->size()] != digest)) break;
    out->push_back(digest);
  }
  return true;
}

Digest128 DigestOfChunk(int64_t pos, const void* data, size_t len, Digest128* bytes) {
  // The same value as a ChunkDigest given the bytes in one piece, without a streaming state.
  const Digest128 own = DigestOfBytes(data, len);
  if (bytes) *bytes = own;
  return Placed(own, pos, len);
}

Digest128 DigestOfBytes(const void* data, size_t len) {
  return Canonical(XXH3_128bits(len > 0 ? data : nullptr, len));
}

}  // namespace zk
