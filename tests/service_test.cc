// zksvr as a service: its notifications to a service manager, heard on a notification socket of
// the test's own, and its metrics file, read back and moved by a copy.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// A unix datagram socket in the abstract namespace, as a service manager listens on one; its
// address is what NOTIFY_SOCKET names.
class NotifySocket {
 public:
  NotifySocket() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    name_ = "zk-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(++made_);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name_.data(), name_.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  std::string address() const { return "@" + name_; }

  // The next datagram, or "" when none came within `seconds`.
  std::string Receive(double seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return "";
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  static int made_;
  int fd_ = -1;
  bool bound_ = false;
  std::string name_;
};
int NotifySocket::made_ = 0;

// Sets an environment variable of the test process (which the server it starts inherits) for the
// scope's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

TEST(ServiceNotificationTest, ReadyAfterTheNameIsBoundThenStatusWatchdogAndStopping) {
  ServerFixture fixture;
  std::string why;
  ASSERT_TRUE(fixture.StartNaming(&why)) << why;
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());

  // The first message is heard while the server starts; the name must resolve by then.
  std::string first;
  bool served_at_ready = false;
  {
    ScopedEnv socket_env("NOTIFY_SOCKET", manager.address());
    ScopedEnv watchdog_env("WATCHDOG_USEC", "400000");
    JoinedThread listener([&] {
      first = manager.Receive(20);
      served_at_ready = !first.empty() && ServerServes(fixture.ns_port());
    });
    ASSERT_TRUE(fixture.StartServer(&why)) << why;
  }
  EXPECT_EQ("READY=1\nSTATUS=接続数 0", first);
  EXPECT_TRUE(served_at_ready);

  // The checks above connected to the server without logging in: the count shows them, and is
  // shown again once the server has closed them (kLoginWait, 5 s). Meanwhile the watchdog is fed
  // every 200 ms.
  std::vector<std::string> statuses;
  int pings = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  while (std::chrono::steady_clock::now() < until &&
         (statuses.empty() || statuses.back() != "STATUS=接続数 0")) {
    const std::string m = manager.Receive(1);
    if (m == "WATCHDOG=1") {
      ++pings;
    } else if (!m.empty()) {
      statuses.push_back(m);
    }
  }
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_NE("STATUS=接続数 0", statuses.front());
  EXPECT_EQ(0u, statuses.front().rfind("STATUS=接続数 ", 0)) << statuses.front();
  EXPECT_EQ("STATUS=接続数 0", statuses.back());
  EXPECT_GE(pings, 10);  // over 5 s or more

  // SIGTERM: "STOPPING=1".
  ASSERT_EQ(0, kill(fixture.server_pid(), SIGTERM));
  std::string m;
  while (!(m = manager.Receive(5)).empty() && m != "STOPPING=1") {
  }
  EXPECT_EQ("STOPPING=1", m);
  fixture.StopServer();
  // The watchdog's probe logs nothing.
  EXPECT_EQ(std::string::npos, fixture.ServerLog().find("zkExistsDir")) << fixture.ServerLog();
}

}  // namespace
}  // namespace test
}  // namespace zk
