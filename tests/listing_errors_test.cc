// zkls and zkrm against a scripted server: this test process binds its own ZKmd object as
// "ZKmdImpl" in a real naming service, records every request the tools send and answers as each
// test says, so the tools' handling of failed requests and of entries gone between the count and
// the listing can be checked.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "idl/orb.h"
#include "tests/harness.h"

namespace zk {
namespace test {
namespace {

struct Entry {
  const char* name;
  const char* type;
  long size;
};

// Answers authentication with yes, counts and lists from a script, and records the rest.
class ScriptedServer : public POA_ZKmd {
 public:
  long count = 0;              // answer of zkFileCount for the listed directory
  std::vector<Entry> entries;  // filled into the caller's slots, at most as many
  std::string throw_on;        // request (operation + " " + path) that raises

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }

  CORBA::Long zkChgUserPwd(const char*, const char*) override { return -1; }
  CORBA::Long zkExistsUser(const char*, const char*) override { return -1; }
  CORBA::Long zkExistsDir(const char*, const char*) override { return 0; }
  CORBA::Long zkExistsFile(const char*, const char*) override { return 0; }
  CORBA::Long zkFileCount(const char* user, const char* dir, const char* mask) override {
    Record(std::string("count ") + user + " " + dir + " " + mask);
    return count;
  }
  CORBA::Long zkFileList(const char* user, const char* dir, const char* mask, const char* key,
                         ZKmd::zkSeqFileLst& list) override {
    Record(std::string("list ") + user + " " + dir + " " + mask + " [" + key + "] " +
           std::to_string(list.length()));
    for (CORBA::ULong i = 0; i < list.length() && i < entries.size(); ++i) {
      list[i].fileNm = entries[i].name;
      list[i].fileType = entries[i].type;
      list[i].fileSize = entries[i].size;
      list[i].updDt = "2006/04/01 10:20:30";
    }
    return 0;
  }
  CORBA::Long zkFileUpload(const char*, const ZKmd::zkSeqFileBuf&, CORBA::Long&) override {
    return 20;
  }
  CORBA::Long zkFileDownload(const char*, ZKmd::zkSeqFileBuf&, CORBA::Long&) override { return 20; }
  CORBA::Long zkDirRemove(const char*, const char* dir) override {
    Record(std::string("rmdir ") + dir);
    return 0;
  }
  CORBA::Long zkFileRemove(const char*, const char* file) override {
    Record(std::string("rm ") + file);
    return 0;
  }
  CORBA::Long zkRemoteJob(const char*, const char*, const char*, const char*, const char*,
                          char*&) override {
    return -10;
  }

 private:
  void Record(const std::string& call) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back(call);
    }
    if (!throw_on.empty() && call.rfind(throw_on, 0) == 0) throw CORBA::NO_MEMORY();
  }
  std::mutex mu_;
  std::vector<std::string> calls_;
};

class ScriptedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixture_ = new ServerFixture();
    fixture_->AddUser("u1", "pw1");
    std::string why;
    ASSERT_TRUE(fixture_->StartNaming(&why)) << why;

    int argc = 3;
    static char a0[] = "listing_errors_test", a1[] = "-ORBendPoint", a2[] = "giop:tcp:127.0.0.1:";
    static char* argv[] = {a0, a1, a2, nullptr};
    orb_ = CORBA::ORB_init(argc, argv);
    CORBA::Object_var obj = orb_->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj.in());
    server_ = new ScriptedServer;
    PortableServer::ObjectId_var id = poa->activate_object(server_);
    CORBA::Object_var ref = poa->id_to_reference(id.in());
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    CORBA::Object_var ns = orb_->string_to_object(
        ("corbaloc:iiop:127.0.0.1:" + std::to_string(fixture_->ns_port()) + "/NameService")
            .c_str());
    CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(ns.in());
    naming->rebind(ServerName(), ref.in());
  }
  static void TearDownTestSuite() {
    if (orb_) orb_->shutdown(true);
    delete fixture_;
    fixture_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(nullptr, server_);
    server_->Reset();
    server_->count = 0;
    server_->entries.clear();
    server_->throw_on.clear();
  }
  static RunResult Tool(const std::string& tool, std::vector<std::string> args) {
    args.push_back("-p");
    args.push_back("pw1");
    return fixture_->RunClient("u1", tool, args);
  }

  static ServerFixture* fixture_;
  static CORBA::ORB_ptr orb_;
  static ScriptedServer* server_;
};

ServerFixture* ScriptedTest::fixture_ = nullptr;
CORBA::ORB_ptr ScriptedTest::orb_ = nullptr;
ScriptedServer* ScriptedTest::server_ = nullptr;

using Strings = std::vector<std::string>;
const char kHead[] = "\n logs\\のディレクトリ\n\n";

TEST_F(ScriptedTest, SlotsTheServerLeftEmptyAreNotListed) {
  // Entries removed between the count and the listing leave empty slots behind.
  server_->count = 3;
  server_->entries = {{"a.txt", "", 10}};
  RunResult r = Tool("zkls", {"::logs\\"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string(kHead) +
                "2006/04/01 10:20:30                10 a.txt\n"
                "                 1 個のファイル                        10 バイト\n"
                "                 0 個のディレクトリ  \n",
            r.out);

  r = Tool("zkrm", {"::logs\\"});
  EXPECT_TRUE(Ended(r, 0, "logs\\a.txt\n                 1 個のディレクトリ・ファイルを削除しました。\n", ""));
}

TEST_F(ScriptedTest, AFailedListingRequestEndsTheListing) {
  server_->count = 2;
  server_->throw_on = "list";
  RunResult r = Tool("zkls", {"::logs\\"});
  EXPECT_TRUE(Ended(r, 20, kHead, "\nError ServerSearch\n"));

  server_->throw_on = "count";
  r = Tool("zkls", {"::logs\\"});
  EXPECT_TRUE(Ended(r, 20, kHead, "\nError ServerSearch\n"));
}

TEST_F(ScriptedTest, AFailedRemovalRequestStopsTheRemoval) {
  server_->count = 3;
  server_->entries = {{"a", "", 1}, {"b", "", 1}, {"c", "", 1}};
  server_->throw_on = "rm .\\b";
  RunResult r = Tool("zkrm", {"::"});
  EXPECT_TRUE(Ended(r, 20, ".\\a\n", "Error ServerRemove\n"));
  EXPECT_EQ((Strings{"count u1 .\\ *.*", "list u1 .\\ *.* [] 3", "rm .\\a", "rm .\\b"}),
            server_->Calls());
}

}  // namespace
}  // namespace test
}  // namespace zk
