// Digests: the same value however the bytes are cut, zeros digested without memory as the zeros
// they stand for, and a chunk's digest bound to its place and length.
#include "platform/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zk {
namespace {

std::string Pattern(size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(i * 131 + i / 977);
  return s;
}

Digest128 Whole(const std::string& s) {
  StreamDigest d;
  d.Update(s.data(), s.size());
  return d.Value();
}

TEST(DigestTest, IsXxh3OfTheBytesHoweverTheyAreCut) {
  // XXH3-128 of nothing, as xxh128sum prints it.
  EXPECT_EQ("99aa06d3014798d86001c324468d497f", DigestText(StreamDigest().Value()));
  const std::string data = Pattern(300000);
  for (size_t piece : {1, 7, 4096, 65536, 299999}) {
    StreamDigest d;
    for (size_t at = 0; at < data.size(); at += piece) {
      d.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(Whole(data), d.Value()) << piece;
    EXPECT_EQ(data.size(), d.length());
  }
  EXPECT_NE(Whole(data), Whole(data.substr(1)));
  // In one call, alone or beside a chunk's digest, the same value.
  EXPECT_EQ(Whole(data), DigestOfBytes(data.data(), data.size()));
  EXPECT_EQ(StreamDigest().Value(), DigestOfBytes(nullptr, 0));
  Digest128 bytes{};
  EXPECT_EQ(DigestOfChunk(5, data.data(), data.size()),
            DigestOfChunk(5, data.data(), data.size(), &bytes));
  EXPECT_EQ(Whole(data), bytes);
  StreamDigest reused;
  reused.Update("x", 1);
  reused.Reset();
  reused.Update(data.data(), data.size());
  EXPECT_EQ(Whole(data), reused.Value());
}

TEST(DigestTest, ZerosAreTheZerosTheyStandFor) {
  for (uint64_t len : {0ULL, 1ULL, 65536ULL, 65537ULL, 200001ULL}) {
    StreamDigest d;
    d.Update("ab", 2);
    d.Zeros(len);
    d.Update("c", 1);
    EXPECT_EQ(Whole("ab" + std::string(len, '\0') + "c"), d.Value()) << len;
  }
}

TEST(DigestTest, AChunkMatchesOnlyTheSameBytesAtTheSamePlace) {
  const std::string data = Pattern(5000);
  const Digest128 sent = DigestOfChunk(1 << 20, data.data(), data.size());
  ChunkDigest pieces(1 << 20);
  pieces.Update(data.data(), 1000);
  pieces.Zeros(0);
  pieces.Update(data.data() + 1000, 4000);
  EXPECT_EQ(sent, pieces.Finish());
  EXPECT_NE(sent, DigestOfChunk((1 << 20) + 5000, data.data(), data.size()));  // another place
  EXPECT_NE(sent, DigestOfChunk(1 << 20, data.data(), 4999));                  // cut short
  std::string changed = data;
  changed[4321] ^= 1;
  EXPECT_NE(sent, DigestOfChunk(1 << 20, changed.data(), changed.size()));
  // Zeros in memory and zeros left as a hole digest alike; the plain digest of the bytes is not
  // the chunk's.
  const std::string zeros(3000, '\0');
  ChunkDigest hole(0);
  hole.Zeros(3000);
  EXPECT_EQ(DigestOfChunk(0, zeros.data(), zeros.size()), hole.Finish());
  EXPECT_NE(Whole(zeros), hole.Finish());
}

TEST(DigestTest, AChunkIsTheDigestOfItsBytesDigestPlaceAndLength) {
  // What peers compare: the bytes' XXH3-128, then the position and the length as 64-bit little
  // endian, digested again; the same whether the bytes came in one piece or in many.
  for (size_t len : {0, 1, 4096, 5000, 200000}) {
    const std::string data = Pattern(len);
    const int64_t pos = 3 * static_cast<int64_t>(len) + 0x123456789;
    std::string all;
    for (uint8_t b : Whole(data)) all += static_cast<char>(b);
    for (uint64_t v : {static_cast<uint64_t>(pos), static_cast<uint64_t>(len)}) {
      for (int i = 0; i < 8; ++i) all += static_cast<char>(v >> (8 * i));
    }
    const Digest128 expected = Whole(all);
    EXPECT_EQ(expected, DigestOfChunk(pos, data.data(), data.size())) << len;
    ChunkDigest pieces(0);
    for (size_t at = 0; at < len; at += 777) pieces.Update(data.data() + at, std::min<size_t>(777, len - at));
    pieces.Place(pos);
    EXPECT_EQ(expected, pieces.Finish()) << len;
  }
}

}  // namespace
}  // namespace zk
