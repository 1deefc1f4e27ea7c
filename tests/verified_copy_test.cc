// Copies checked end to end, both ways: data changed on the way between the server and zkcp (a
// relay that spoils one byte of the file's data) is never kept. Spoilt once, the file is sent
// again and lands whole, with one warning; spoilt every time, it is not copied (status 20) and
// leaves nothing under its name. Unspoilt, the check says nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idl/orb.h"
#include "platform/fs.h"
#include "tests/relay.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kMarker[] = "SPOIL-THIS-BYTE";

class VerifiedCopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixture_ = new ServerFixture("1");  // a unit of 1 KB: the file spans several chunks
    fixture_->AddUser("u1", "pw1");
    fixture_->AddServerConf("zkAuditLog = " + fixture_->dir() + "/audit.jsonl");
    fixture_->Start();
    // The tools find the relay under the server's name.
    relay_ = RelayBeforeServer(*fixture_);
  }
  static void TearDownTestSuite() {
    delete fixture_;  // the tools' connections end with the server
    fixture_ = nullptr;
    delete relay_;
    relay_ = nullptr;
  }

  // A file of 3000 bytes whose second chunk holds the marker.
  static std::string Spoilable() {
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    data.replace(1500, sizeof kMarker - 1, kMarker);
    return data;
  }
  static std::string PutOnServer(const std::string& name) {
    const std::string data = Spoilable();
    WriteFile(fixture_->storage_dir("u1") + "/" + name, data);
    return data;
  }
  static RunResult Download(const std::string& name, const std::string& to) {
    return fixture_->RunClient("u1", "zkcp", {"::" + name, to, "-p", "pw1"});
  }
  // Uploads the client's file `dir`/`name` into the server's folder `dir`, over what is there.
  static RunResult Upload(const std::string& dir, const std::string& name) {
    FileSystem::Default()->MakeDirs(fixture_->client_dir("u1") + "/" + dir);
    WriteFile(fixture_->client_dir("u1") + "/" + dir + "/" + name, Spoilable());
    return fixture_->RunClient("u1", "zkcp", {dir + "/", "::" + dir, "-r", "-p", "pw1"});
  }
  // The names in the client's folder `dir`, or the server's.
  static std::vector<std::string> Names(const std::string& dir) {
    return NamesIn(fixture_->client_dir("u1") + "/" + dir);
  }
  static std::vector<std::string> ServerNames(const std::string& dir) {
    return NamesIn(fixture_->storage_dir("u1") + "/" + dir);
  }
  static std::vector<std::string> NamesIn(const std::string& path) {
    std::vector<DirEntry> entries;
    FileSystem::Default()->Search(path, "*", &entries);
    std::vector<std::string> names;
    for (const DirEntry& e : entries) names.push_back(e.name);
    return names;
  }

  // The audit records of the file at `path` in the area.
  static std::vector<std::string> AuditRecordsOf(const std::string& path) {
    const std::string audit = ReadFile(fixture_->dir() + "/audit.jsonl");
    std::vector<std::string> records;
    for (size_t at = 0; (at = audit.find("\"path\":\"" + path + "\"", at)) != std::string::npos;
         ++at) {
      const size_t line = audit.rfind('\n', at) + 1;
      records.push_back(audit.substr(line, audit.find('\n', at) - line));
    }
    return records;
  }

  static inline ServerFixture* fixture_ = nullptr;
  static inline Relay* relay_ = nullptr;
};

TEST_F(VerifiedCopyTest, ADownloadSpoiltOnceIsSentAgainAndLandsWhole) {
  const std::string data = PutOnServer("once.txt");
  relay_->CorruptFromTarget(kMarker, 1);
  RunResult r = Download("once.txt", "once");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("WARNING:転送したデータが一致しなかったため、もう一度転送しました。(once.txt)\n",
            r.err);
  EXPECT_TRUE(ReadFile(fixture_->client_dir("u1") + "/once/once.txt") == data);
  EXPECT_EQ(std::vector<std::string>{"once.txt"}, Names("once"));
}

TEST_F(VerifiedCopyTest, ADownloadSpoiltEveryTimeIsNotCopied) {
  PutOnServer("always.txt");
  relay_->CorruptFromTarget(kMarker, -1);
  RunResult r = Download("always.txt", "always");
  relay_->CorruptFromTarget("", 0);
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(
      "ERROR:もう一度転送したデータも一致しなかったため、コピーできませんでした。(always.txt)\n",
      r.err);
  EXPECT_TRUE(Names("always").empty());  // neither the file nor its temporary file
}

TEST_F(VerifiedCopyTest, AnUnspoiltDownloadSaysNothingMore) {
  const std::string data = PutOnServer("plain.txt");
  relay_->CorruptFromTarget("", 0);
  RunResult r = Download("plain.txt", "plain");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_TRUE(ReadFile(fixture_->client_dir("u1") + "/plain/plain.txt") == data);
}

TEST_F(VerifiedCopyTest, AnUploadSpoiltOnceIsSentAgainAndLandsWhole) {
  relay_->CorruptFromClients(kMarker, 1);
  RunResult r = Upload("uponce", "once.txt");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("WARNING:転送したデータが一致しなかったため、もう一度転送しました。(once.txt)\n",
            r.err);
  EXPECT_TRUE(ReadFile(fixture_->storage_dir("u1") + "/uponce/once.txt") == Spoilable());
  EXPECT_EQ(std::vector<std::string>{"once.txt"}, ServerNames("uponce"));
}

TEST_F(VerifiedCopyTest, AnUploadSpoiltEveryTimeIsNotCopiedAndLeavesTheOldFile) {
  FileSystem::Default()->MakeDirs(fixture_->storage_dir("u1") + "/upalways");
  WriteFile(fixture_->storage_dir("u1") + "/upalways/always.txt", "the old file");
  relay_->CorruptFromClients(kMarker, -1);
  RunResult r = Upload("upalways", "always.txt");
  relay_->CorruptFromClients("", 0);
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(
      "ERROR:もう一度転送したデータも一致しなかったため、コピーできませんでした。(always.txt)\n",
      r.err);
  // The old file stays, and no temporary file is left beside it.
  EXPECT_EQ("the old file", ReadFile(fixture_->storage_dir("u1") + "/upalways/always.txt"));
  EXPECT_EQ(std::vector<std::string>{"always.txt"}, ServerNames("upalways"));
  // The audit trail has the two attempts as refused (its writer takes a moment), and no success.
  std::vector<std::string> records;
  WaitUntil([&] { return (records = AuditRecordsOf("upalways/always.txt")).size() >= 2; }, 5);
  ASSERT_EQ(2u, records.size());
  for (const std::string& record : records) {
    EXPECT_NE(std::string::npos, record.find("\"result\":22,")) << record;
  }
}

}  // namespace
}  // namespace test
}  // namespace zk
