// The order of checks of a job request against a host that records what it is asked to start:
// which check answers which code, what is started and how, and that nothing is started before
// every check has passed. The process tests (tests/jobs_test.cc) run real jobs.
#include "server/jobs.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace zk {
namespace {

class FakeHost : public JobHost {
 public:
  bool StorageDir(const std::string& user_id, std::string* dir) override {
    if (user_id != "u1") return false;
    *dir = "/srv/u1/";
    return true;
  }
  ReadStatus ReadJob(const std::string& job_id, JobRow* row) override {
    if (registry_fails) return ReadStatus::kFailed;
    auto it = jobs.find(job_id);
    if (it == jobs.end()) return ReadStatus::kMissing;
    *row = it->second;
    return ReadStatus::kFound;
  }
  bool IsFile(const std::string& path) override { return files.count(path) > 0; }
  bool RunAndWait(const std::vector<std::string>& argv, int* exit_code) override {
    started = argv;
    waited = true;
    *exit_code = job_exit;
    return !spawn_fails;
  }
  void StartDetached(const std::vector<std::string>& argv) override {
    started = argv;
    waited = false;
  }

  std::map<std::string, JobRow> jobs = {
      {"copy", {"/bin/cp", "::in.txt ::out.txt", ""}},
      {"locked", {"/bin/true", "", "Secret"}},
      {"gone", {"/bin/gone", "", ""}},
      {"bare", {"tool", "\"a b\" c", ""}},
  };
  std::set<std::string> files = {"/bin/cp", "/bin/true", "tool"};
  bool registry_fails = false;
  bool spawn_fails = false;
  int job_exit = 3;
  // What was started ({} when nothing), and whether it was waited for.
  std::vector<std::string> started;
  bool waited = false;
};

TEST(RunRemoteJobTest, ChecksInOrderThenStartsAsAsked) {
  using V = std::vector<std::string>;
  struct Case {
    const char* what;
    JobRequest request;
    void (*tweak)(FakeHost*);
    int code;
    const char* ret;
    V started;
    bool waited;
  };
  auto none = [](FakeHost*) {};
  const Case cases[] = {
      {"registered parameters, storage prefix replaced, waited",
       {"u1", "copy", "", "", kJobWaitMode},
       none,
       kJobStarted,
       "3",
       V{"/bin/cp", "/srv/u1/in.txt", "/srv/u1/out.txt"},
       true},
      {"the client's parameters replace the registered ones",
       {"u1", "copy", "-v ::x", "", kJobWaitMode},
       none,
       kJobStarted,
       "3",
       V{"/bin/cp", "-v", "/srv/u1/x"},
       true},
      {"any other run mode starts and returns",
       {"u1", "copy", "", "", "2"},
       none,
       kJobStarted,
       kJobNoReturnValue,
       V{"/bin/cp", "/srv/u1/in.txt", "/srv/u1/out.txt"},
       false},
      {"a bare program name is the one that was checked, never one on PATH",
       {"u1", "bare", "", "", kJobNoWaitMode},
       none,
       kJobStarted,
       kJobNoReturnValue,
       V{"./tool", "a b", "c"},
       false},
      {"unknown user",
       {"u9", "copy", "", "", kJobWaitMode},
       none,
       kJobUnknown,
       kJobNoReturnValue,
       V{},
       false},
      {"unknown job",
       {"u1", "nojob", "", "", kJobWaitMode},
       none,
       kJobUnknown,
       kJobNoReturnValue,
       V{},
       false},
      {"a registry that cannot be read has no job",
       {"u1", "copy", "", "", kJobWaitMode},
       [](FakeHost* h) { h->registry_fails = true; },
       kJobUnknown,
       kJobNoReturnValue,
       V{},
       false},
      {"no program file",
       {"u1", "gone", "", "", kJobWaitMode},
       none,
       kJobNoProgram,
       kJobNoReturnValue,
       V{},
       false},
      {"wrong run password",
       {"u1", "locked", "", "secret", kJobWaitMode},
       none,
       kJobWrongPassword,
       kJobNoReturnValue,
       V{},
       false},
      {"right run password",
       {"u1", "locked", "", "Secret", kJobWaitMode},
       none,
       kJobStarted,
       "3",
       V{"/bin/true"},
       true},
      {"the process could not be created",
       {"u1", "copy", "", "", kJobWaitMode},
       [](FakeHost* h) { h->spawn_fails = true; },
       kJobStartFailed,
       kJobNoReturnValue,
       V{"/bin/cp", "/srv/u1/in.txt", "/srv/u1/out.txt"},
       true},
  };
  for (const Case& c : cases) {
    FakeHost host;
    c.tweak(&host);
    std::string ret = "stale";
    EXPECT_EQ(c.code, RunRemoteJob(&host, c.request, &ret)) << c.what;
    EXPECT_EQ(c.ret, ret) << c.what;
    EXPECT_EQ(c.started, host.started) << c.what;
    EXPECT_EQ(c.waited, host.waited) << c.what;
  }
}

TEST(RunRemoteJobTest, StoragePrefixIsReplacedLeftToRightWithoutOverlap) {
  EXPECT_EQ("/d/a /d/b", ReplaceStoragePrefix("::a ::b", "/d/"));
  EXPECT_EQ("/d/:", ReplaceStoragePrefix(":::", "/d/"));
  EXPECT_EQ("a:b", ReplaceStoragePrefix("a:b", "/d/"));
  // The directory itself is not searched again.
  EXPECT_EQ("/x::y/z", ReplaceStoragePrefix("::z", "/x::y/"));
}

}  // namespace
}  // namespace zk
