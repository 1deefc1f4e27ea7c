// Security of a running server: requests are served only for the user authenticated on their own
// connection, TLS carries the tools' traffic (and only TLS, once a client trusts a CA), and the
// password does not cross the wire readably.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "idl/orb.h"
#include "settings/zkdb.h"
#include "tests/direct_client.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

class AuthenticationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.AddUser("u1", "pw1");
    fixture_.AddUser("u2", "pw2");
    area_ = fixture_.storage_dir("u1") + "/";
    WriteFile(area_ + "keep.txt", "keep");
    mkdir((area_ + "empty").c_str(), 0700);
    WriteScript(fixture_.dir() + "/mark.sh", "touch " + fixture_.dir() + "/marker\n");
    fixture_.AddJob("mark", fixture_.dir() + "/mark.sh");
    fixture_.Start();
  }
  std::string Marker() const { return fixture_.dir() + "/marker"; }
  std::string ServerPassword() const { return StoredPassword(fixture_.server_env(), "u1"); }

  // Every operation for u1 over `c` is refused with its own failure answer and changes nothing.
  void ExpectAllRefused(DirectClient& c, const std::string& state) {
    SCOPED_TRACE(state);
    EXPECT_EQ(0, c->zkExistsDir("u1", "empty"));
    EXPECT_EQ(0, c->zkExistsFile("u1", "keep.txt"));
    EXPECT_EQ(0, c->zkFileCount("u1", ".\\", "*.*"));
    std::vector<std::string> names = {"unset"};
    EXPECT_EQ(0, c.List("u1", 3, &names));
    EXPECT_EQ(std::vector<std::string>(), names);  // a refused listing comes back empty

    CORBA::Long index = 0;
    EXPECT_EQ(20, c.Upload("u1", "planted.txt", "planted", &index));
    EXPECT_EQ(1, index);
    EXPECT_FALSE(Exists(area_ + "planted.txt"));
    std::string data;
    EXPECT_EQ(20, c.Download("u1", "keep.txt", &data, &index));
    EXPECT_EQ(1, index);
    EXPECT_EQ(std::string::npos, data.find("keep"));

    EXPECT_EQ(-1, c->zkFileRemove("u1", "keep.txt"));
    EXPECT_EQ(-1, c->zkDirRemove("u1", "empty"));
    EXPECT_EQ("keep", ReadFile(area_ + "keep.txt"));
    EXPECT_TRUE(Exists(area_ + "empty"));

    EXPECT_EQ(-1, c->zkChgUserPwd("u1", "taken-over"));
    EXPECT_EQ("pw1", ServerPassword());

    std::string ret = "unset";
    EXPECT_EQ(-10, RunJob(c.get(), "u1", "mark", "1", &ret));
    EXPECT_EQ("0", ret);
    EXPECT_FALSE(Exists(Marker()));
  }

  ServerFixture fixture_;
  std::string area_;
};

