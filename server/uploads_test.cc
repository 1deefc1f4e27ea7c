// Uploads whole or absent, below the ORB: the table of uploads in progress (the bound per
// connection, what is given up when), and StoreChunks on a scratch area:
// nothing under the target's name before the last chunk, the last of two uploads of one name
// wins whole, a chunk that continues nothing fails, chunks of zeros leave holes, and leftovers of
// an earlier server process are removed.
#include "server/uploads.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/timetext.h"
#include "server/transfer.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

using Clock = UploadTable::Clock;

TEST(UploadTableTest, BeginningAgainOrBeyondTheBoundGivesUpTheOldUpload) {
  UploadTable table(3);
  Clock::time_point t0;
  const UploadKey a{7, "/area/", "a"};
  table.Begin(a, "tmp-a", Socket{}, t0);
  // The same name again: the first upload's file goes.
  std::vector<UploadLeftover> drop = table.Begin(a, "tmp-a2", Socket{}, t0);
  ASSERT_EQ(1u, drop.size());
  EXPECT_EQ("tmp-a", drop[0].temp);

  table.Begin(UploadKey{7, "/area/", "b"}, "tmp-b", Socket{}, t0);
  table.Begin(UploadKey{7, "/area/", "c"}, "tmp-c", Socket{}, t0);
  table.Begin(UploadKey{8, "/area/", "x"}, "tmp-x", Socket{}, t0);  // another connection's own
  // A fourth of connection 7: its oldest (a, begun again before b and c) is given up.
  drop = table.Begin(UploadKey{7, "/area/", "d"}, "tmp-d", Socket{}, t0);
  ASSERT_EQ(1u, drop.size());
  EXPECT_EQ("tmp-a2", drop[0].temp);
  EXPECT_EQ(4u, table.size());
  table.End(UploadKey{7, "/area/", "d"});
  EXPECT_EQ(3u, table.size());
}

TEST(UploadTableTest, IdleUploadsAndThoseOfClosedConnectionsExpire) {
  UploadTable table;
  const Clock::time_point t0;
  const Socket live{10, 100}, gone{11, 101};
  table.Begin(UploadKey{1, "/a/", "busy"}, "t-busy", live, t0);
  table.Begin(UploadKey{1, "/a/", "idle"}, "t-idle", live, t0);
  table.Begin(UploadKey{2, "/a/", "closed"}, "t-closed", gone, t0);
  auto open = [&](const Socket& s) { return s.fd == live.fd; };

  // Half an hour on, "busy" is continued; the closed connection's upload goes at once.
  UploadTable::Progress at;
  std::vector<UploadLeftover> drop;
  ASSERT_TRUE(
      table.Next(UploadKey{1, "/a/", "busy"}, 1, t0 + std::chrono::minutes(30), &at, &drop));
  std::vector<UploadLeftover> expired =
      table.Expired(t0 + std::chrono::minutes(30), kUploadIdleLimit, open);
  ASSERT_EQ(1u, expired.size());
  EXPECT_EQ("t-closed", expired[0].temp);

  // An hour after it was last continued, "idle" goes; "busy" stays until its own hour is over.
  expired = table.Expired(t0 + std::chrono::minutes(60), kUploadIdleLimit, open);
  ASSERT_EQ(1u, expired.size());
  EXPECT_EQ("t-idle", expired[0].temp);
  EXPECT_TRUE(table.Expired(t0 + std::chrono::minutes(89), kUploadIdleLimit, open).empty());
  EXPECT_EQ(1u, table.Expired(t0 + std::chrono::minutes(90), kUploadIdleLimit, open).size());
  EXPECT_EQ(0u, table.size());
}

