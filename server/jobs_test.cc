// Job requests against a recording fake host: order of checks, parameters, start modes.
// Exit codes, run passwords and parameters end to end are in tests/jobs_test.cc.
#include "server/jobs.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace zk {
namespace {

struct FakeJob {
  std::string program, params, password;
};

class FakeHost : public JobHost {
 public:
  std::map<std::string, std::string> users;  // user id -> storage directory
  std::map<std::string, FakeJob> jobs;
  std::set<std::string> files;
  bool spawn_ok = true;
  int exit_code = 0;

  std::vector<std::string> made_dirs;  // storage directories looked up
  std::vector<std::vector<std::string>> waited, detached;

  bool StorageDir(const std::string& user_id, std::string* dir) override {
    auto it = users.find(user_id);
    if (it == users.end()) return false;
    made_dirs.push_back(it->second);
    *dir = it->second;
    return true;
  }
  bool JobExists(const std::string& id) override { return jobs.count(id) != 0; }
  std::string JobProgram(const std::string& id) override { return jobs[id].program; }
  std::string JobParams(const std::string& id) override { return jobs[id].params; }
  std::string JobPassword(const std::string& id) override { return jobs[id].password; }
  bool IsFile(const std::string& path) override { return files.count(path) != 0; }
  bool RunAndWait(const std::vector<std::string>& argv, int* code) override {
    waited.push_back(argv);
    if (!spawn_ok) return false;
    *code = exit_code;
    return true;
  }
  void StartDetached(const std::vector<std::string>& argv) override { detached.push_back(argv); }
};

class JobRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users["u1"] = "/srv/zk/u1/";
    host.jobs["j"] = {"/opt/jobs/run", "", ""};
    host.files.insert("/opt/jobs/run");
  }
  int Run(const std::string& job, const std::string& params = "",
          const std::string& password = "", const std::string& mode = "1",
          const std::string& user = "u1") {
    JobRequest r{user, job, params, password, mode};
    ret = "untouched";
    return RunRemoteJob(&host, r, &ret);
  }
  FakeHost host;
  std::string ret;
};

TEST(ReplaceStoragePrefixTest, ReplacesEveryOccurrenceLeftToRight) {
  EXPECT_EQ("/a/b.txt", ReplaceStoragePrefix("::b.txt", "/a/"));
  EXPECT_EQ("-i /a/x -o /a/y", ReplaceStoragePrefix("-i ::x -o ::y", "/a/"));
  // ":::" holds one "::" at its start; the third colon stays.
  EXPECT_EQ("/a/:", ReplaceStoragePrefix(":::", "/a/"));
  EXPECT_EQ("/a//a/", ReplaceStoragePrefix("::::", "/a/"));
  EXPECT_EQ("a:b", ReplaceStoragePrefix("a:b", "/a/"));
  // The replacement text is not scanned again.
  EXPECT_EQ("/x::/f", ReplaceStoragePrefix("::f", "/x::/"));
}

TEST(JobArgvTest, ProgramIsOneArgumentAndParamsAreSplit) {
  EXPECT_EQ((std::vector<std::string>{"/opt/run"}), JobArgv("/opt/run", ""));
  EXPECT_EQ((std::vector<std::string>{"/opt/my jobs/run", "a", "b c"}),
            JobArgv("/opt/my jobs/run", "a \"b c\""));
  // A bare name is the file in the current directory, never one found through PATH.
  EXPECT_EQ((std::vector<std::string>{"./run", "x"}), JobArgv("run", "x"));
  EXPECT_EQ((std::vector<std::string>{"bin/run"}), JobArgv("bin/run", "   "));
  // Shell syntax is plain text.
  EXPECT_EQ((std::vector<std::string>{"/r", ";", "rm", "-rf", "x", "$(id)", "`id`"}),
            JobArgv("/r", "; rm -rf x $(id) `id`"));
}

TEST_F(JobRequestTest, OnlyExactlyOneIsWaitMode) {
  for (const char* mode : {"0", "true", "", "1 ", "11"}) {
    host.exit_code = 7;
    EXPECT_EQ(kJobStarted, Run("j", "", "", mode)) << mode;
    EXPECT_EQ("0", ret) << mode;
  }
  EXPECT_TRUE(host.waited.empty());
  EXPECT_EQ(5u, host.detached.size());
}

TEST_F(JobRequestTest, ShellModeDoesNotLookAtTheStartOutcome) {
  host.spawn_ok = false;
  EXPECT_EQ(kJobStarted, Run("j", "", "", "0"));
  EXPECT_EQ("0", ret);
  EXPECT_EQ(kJobStartFailed, Run("j", "", "", "1"));
  EXPECT_EQ("0", ret);
}

TEST_F(JobRequestTest, ChecksRunInFixedOrder) {
  // Unknown job: -10 before the program or the password are looked at, and the storage
  // directory was still looked up (and so created).
  EXPECT_EQ(kJobUnknown, Run("nope", "", "wrong"));
  EXPECT_EQ("0", ret);
  EXPECT_EQ(1u, host.made_dirs.size());

  // Unknown user: refused like an unknown job, nothing started.
  EXPECT_EQ(kJobUnknown, Run("j", "", "", "1", "stranger"));

  // Missing program beats a wrong run password.
  host.jobs["gone"] = {"/opt/jobs/gone", "", "secret"};
  EXPECT_EQ(kJobNoProgram, Run("gone", "", "wrong"));
  EXPECT_EQ("0", ret);

  // Empty program path (unreadable registry) is a missing program.
  host.jobs["empty"] = {"", "", ""};
  EXPECT_EQ(kJobNoProgram, Run("empty"));

  EXPECT_TRUE(host.waited.empty());
  EXPECT_TRUE(host.detached.empty());
}

}  // namespace
}  // namespace zk