TEST_F(AuthenticationTest, OnlyTheUserAuthenticatedOnTheConnectionIsServed) {
  // u1 proves itself on a connection of its own first: that must not open any other one.
  DirectClient owner(fixture_.ns_port(), 1);
  ASSERT_EQ(-1, owner->zkExistsUser("u1", "pw1"));

  DirectClient fresh(fixture_.ns_port(), 2);
  ExpectAllRefused(fresh, "never authenticated");

  DirectClient other(fixture_.ns_port(), 3);
  ASSERT_EQ(-1, other->zkExistsUser("u2", "pw2"));
  ExpectAllRefused(other, "authenticated as u2");
  // Its own user is served there.
  EXPECT_EQ(0, other->zkFileCount("u2", ".\\", "*.*"));
  EXPECT_EQ(1, other->zkExistsDir("u2", ".\\"));

  DirectClient failed(fixture_.ns_port(), 4);
  ASSERT_EQ(-1, failed->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(1, failed->zkExistsFile("u1", "keep.txt"));
  ASSERT_EQ(0, failed->zkExistsUser("u1", "wrong"));
  ExpectAllRefused(failed, "after a refused password");
  // Naming another user who does not exist clears it just the same.
  ASSERT_EQ(-1, failed->zkExistsUser("u1", "pw1"));
  ASSERT_EQ(0, failed->zkExistsUser("nobody", "pw1"));
  ExpectAllRefused(failed, "after an unknown user");

  // Each refusal is logged with the caller's address.
  const std::string log = ReadFile(fixture_.dir() + "/zksvr.log");
  for (const char* op : {"zkFileRemove", "zkRemoteJob", "zkFileUpload"}) {
    const std::string line = std::string("(") + op + " u1 giop:tcp:";
    EXPECT_TRUE(log.find(line + "127.0.0.1:") != std::string::npos ||
                log.find(line + "[::ffff:127.0.0.1]:") != std::string::npos)
        << op << "\n"
        << log;
  }

  // The owner's connection is served for every operation.
  EXPECT_EQ(1, owner->zkExistsDir("u1", "empty"));
  EXPECT_EQ(1, owner->zkExistsFile("u1", "keep.txt"));
  EXPECT_EQ(2, owner->zkFileCount("u1", ".\\", "*.*"));
  std::vector<std::string> names;
  EXPECT_EQ(0, owner.List("u1", 3, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"", "empty", "keep.txt"}), names);
  CORBA::Long index = 0;
  EXPECT_EQ(0, owner.Upload("u1", "new.txt", "fresh data", &index));
  EXPECT_EQ("fresh data", ReadFile(area_ + "new.txt"));
  std::string data;
  EXPECT_EQ(0, owner.Download("u1", "keep.txt", &data, &index));
  EXPECT_EQ(0, data.compare(0, 4, "keep"));
  std::string ret;
  EXPECT_EQ(0, RunJob(owner.get(), "u1", "mark", "1", &ret));
  EXPECT_TRUE(Exists(Marker()));
  EXPECT_EQ(0, owner->zkFileRemove("u1", "keep.txt"));
  EXPECT_FALSE(Exists(area_ + "keep.txt"));
  EXPECT_EQ(0, owner->zkDirRemove("u1", "empty"));
  EXPECT_FALSE(Exists(area_ + "empty"));
  EXPECT_EQ(0, owner->zkChgUserPwd("u1", "pw1-new"));
  EXPECT_EQ("pw1-new", ServerPassword());
  // ... and only for its own user.
  EXPECT_EQ(-1, owner->zkChgUserPwd("u2", "taken-over"));
  EXPECT_EQ("pw2", StoredPassword(fixture_.server_env(), "u2"));
}

// ---- TLS ----

const char kCorbaException[] = "CORBA Exception: ";

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(fixture_.EnableTls(&why)) << why;
    client_ = fixture_.AddUser("u1", "pw1");
    fixture_.Start();
  }
  RunResult Tool(const std::string& tool, const std::vector<std::string>& args) {
    return fixture_.RunClient("u1", tool, args);
  }
  // The reference the naming service holds for the server, as text.
  std::string StoredReference() {
    ZKmd_var server = ResolveServer(fixture_.ns_port());
    CORBA::String_var text = TestOrb()->object_to_string(server.in());
    return text.in();
  }

  ServerFixture fixture_;
  std::string client_;
};

