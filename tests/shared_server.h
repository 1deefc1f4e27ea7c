// One server for all the tests of a suite: the naming service and zksvr are started once, before
// the suite, with the user "u1", and stopped after it. A start that failed fails every test of
// the suite with its reason.
//
//   class CopyTest : public SharedServerTest<CopyTest> {
//    protected:
//     static void SetUpTestSuite() { StartSuite("1", "pw1"); }  // a unit of 1 KB
//   };
//   TEST_F(CopyTest, ...) { RunResult r = RunTool("zkcp", {"a.txt", "::"}); ... }
#ifndef ZK_TESTS_SHARED_SERVER_H_
#define ZK_TESTS_SHARED_SERVER_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server_fixture.h"

namespace zk {
namespace test {

// `Suite` is the test class itself, so that each suite has a server of its own.
template <class Suite>
class SharedServerTest : public ::testing::Test {
 protected:
  // Starts the pair with a transfer unit of `unit` KB; u1's password is `password`.
  static void StartSuite(const std::string& unit, const std::string& password) {
    fixture_ = new ServerFixture(unit);
    fixture_->AddUser("u1", password);
    password_ = password;
    std::string why;
    ok_ = fixture_->StartNaming(&why) && fixture_->StartServer(&why);
    why_ = why;
  }
  static void TearDownTestSuite() {
    delete fixture_;
    fixture_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(ok_) << why_; }

  // u1's client folder and storage directory.
  static std::string Client() { return fixture_->client_dir("u1"); }
  static std::string Store() { return fixture_->storage_dir("u1"); }
  // Runs u1's client tool `tool` with `args` and "-p" and the password.
  static RunResult RunTool(const std::string& tool, std::vector<std::string> args, int timeout) {
    args.push_back("-p");
    args.push_back(password_);
    return fixture_->RunClient("u1", tool, args, "", timeout);
  }

  static inline ServerFixture* fixture_ = nullptr;
  static inline bool ok_ = false;
  static inline std::string why_;
  static inline std::string password_;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_SHARED_SERVER_H_