// A scratch storage area, opened as the server opens it.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-uploads-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    caller_.area_dir = root_ + "/";
    caller_.conn = 1;
    area_ = FileSystem::Default()->Beneath(caller_.area_dir);
    ASSERT_NE(nullptr, area_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // One chunk of `name` in the root.
  static ZKmd::zkStrctFileBuf Chunk(const std::string& name, const std::string& data, int no,
                                    bool more) {
    ZKmd::zkStrctFileBuf c;
    c.filePath = "\\";
    c.fileNm = name.c_str();
    c.fileSize = 0;
    c.updDt = "2020/01/02 03:04:05";
    c.crtDt = "2020/01/02 03:04:05";
    c.fileBuf.length(static_cast<CORBA::ULong>(data.size()));
    for (size_t i = 0; i < data.size(); ++i) c.fileBuf[i] = static_cast<CORBA::Octet>(data[i]);
    c.bufNo = no;
    c.nextBuf = more;
    c.bufPos = 0;
    c.bufUnitSize = 0;
    return c;
  }
  CORBA::Long Store(std::initializer_list<ZKmd::zkStrctFileBuf> chunks, CORBA::Long* index,
                    uint64_t conn = 1) {
    ZKmd::zkSeqFileBuf seq;
    seq.length(static_cast<CORBA::ULong>(chunks.size()));
    CORBA::ULong i = 0;
    for (const auto& c : chunks) seq[i++] = c;
    UploadCaller caller = caller_;
    caller.conn = conn;
    return StoreChunks(area_.get(), &table_, caller, seq, index);
  }
  // One chunk of `name` streamed into `store` as it arrives: its data in pieces, then its fields.
  static CORBA::Long Stream(ChunkStore* store, const std::string& name, const std::string& data,
                            int no, bool more) {
    store->Receive("\\", name.c_str(), data.size());
    for (size_t at = 0; at < data.size(); at += kChunkPieceBytes) {
      const size_t n = std::min(kChunkPieceBytes, data.size() - at);
      store->Piece(reinterpret_cast<const uint8_t*>(data.data()) + at, n);
    }
    return store->Received(Chunk(name, "", no, more));
  }
  CORBA::Long Stream(const std::string& name, const std::string& data, int no, bool more) {
    ChunkStore store(area_.get(), &table_, caller_);
    return Stream(&store, name, data, no, more);
  }
  std::string Read(const std::string& name) {
    std::ifstream in(root_ + "/" + name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  // The names in the root, temporary ones as "TEMP".
  std::vector<std::string> NamesHere() {
    std::vector<DirEntry> found;
    area_->Search("", "*", &found);
    std::vector<std::string> names;
    for (const DirEntry& e : found) names.push_back(IsUploadTempName(e.name) ? "TEMP" : e.name);
    return names;
  }

  std::string root_;
  UploadCaller caller_;
  std::unique_ptr<FileSystem> area_;
  UploadTable table_;
};

using Names = std::vector<std::string>;

TEST_F(StoreTest, AFileIsUnderItsNameOnlyOnceItsLastChunkIsStored) {
  std::ofstream(root_ + "/a.txt") << "old";
  CORBA::Long index = -1;
  ASSERT_EQ(0, Store({Chunk("a.txt", "new ", 1, true)}, &index));
  EXPECT_EQ(0, index);
  EXPECT_EQ("old", Read("a.txt"));  // the old file stays whole meanwhile
  EXPECT_EQ((Names{"a.txt", "TEMP"}), NamesHere());
  ASSERT_EQ(0, Store({Chunk("a.txt", "and ", 2, true), Chunk("a.txt", "whole", 3, false)}, &index));
  EXPECT_EQ("new and whole", Read("a.txt"));
  EXPECT_EQ((Names{"a.txt"}), NamesHere());
  struct stat st;
  ASSERT_EQ(0, stat((root_ + "/a.txt").c_str(), &st));
  time_t expected = 0;
  struct tm tm = {};
  tm.tm_year = 120;
  tm.tm_mon = 0;
  tm.tm_mday = 2;
  tm.tm_hour = 3;
  tm.tm_min = 4;
  tm.tm_sec = 5;
  tm.tm_isdst = -1;
  expected = mktime(&tm);
  EXPECT_EQ(expected, st.st_mtime);  // the time was set before it took the name
  EXPECT_EQ(0u, table_.size());
}

TEST_F(StoreTest, OfTwoUploadsOfOneNameTheLastToFinishIsTheFileWhole) {
  CORBA::Long index = -1;
  ASSERT_EQ(0, Store({Chunk("same", "AAAA", 1, true)}, &index, 1));
  ASSERT_EQ(0, Store({Chunk("same", "BBBB", 1, true)}, &index, 2));
  ASSERT_EQ(0, Store({Chunk("same", "BBBB", 2, false)}, &index, 2));
  EXPECT_EQ("BBBBBBBB", Read("same"));
  ASSERT_EQ(0, Store({Chunk("same", "AAAA", 2, true)}, &index, 1));
  ASSERT_EQ(0, Store({Chunk("same", "AAAA", 3, false)}, &index, 1));
  EXPECT_EQ("AAAAAAAAAAAA", Read("same"));
  EXPECT_EQ((Names{"same"}), NamesHere());
}

TEST_F(StoreTest, AChunkThatContinuesNoUploadOfItsConnectionFails) {
  std::ofstream(root_ + "/there") << "kept";
  CORBA::Long index = -1;
  // An existing file is not appended to, and nothing new appears.
  EXPECT_EQ(20, Store({Chunk("there", "more", 2, false)}, &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(20, Store({Chunk("nothing", "x", 2, false)}, &index));
  EXPECT_EQ("kept", Read("there"));
  // An upload of another connection is not continued from this one.
  ASSERT_EQ(0, Store({Chunk("theirs", "1", 1, true)}, &index, 5));
  EXPECT_EQ(20, Store({Chunk("ok", "x", 1, false), Chunk("theirs", "2", 2, false)}, &index, 6));
  EXPECT_EQ(2, index);
  EXPECT_EQ((Names{"ok", "there", "TEMP"}), NamesHere());
  // A chunk out of order ends the upload, and its file goes.
  EXPECT_EQ(20, Store({Chunk("theirs", "3", 3, false)}, &index, 5));
  EXPECT_EQ((Names{"ok", "there"}), NamesHere());
}

TEST_F(StoreTest, ADirectoryOrAPipeInTheTargetsPlaceFailsTheFirstChunk) {
  ASSERT_EQ(0, mkdir((root_ + "/dir").c_str(), 0700));
  ASSERT_EQ(0, mkfifo((root_ + "/pipe").c_str(), 0600));
  CORBA::Long index = -1;
  EXPECT_EQ(20, Store({Chunk("dir", "x", 1, false)}, &index));
  EXPECT_EQ(20, Store({Chunk("pipe", "x", 1, false)}, &index));
  EXPECT_EQ((Names{"dir", "pipe"}), NamesHere());
  EXPECT_EQ(0u, table_.size());
}

TEST_F(StoreTest, ChunksOfZerosLeaveHolesAndTheFileItsLength) {
  const std::string zeros(1 << 20, '\0');
  CORBA::Long index = -1;
  ASSERT_EQ(0, Store({Chunk("sparse", zeros, 1, true), Chunk("sparse", "mark", 2, true),
                      Chunk("sparse", zeros, 3, false)},
                     &index));
  const std::string data = Read("sparse");
  ASSERT_EQ(2u * zeros.size() + 4, data.size());
  EXPECT_EQ("mark", data.substr(zeros.size(), 4));
  EXPECT_EQ(std::string(zeros.size(), '\0'), data.substr(zeros.size() + 4));
  struct stat st;
  ASSERT_EQ(0, stat((root_ + "/sparse").c_str(), &st));
  EXPECT_LT(st.st_blocks * 512, 256 * 1024) << "the zeros were written";
  // A file of zeros only, in one chunk.
  ASSERT_EQ(0, Store({Chunk("zeros", std::string(5000, '\0'), 1, false)}, &index));
  EXPECT_EQ(std::string(5000, '\0'), Read("zeros"));
}

// Data of `len` bytes, different for each `seed`.
std::string Data(size_t len, int seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(i * 31 + i / 997 + seed * 7 + 1);
  return s;
}

// A streamed chunk's data is written before its number is known: where the guess was wrong,
// nothing of it stays, and the results are those of a chunk stored from memory.
TEST_F(StoreTest, AStreamedChunkWrittenInTheWrongPlaceLeavesNothingBehind) {
  const std::string one = Data(kChunkPieceBytes * 2 + 5, 1), two = Data(kChunkPieceBytes + 9, 2);
  // No upload in progress, and not a first chunk.
  EXPECT_EQ(20, Stream("a", one, 2, false));
  EXPECT_EQ(Names{}, NamesHere());

  // An upload in progress, and a chunk that begins the file anew: it holds the new data only.
  ASSERT_EQ(0, Stream("a", one, 1, true));
  EXPECT_EQ(Names{"TEMP"}, NamesHere());
  ASSERT_EQ(0, Stream("a", two, 1, false));
  EXPECT_EQ(Names{"a"}, NamesHere());
  EXPECT_TRUE(two == Read("a"));
  EXPECT_EQ(0u, table_.size());

  // An upload in progress, and a number that is not the next one: given up.
  ASSERT_EQ(0, Stream("b", one, 1, true));
  EXPECT_EQ(20, Stream("b", two, 3, false));
  EXPECT_EQ(Names{"a"}, NamesHere());
  EXPECT_EQ(0u, table_.size());

  // Something that is not a file in the target's place.
  ASSERT_EQ(0, mkdir((root_ + "/dir").c_str(), 0700));
  EXPECT_EQ(20, Stream("dir", one, 1, false));
  EXPECT_EQ((Names{"a", "dir"}), NamesHere());

  // A path that leads outside: nothing is written anywhere.
  ChunkStore store(area_.get(), &table_, caller_);
  store.Receive("..\\", "out", one.size());
  store.Piece(reinterpret_cast<const uint8_t*>(one.data()), kChunkPieceBytes);
  EXPECT_EQ(20, store.Received(Chunk("out", "", 1, false)));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/../out"));
  EXPECT_EQ((Names{"a", "dir"}), NamesHere());
}

TEST_F(StoreTest, StreamedAndStoredChunksMakeOneFileWithItsHolesAndLength) {
  const std::string zeros(3 * kChunkPieceBytes, '\0');
  const std::string head = Data(kChunkPieceBytes + 1, 3);
  // Streamed, from memory, streamed zeros at the end: the file is whole and has its length.
  CORBA::Long index = -1;
  ASSERT_EQ(0, Stream("f", head + zeros, 1, true));
  ASSERT_EQ(0, Store({Chunk("f", "mid", 2, true)}, &index));
  ASSERT_EQ(0, Stream("f", zeros, 3, false));
  EXPECT_TRUE(head + zeros + "mid" + zeros == Read("f"));
  struct stat st;
  ASSERT_EQ(0, stat((root_ + "/f").c_str(), &st));
  // Written: the first chunk's two pieces that hold data, and the short chunk.
  EXPECT_LT(st.st_blocks * 512, static_cast<off_t>(3 * kChunkPieceBytes)) << "zeros were written";
  EXPECT_EQ(Names{"f"}, NamesHere());
}

// A call that stops in the middle of a chunk's data (the connection failed) gives the upload back
// its length, so that its next chunk makes the file it would have made; while one call writes into
// an upload, another call's chunk of it gives the upload up.
TEST_F(StoreTest, AnUploadWrittenByOneCallIsLeftWholeOrGivenUp) {
  const std::string one = Data(kChunkPieceBytes + 3, 4), two = Data(kChunkPieceBytes * 2, 5);
  ASSERT_EQ(0, Stream("c", one, 1, true));
  {
    ChunkStore cut(area_.get(), &table_, caller_);
    cut.Receive("\\", "c", two.size());
    cut.Piece(reinterpret_cast<const uint8_t*>(two.data()), kChunkPieceBytes);
  }
  ASSERT_EQ(0, Stream("c", "end", 2, false));  // streamed with a short chunk: from memory
  EXPECT_TRUE(one + "end" == Read("c"));

  ASSERT_EQ(0, Stream("d", one, 1, true));
  ChunkStore writing(area_.get(), &table_, caller_);
  writing.Receive("\\", "d", two.size());
  CORBA::Long index = -1;
  EXPECT_EQ(20, Store({Chunk("d", "x", 2, false)}, &index));
  writing.Piece(reinterpret_cast<const uint8_t*>(two.data()), two.size());
  EXPECT_EQ(20, writing.Received(Chunk("d", "", 2, false)));
  EXPECT_EQ(Names{"c"}, NamesHere());
  EXPECT_EQ(0u, table_.size());
}

// A verified store puts a file in place only once the client's digests of its chunks agree with
// what it stored, where it stored it; from the first chunk that differs on, nothing lands, and a
// store whose digests never came keeps nothing.
TEST_F(StoreTest, AVerifiedStorePutsInPlaceOnlyWhatItsDigestsConfirm) {
  std::ofstream(root_ + "/b") << "old b";
  const std::string big = Data(kChunkPieceBytes + 5, 6);
  auto digests = [](std::initializer_list<Digest128> ds) {
    std::string bytes;
    for (const Digest128& d : ds) bytes.append(d.begin(), d.end());
    return bytes;
  };
  auto verify = [](ChunkStore* store, const std::string& bytes, CORBA::Long* index) {
    return store->Verify(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), index);
  };
  const Digest128 a1 = DigestOfChunk(0, "a1", 2), a2 = DigestOfChunk(2, "a2", 2);
  const Digest128 b1 = DigestOfChunk(0, big.data(), big.size());
  {
    // a in two chunks (the second at 2), b streamed: b's digest is given for the wrong place.
    ChunkStore store(area_.get(), &table_, caller_, true);
    ASSERT_EQ(0, store.Store(Chunk("a", "a1", 1, true)));
    ASSERT_EQ(0, store.Store(Chunk("a", "a2", 2, false)));
    ASSERT_EQ(0, Stream(&store, "b", big, 1, false));
    EXPECT_EQ((Names{"b", "TEMP", "TEMP"}), NamesHere());  // nothing in place before the check
    CORBA::Long index = -1;
    EXPECT_EQ(kTransferCorrupt,
              verify(&store, digests({a1, a2, DigestOfChunk(1, big.data(), big.size())}), &index));
    EXPECT_EQ(3, index);
  }
  EXPECT_EQ("a1a2", Read("a"));
  int64_t mtime = 0;
  ASSERT_TRUE(ParseLocalTime("2020/01/02 03:04:05", &mtime));
  DirEntry landed;
  ASSERT_TRUE(area_->Stat("a", &landed));
  EXPECT_EQ(mtime, landed.mtime);  // given before the check, while the request still came
  EXPECT_EQ("old b", Read("b"));
  EXPECT_EQ((Names{"a", "b"}), NamesHere());
  EXPECT_EQ(0u, table_.size());
  {
    // Too few digests: the chunk without one differs.
    ChunkStore store(area_.get(), &table_, caller_, true);
    ASSERT_EQ(0, Stream(&store, "b", big, 1, false));
    ASSERT_EQ(0, store.Store(Chunk("c", "c1", 1, true)));
    CORBA::Long index = -1;
    EXPECT_EQ(kTransferCorrupt, verify(&store, digests({b1}), &index));
    EXPECT_EQ(2, index);
  }
  EXPECT_TRUE(big == Read("b"));
  EXPECT_EQ(0u, table_.size());  // c's upload is given up
  {
    // No digests at all (the request ended before them): neither file lands.
    ChunkStore store(area_.get(), &table_, caller_, true);
    ASSERT_EQ(0, store.Store(Chunk("d", "d1", 1, true)));
    ASSERT_EQ(0, store.Store(Chunk("e", "e1", 1, false)));
  }
  EXPECT_EQ((Names{"a", "b"}), NamesHere());
  EXPECT_EQ(0u, table_.size());
}

// Files whose last chunk a verified batch stored wait for its check without counting against
// the uploads one connection may have in progress: a batch of many small files lands whole.
TEST_F(StoreTest, AVerifiedBatchOfMoreFilesThanUploadsInProgressLandsWhole) {
  ChunkStore store(area_.get(), &table_, caller_, true);
  std::string digests;
  Names names;
  for (size_t i = 0; i < kMaxUploadsPerConnection + 3; ++i) {
    const std::string name = "f" + std::to_string(10 + i), data = "data " + name;
    ASSERT_EQ(0, store.Store(Chunk(name, data, 1, false)));
    const Digest128 d = DigestOfChunk(0, data.data(), data.size());
    digests.append(d.begin(), d.end());
    names.push_back(name);
  }
  CORBA::Long index = -1;
  EXPECT_EQ(kTransferOk,
            store.Verify(reinterpret_cast<const uint8_t*>(digests.data()), digests.size(), &index));
  EXPECT_EQ(0, index);
  EXPECT_EQ(names, NamesHere());
  EXPECT_EQ(0u, table_.size());
}

// A checked batch that replaces files holds the old ones open until they are renamed over, then
// hands them to the closing queue: more files than it holds, one of them refused by its digest.
TEST_F(StoreTest, FilesAVerifiedBatchReplacesAreReplacedWholeAndTheRefusedOneStays) {
  ClosingQueue closing;
  UploadCaller caller = caller_;
  caller.closing = &closing;
  const size_t n = 70;  // more than are held open
  std::string digests;
  Names names;
  for (size_t i = 0; i < n; ++i) {
    const std::string name = "r" + std::to_string(100 + i);
    std::ofstream(root_ + "/" + name) << "old " << name;
    names.push_back(name);
  }
  {
    ChunkStore store(area_.get(), &table_, caller, true);
    for (size_t i = 0; i < n; ++i) {
      const std::string data = "new " + names[i];
      ASSERT_EQ(0, store.Store(Chunk(names[i], data, 1, false)));
      const Digest128 d = DigestOfChunk(i == 66 ? 1 : 0, data.data(), data.size());
      digests.append(d.begin(), d.end());
    }
    CORBA::Long index = -1;
    EXPECT_EQ(kTransferCorrupt,
              store.Verify(reinterpret_cast<const uint8_t*>(digests.data()), digests.size(), &index));
    EXPECT_EQ(67, index);
  }
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ((i < 66 ? "new " : "old ") + names[i], Read(names[i])) << names[i];
  }
  EXPECT_EQ(names, NamesHere());
  EXPECT_EQ(0u, table_.size());
}

// What an earlier process left: its temporary files go, but for those with a record of this
// area's owner whose time is not up, which are kept; records without their file go too.
TEST_F(StoreTest, LeftoversOfAnEarlierProcessAreRemovedOrKeptAtStart) {
  const std::string env = root_ + "/server.zkd";
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(env, "127.0.0.1", "1", "2", "1000"));
  const std::string area = root_ + "/u1";
  ASSERT_EQ(WriteStatus::kDone, AddUser(env, "u1", "pw", area + "/"));
  ASSERT_EQ(0, mkdir(area.c_str(), 0700));
  ASSERT_EQ(0, mkdir((area + "/sub").c_str(), 0700));
  const std::string earlier = "\xFFzk-upload.00000000deadbeef.3";
  const std::string own = NewUploadTempName();
  const std::string kept = "\xFFzk-upload.00000000deadbeef.4";
  const std::string old = "\xFFzk-upload.00000000deadbeef.5";
  const std::string other = "\xFFzk-upload.00000000deadbeef.6";
  for (const std::string& name : {earlier, "sub/" + earlier, own, std::string("plain"),
                                  "sub/" + kept, old, other}) {
    std::ofstream(area + "/" + name) << "x";
  }
  std::unique_ptr<FileSystem> fs = FileSystem::Default()->Beneath(area + "/");
  KeptPart record;
  record.user = "u1";
  record.upd = "2020/01/02 03:04:05";
  record.size = 5;
  for (const auto& t : {std::make_pair("sub/" + kept, std::string("sub/k")),
                        std::make_pair(old, std::string("o")),
                        std::make_pair(other, std::string("p")),
                        std::make_pair("sub/" + earlier + "9", std::string("sub/gone"))}) {
    record.temp = t.first;
    record.target = t.second;
    record.user = t.second == "p" ? "u2" : "u1";  // a record of another user's
    ASSERT_TRUE(WriteKeptRecord(fs.get(), record));
  }
  ASSERT_TRUE(fs->SetWriteTime(old, UnixNow() - 25 * 3600));  // its time is up
  KeptUploads table(std::chrono::hours(24));
  EXPECT_EQ(4, RemoveEarlierLeftovers(FileSystem::Default(), env, &table));
  for (const std::string& gone : {earlier, "sub/" + earlier, old, KeptRecordName(old), other,
                                  KeptRecordName(other), "sub/" + KeptRecordName(earlier + "9")}) {
    EXPECT_FALSE(std::filesystem::exists(area + "/" + gone)) << gone;
  }
  EXPECT_TRUE(std::filesystem::exists(area + "/" + own));  // an upload of this process
  EXPECT_TRUE(std::filesystem::exists(area + "/plain"));
  KeptPart found;
  ASSERT_TRUE(table.Find(area + "/", "sub/k", "u1", 5, record.upd, &found));
  EXPECT_EQ("sub/" + kept, found.temp);
  EXPECT_TRUE(std::filesystem::exists(area + "/sub/" + KeptRecordName(kept)));
  EXPECT_FALSE(table.Find(area + "/", "sub/k", "u2", 5, record.upd, &found));
  EXPECT_FALSE(table.Find(area + "/", "sub/k", "u1", 6, record.upd, &found));
  EXPECT_EQ(1u, table.size());
}

}  // namespace
}  // namespace zk