TEST_F(TlsTest, ToolsWorkOverTls) {
  WriteFile(client_ + "/hello.txt", "hello over TLS\n");
  RunResult r = Tool("zkcp", {"-p", "pw1", "hello.txt", "::"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("hello over TLS\n", ReadFile(fixture_.storage_dir("u1") + "/hello.txt"));

  r = Tool("zkls", {"-p", "pw1"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("hello.txt")) << r.out;

  r = Tool("zkcp", {"-p", "pw1", "::hello.txt", "back"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("hello over TLS\n", ReadFile(client_ + "/back/hello.txt"));

  WriteScript(fixture_.dir() + "/mark.sh", "touch " + fixture_.dir() + "/marker\n");
  fixture_.AddJob("mark", fixture_.dir() + "/mark.sh");
  r = Tool("zkjob", {"mark", "-s", "-p", "pw1"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(Exists(fixture_.dir() + "/marker"));

  r = Tool("zkpwd", {"pw1", "pw2", "pw2"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("pw2", StoredPassword(fixture_.server_env(), "u1"));

  // The naming service named by a host name: its clear-text address is still found.
  ASSERT_EQ(WriteStatus::kDone,
            UpdateEnvSetting(client_ + "/client.zkd", "ns", "localhost", "", ""));
  r = Tool("zkls", {"-p", "pw2"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("hello.txt")) << r.out;
}

// A restarted TLS server is up when StartServer returns, although the naming service still held
// the stopped server's reference when it began to wait: the tools reach the new one at once.
TEST_F(TlsTest, RestartedServerServesOnceStarted) {
  const std::string first = StoredReference();
  ZKmd_var before = ResolveServer(fixture_.ns_port());
  ASSERT_FALSE(ReferencePorts(before.in()).empty()) << first;
  fixture_.StopServer();
  EXPECT_EQ(first, StoredReference());
  std::string why;
  ASSERT_TRUE(fixture_.StartServer(&why)) << why;
  EXPECT_NE(first, StoredReference());
  RunResult r = Tool("zkls", {"-p", "pw1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST_F(TlsTest, ClientsThatCannotSpeakTlsWithThisServerFail) {
  // Trusting another CA: the handshake fails, and there is no clear-text endpoint to fall to.
  std::string why;
  ASSERT_TRUE(MakeCertificateAuthority(fixture_.dir() + "/other", &why)) << why;
  WriteFile(client_ + "/client.conf", "sslCAFile = " + fixture_.dir() + "/other.pem\n");
  RunResult r = Tool("zkls", {"-p", "pw1"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(0u, r.err.find(kCorbaException)) << r.err;
  EXPECT_EQ("", r.out);

  // No CA at all: nothing to reach the server with.
  unlink((client_ + "/client.conf").c_str());
  r = Tool("zkls", {"-p", "pw1"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(0u, r.err.find(kCorbaException)) << r.err;
}

TEST(TlsClientTest, ClientTrustingACaNeverTalksClearText) {
  // A server without TLS: a client that trusts a CA refuses it rather than fall back.
  ServerFixture fixture;
  std::string client = fixture.AddUser("u1", "pw1");
  fixture.Start();
  std::string why;
  ASSERT_TRUE(MakeCertificateAuthority(fixture.dir() + "/ca", &why)) << why;
  WriteFile(client + "/client.conf", "sslCAFile = " + fixture.dir() + "/ca.pem\n");
  RunResult r = fixture.RunClient("u1", "zkls", {"-p", "pw1"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(0u, r.err.find(kCorbaException)) << r.err;

  // Without the CA the same client works in clear text.
  unlink((client + "/client.conf").c_str());
  r = fixture.RunClient("u1", "zkls", {"-p", "pw1"});
  EXPECT_EQ(0, r.status) << r.err;
}

// ---- what crosses the loopback interface ----

// tcpdump writing every TCP packet on the loopback interface to a file, for as long as it lives.
class LoopbackCapture {
 public:
  static constexpr const char* kTcpdump = "/usr/bin/tcpdump";
  static bool Available(std::string* why) {
    if (access(kTcpdump, X_OK) != 0) {
      *why = "tcpdump is not installed";
      return false;
    }
    if (geteuid() != 0) {
      *why = "capturing needs root";
      return false;
    }
    return true;
  }
  // Captures only the TCP ports `ports` (and its own marker connection's), so that other traffic
  // on the loopback interface (tests moving gigabytes at the same time) stays out of the file.
  LoopbackCapture(const std::string& dir, const std::vector<int>& ports)
      : file_(dir + "/lo.pcap"), log_(dir + "/tcpdump.log") {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;  // not listening(): the test fails on that
    }
    marker_port_ = ntohs(addr.sin_port);
    std::string filter = "tcp and (port " + std::to_string(marker_port_);
    for (int port : ports) filter += " or port " + std::to_string(port);
    filter += ")";
    pid_ = Spawn({kTcpdump, "-i", "lo", "--immediate-mode", "-U", "-s", "0", "-w", file_, filter},
                 dir, log_);
    // "listening on" comes before the capture really sees packets: it is live once a marker
    // sent over loopback has reached the file.
    listening_ = SeenMarker("start");
  }
  ~LoopbackCapture() {
    Stop(pid_);
    if (listener_ >= 0) close(listener_);
  }
  bool listening() const { return listening_; }
  // Ends the capture once everything sent before has reached the file; the captured bytes.
  std::string Finish() {
    EXPECT_TRUE(SeenMarker("end")) << log();
    Stop(pid_);
    pid_ = -1;
    return ReadFile(file_);
  }
  std::string log() const { return ReadFile(log_); }

 private:
  // Sends a marker through a loopback connection of its own, again every 200 ms, until the
  // capture file holds it (packets are written as they come, -U); false after 10 s.
  bool SeenMarker(const std::string& what) {
    if (marker_port_ == 0) return false;
    const std::string marker = "zk-capture-" + what + "-" + std::to_string(getpid());
    bool seen = false;
    for (int attempt = 0; attempt < 50 && !seen; ++attempt) {
      int fd = ConnectLoopback(marker_port_);
      if (fd >= 0) {
        if (write(fd, marker.data(), marker.size()) < 0) {
          // Another attempt follows.
        }
        close(fd);
      }
      seen = WaitUntil([&] { return ReadFile(file_).find(marker) != std::string::npos; }, 0.2);
    }
    return seen;
  }

  std::string file_, log_;
  int listener_ = -1;
  int marker_port_ = 0;
  pid_t pid_ = -1;
  bool listening_ = false;
};

// Runs zkpwd from `old_word` to `new_word` under a capture; the captured bytes.
std::string CapturedPasswordChange(ServerFixture& fixture, const std::string& old_word,
                                   const std::string& new_word) {
  // The naming service's port and the server's (its plain or its TLS one).
  std::vector<int> ports = {fixture.ns_port()};
  ZKmd_var server = ResolveServer(fixture.ns_port());
  for (int port : ReferencePorts(server.in())) ports.push_back(port);
  LoopbackCapture capture(fixture.dir(), ports);
  EXPECT_TRUE(capture.listening()) << capture.log();
  RunResult r = fixture.RunClient("u1", "zkpwd", {old_word, new_word, new_word});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(new_word, StoredPassword(fixture.server_env(), "u1"));
  std::string bytes = capture.Finish();
  EXPECT_GT(bytes.size(), 1000u) << capture.log();
  return bytes;
}

TEST(WireTest, PasswordsCrossInClearTextWithoutTlsAndNotWithIt) {
  std::string why;
  if (!LoopbackCapture::Available(&why)) GTEST_SKIP() << why;
  const std::string tag = std::to_string(getpid());
  {
    // The capture does see a password in clear text: the check below can fail.
    ServerFixture plain;
    plain.AddUser("u1", "old-" + tag);
    plain.Start();
    std::string bytes = CapturedPasswordChange(plain, "old-" + tag, "Plain-Visible-" + tag);
    EXPECT_NE(std::string::npos, bytes.find("Plain-Visible-" + tag));
    EXPECT_NE(std::string::npos, bytes.find("old-" + tag));
  }
  ServerFixture tls;
  ASSERT_TRUE(tls.EnableTls(&why)) << why;
  tls.AddUser("u1", "old-" + tag);
  tls.Start();
  std::string bytes = CapturedPasswordChange(tls, "old-" + tag, "Tls-Hidden-" + tag);
  EXPECT_EQ(std::string::npos, bytes.find("Tls-Hidden-" + tag));
  EXPECT_EQ(std::string::npos, bytes.find("old-" + tag));
}

}  // namespace
}  // namespace test
}  // namespace zk
