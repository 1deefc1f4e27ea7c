// The batches a walk level fills: what a chunk carries, and that whether the next one fits always
// follows what the batch holds, after chunks are dropped, borrowed or cleared as well.
#include "clients/pending_batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zk {
namespace {

const char kTime[] = "2020/01/02 03:04:05";

UploadHead Head(const std::string& name, int64_t size) {
  return UploadHead{".\\dir\\", name, kTime, kTime, size};
}

std::string Text(const ZKmd::DataBuffer& buf) {
  return std::string(reinterpret_cast<const char*>(buf.get_buffer()), buf.length());
}

ChunkSpan Span(int64_t pos, int64_t len, int32_t no, bool next) {
  ChunkSpan s;
  s.pos = pos;
  s.len = len;
  s.no = no;
  s.next = next;
  return s;
}

TEST(PendingBatchTest, AnUploadChunkCarriesSmallDataAndStreamsLargeData) {
  std::vector<uint8_t> data(kChunkPieceBytes + 10, 'a');
  UploadBatch batch(1 << 30);
  batch.Add(Head("small", 5), Span(0, 5, 1, false), data.data(), "/src/small");
  batch.Add(Head("piece", kChunkPieceBytes), Span(0, kChunkPieceBytes, 1, false), data.data(),
            "/src/piece");
  batch.Add(Head("large", 3 * kChunkPieceBytes),
            Span(kChunkPieceBytes, kChunkPieceBytes + 10, 2, true), data.data(), "/src/large");
  batch.Add(Head("empty", 0), Span(0, 0, 1, false), nullptr, "/src/empty");
  ASSERT_EQ(4u, batch.length());

  const ZKmd::zkSeqFileBuf& c = batch.chunks();
  // In memory up to one piece.
  EXPECT_EQ(std::string(5, 'a'), Text(c[0].fileBuf));
  EXPECT_EQ(kChunkPieceBytes, c[1].fileBuf.length());
  EXPECT_EQ(0u, batch.StreamedLength(1));
  // Beyond a piece: read while it is sent, from its file at its position.
  EXPECT_EQ(0u, c[2].fileBuf.length());
  EXPECT_EQ(kChunkPieceBytes + 10, batch.StreamedLength(2));
  EXPECT_EQ("/src/large", batch.streamed(2).path);
  EXPECT_EQ(static_cast<int64_t>(kChunkPieceBytes), batch.streamed(2).pos);
  EXPECT_EQ(data.data(), batch.streamed(2).first);
  EXPECT_EQ(0u, c[3].fileBuf.length());
  EXPECT_EQ(0u, batch.StreamedLength(3));

  std::vector<size_t> lengths;
  for (CORBA::ULong i = 0; i < batch.length(); ++i) lengths.push_back(batch.DataLength(i));
  EXPECT_EQ((std::vector<size_t>{5, kChunkPieceBytes, kChunkPieceBytes + 10, 0}), lengths);
  EXPECT_EQ(static_cast<int64_t>(2 * kChunkPieceBytes + 15), batch.data_bytes());
}

TEST(PendingBatchTest, WhatFitsFollowsTheChunksLeftAfterADrop) {
  std::vector<uint8_t> data(600, 1);
  UploadBatch batch(1000);
  batch.Add(Head("a", 400), Span(0, 400, 1, false), data.data(), "/a");
  batch.Add(Head("b", 1200), Span(0, 500, 1, true), data.data(), "/b");
  EXPECT_TRUE(batch.MustSendBefore(Head("b", 1200), Span(500, 500, 2, true)));
  // The file that became unreadable is dropped: its data no longer counts.
  batch.DropFrom(1);
  ASSERT_EQ(1u, batch.length());
  EXPECT_EQ(400, batch.data_bytes());
  EXPECT_FALSE(batch.MustSendBefore(Head("c", 600), Span(0, 600, 1, false)));
  EXPECT_TRUE(batch.MustSendBefore(Head("c", 601), Span(0, 601, 1, true)));
  batch.Clear();
  EXPECT_EQ(0u, batch.length());
  EXPECT_EQ(0, batch.data_bytes());
  // An empty batch takes any chunk.
  EXPECT_FALSE(batch.MustSendBefore(Head("d", 5000), Span(0, 5000, 1, false)));
}

TEST(PendingBatchTest, ManyLongNamesFillTheHeadersBeforeTheData) {
  const std::string name(60000, 'n');
  UploadBatch batch(1 << 30);
  int64_t headers = 0;
  int added = 0;
  while (!batch.MustSendBefore(Head(name, 0), Span(0, 0, 1, false))) {
    batch.Add(Head(name, 0), Span(0, 0, 1, false), nullptr, "/n");
    headers += ChunkHeaderBytes(".\\dir\\", name, kTime, kTime);
    ASSERT_LT(++added, 1000);
  }
  EXPECT_GT(added, 1);
  EXPECT_LE(headers, kBatchHeaderBudget);
  EXPECT_GT(headers + ChunkHeaderBytes(".\\dir\\", name, kTime, kTime), kBatchHeaderBudget);
  // Dropping half of them makes room again.
  batch.DropFrom(static_cast<CORBA::ULong>(added / 2));
  EXPECT_FALSE(batch.MustSendBefore(Head(name, 0), Span(0, 0, 1, false)));
}

TEST(PendingBatchTest, ABorrowedChunkKeepsItsDataAndCounts) {
  std::vector<uint8_t> data(kChunkPieceBytes + 1, 'x');
  data[1] = 'g';
  UploadBatch from(1000000);
  from.Add(Head("bad", 10), Span(0, 10, 1, false), data.data(), "/bad");
  from.Add(Head("good", 10), Span(0, 10, 1, false), data.data() + 1, "/good");
  from.Add(Head("big", kChunkPieceBytes + 1), Span(0, kChunkPieceBytes + 1, 1, false), data.data(),
           "/big");
  UploadBatch again(1000000);
  again.AddFrom(from, 1);
  again.AddFrom(from, 2);
  ASSERT_EQ(2u, again.length());
  EXPECT_STREQ("good", again.chunks()[0].fileNm.in());
  EXPECT_EQ("gxxxxxxxxx", Text(again.chunks()[0].fileBuf));
  EXPECT_EQ(10u, again.DataLength(0));
  EXPECT_EQ("/big", again.streamed(1).path);
  EXPECT_EQ(kChunkPieceBytes + 1, again.StreamedLength(1));
  EXPECT_EQ(static_cast<int64_t>(kChunkPieceBytes + 11), again.data_bytes());
}

TEST(PendingBatchTest, ADownloadCountsItsDataAndTheRepliesTimes) {
  DownloadBatch batch(1000);
  EXPECT_TRUE(batch.empty());
  batch.Add(".\\d\\", "f", Span(0, 600, 1, true));
  batch.Add(".\\d\\", "g", Span(0, 0, 1, false));
  EXPECT_EQ(600, batch.data_bytes());
  EXPECT_FALSE(batch.MustSendBefore(".\\d\\", "f", Span(600, 400, 2, false)));
  EXPECT_TRUE(batch.MustSendBefore(".\\d\\", "f", Span(600, 401, 2, false)));
  batch.Clear();
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(0, batch.data_bytes());

  // The times and size of a reply count where the request has none: fewer chunks fit than the
  // request's own texts would allow.
  const std::string name(5000, 'n');
  int downloads = 0;
  for (; !batch.MustSendBefore(".\\d\\", name, Span(0, 0, 1, false)); ++downloads) {
    batch.Add(".\\d\\", name, Span(0, 0, 1, false));
    ASSERT_LT(downloads, 10000);
  }
  EXPECT_GT(downloads, 1);
  EXPECT_LT(downloads, kBatchHeaderBudget / ChunkHeaderBytes(".\\d\\", name, "", ""));
}

}  // namespace
}  // namespace zk
