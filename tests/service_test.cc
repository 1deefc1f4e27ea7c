// zksvr as a service: its notifications to a service manager, heard on a notification socket of
// the test's own, and its metrics file, read back and moved by a copy.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
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
    const socklen_t len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
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
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
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

// The metrics file: sample lines "name{labels} value" by name and labels.
std::map<std::string, double> ReadMetrics(const std::string& path) {
  std::map<std::string, double> samples;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

// Fails the test (and gives "") when the file `path` is not valid exposition text to promtool;
// skips the check with a message when promtool is not installed.
void CheckWithPromtool(const std::string& path) {
  if (system("command -v promtool >/dev/null 2>&1") != 0) {
    std::cout << "promtool not installed (Debian package prometheus): the file's format is not "
                 "checked by it\n";
    return;
  }
  const RunResult r = Run({"/bin/sh", "-c", "promtool check metrics < '" + path + "'"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("", r.out + r.err);  // no lint warnings either
}

TEST(MetricsFileTest, WrittenEveryFewSecondsAndMovedByACopy) {
  ServerFixture fixture;
  const std::string file = fixture.dir() + "/metrics/zk.prom";
  ASSERT_EQ(0, mkdir((fixture.dir() + "/metrics").c_str(), 0755));
  fixture.AddServerConf("zkMetricsFile = " + file);
  const std::string client = fixture.AddUser("u1", "pw1");
  fixture.Start();
  ASSERT_TRUE(WaitUntil([&] { return Exists(file); }, 10)) << fixture.ServerLog();
  CheckWithPromtool(file);
  const std::map<std::string, double> before = ReadMetrics(file);
  EXPECT_EQ(1, before.at("zk_build_info{version=\"1.0.0\"}"));
  EXPECT_EQ(0, before.at("zk_kept_parts"));

  const std::string data(5000, 'x');
  WriteFile(client + "/a.txt", data);
  RunResult r = fixture.RunClient("u1", "zkcp", {"-p", "pw1", "a.txt", "::"});
  ASSERT_EQ(0, r.status) << r.err;
  r = fixture.RunClient("u1", "zkcp", {"-p", "pw1", "::a.txt", "back"});
  ASSERT_EQ(0, r.status) << r.err;
  r = fixture.RunClient("u1", "zkls", {"-p", "wrong"});
  EXPECT_EQ(20, r.status);

  const std::string upload_ok =
      "zk_requests_total{operation=\"zkFileUploadVerified\",result=\"ok\"}";
  std::map<std::string, double> after;
  ASSERT_TRUE(WaitUntil(
      [&] {
        after = ReadMetrics(file);
        return after["zk_logins_total{result=\"refused\"}"] >
               before.at("zk_logins_total{result=\"refused\"}");
      },
      12))
      << ReadFile(file);
  auto moved = [&](const std::string& name) { return after.at(name) - before.at(name); };
  EXPECT_EQ(1, moved(upload_ok));
  EXPECT_EQ(5000, moved("zk_received_bytes_total"));
  EXPECT_EQ(5000, moved("zk_sent_bytes_total"));
  EXPECT_EQ(2, moved("zk_logins_total{result=\"accepted\"}"));
  EXPECT_EQ(1, moved("zk_logins_total{result=\"refused\"}"));
  EXPECT_EQ(1, moved("zk_requests_total{operation=\"zkExistsUser\",result=\"refused\"}"));
  EXPECT_EQ(0, after.at("zk_uploads_in_progress"));
  double failed = 0;
  for (const auto& sample : after) {
    if (sample.first.find("result=\"failed\"") != std::string::npos) failed += sample.second;
  }
  EXPECT_EQ(0, failed) << ReadFile(file);
  CheckWithPromtool(file);
  EXPECT_EQ(0644, [&] {
    struct stat st {};
    stat(file.c_str(), &st);
    return static_cast<int>(st.st_mode & 07777);
  }());
}

}  // namespace
}  // namespace test
}  // namespace zk
