// Process-level test support: run built programs and check their streams, temporary folders,
// free ports, polling, direct calls to the server, and a real naming service plus zksvr on
// 127.0.0.1 that is stopped by process id.
#ifndef ZK_TESTS_HARNESS_H_
#define ZK_TESTS_HARNESS_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "idl/orb.h"
#include "settings/zkdb.h"

namespace zk {
namespace test {

struct RunResult {
  int status = -1;  // exit status; 128+N when ended by signal N; -1 when it could not start
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error
};

struct RunOptions {
  std::string cwd;               // working directory ("" = the test's)
  std::string input;             // bytes fed to standard input, then end of input
  std::vector<std::string> env;  // extra "NAME=value" entries (replacing inherited ones)
  int timeout_seconds = 60;      // killed (and status 128+9) when exceeded
};

// build/bin, from the ZK_BIN environment variable that ctest sets.
std::string BinDir();
// BinDir() + "/" + name.
std::string Program(const std::string& name);
// A symbolic link dir/name to the built program, so that the program's own directory is `dir`.
// Returns dir + "/" + name.
std::string LinkProgram(const std::string& dir, const std::string& name);

// Runs argv (argv[0] is the executable path and is passed as argv[0]) and waits for it.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());
// Success when the run ended with `status` and wrote exactly `out` and `err`; else all three.
::testing::AssertionResult Ended(const RunResult& r, int status, const std::string& out,
                                 const std::string& err);
// Run in the folder `cwd`, with `input` on standard input.
RunResult RunIn(const std::string& cwd, const std::vector<std::string>& argv,
                const std::string& input = "");

// Starts argv in the background with output to `log` (or /dev/null); returns its pid (-1 on error).
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::string& log = "");
// SIGTERM, wait up to 5 s, then SIGKILL; reaps the child. Safe with pid <= 0.
void Stop(pid_t pid);

// A fresh folder under $TMPDIR, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);
// True when something accepts connections on 127.0.0.1:port (waits up to `seconds`).
bool WaitForPort(int port, int seconds);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// A "#!/bin/sh" script with `body`, made executable (unless `mode` says otherwise).
void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755);
// Polls `done` every 20 ms until it is true (then true) or `seconds` have passed (then false).
bool WaitUntil(const std::function<bool()>& done, double seconds);
// True when something (also a dangling link) has this name.
bool Exists(const std::string& path);
// The open descriptors of a process and what they lead to ("socket:[123]", a file's path).
std::vector<std::pair<int, std::string>> OpenDescriptors(pid_t pid);

// Direct calls to the server, as no tool would make them. The test process has one ORB, set up as
// a client tool sets up its own (so requests above omniORB's default message limit fit).
CORBA::ORB_ptr TestOrb();
// The object bound as "ZKmdImpl" in the naming service on 127.0.0.1:ns_port (throws as CORBA does).
ZKmd_ptr ResolveServer(int ns_port);
// True when "ZKmdImpl" resolves there to a live object.
bool ServerServes(int ns_port);
// A batch of one chunk for the file `name` in the root of the area: `data` as its content for an
// upload, `pos` and `len` as the part asked for by a download.
ZKmd::zkSeqFileBuf OneChunk(const std::string& name, const std::string& data, long pos, long len);
// zkRemoteJob in wait mode ("1") or shell mode ("0"); the job's return value in *ret.
long RunJob(ZKmd_ptr server, const std::string& user, const std::string& job,
            const std::string& mode, std::string* ret);

// What an environment file holds for a user or a job; empty fields when it holds none.
UserRow StoredUser(const std::string& env_file, const std::string& user);
JobRow StoredJob(const std::string& env_file, const std::string& job);
std::string StoredPassword(const std::string& env_file, const std::string& user);

// With openssl: a new certificate authority, its certificate in `prefix`.pem and its key in
// `prefix`.key (owner-only). False, with the reason in *why, when openssl failed.
bool MakeCertificateAuthority(const std::string& prefix, std::string* why = nullptr);

// A naming service and zksvr on 127.0.0.1, free ports, everything in one temporary folder:
//   dir()/server.zkd            the server environment file (unit 1000 unless changed)
//   dir()/zksvr                 link to the built server (so server.conf is looked up in dir())
//   dir()/server.conf           ORB settings: publish 127.0.0.1 (tests never use another address)
//   dir()/store/<user>/         users' storage directories
//   dir()/clients/<user>/       each user's folder with its client.zkd
// Everything started is stopped by process id in the destructor, also when a test fails.
class ServerFixture {
 public:
  explicit ServerFixture(const std::string& unit = "1000");
  ~ServerFixture();

  const std::string& dir() const { return tmp_.path(); }
  std::string server_env() const { return dir() + "/server.zkd"; }
  int ns_port() const { return ns_port_; }

  // Makes the server TLS only: a private CA and a server key and certificate in dir()/tls/,
  // and server.conf naming them (still publishing 127.0.0.1). Every user added afterwards gets a
  // client.conf trusting that CA beside its client.zkd. Call before AddUser and StartServer.
  bool EnableTls(std::string* why = nullptr);
  bool tls() const { return tls_; }
  std::string ca_file() const { return dir() + "/tls/ca.pem"; }

  // Registers a user (storage dir()/store/<user>/) and writes dir()/clients/<user>/client.zkd
  // (and client.conf when TLS is on). Returns the user's client folder.
  std::string AddUser(const std::string& user, const std::string& password);
  std::string client_dir(const std::string& user) const { return dir() + "/clients/" + user; }
  std::string storage_dir(const std::string& user) const { return dir() + "/store/" + user; }
  // Adds a line to dir()/server.conf (before StartServer).
  void AddServerConf(const std::string& line);
  // What zksvr has written to its standard output and error.
  std::string ServerLog() const;
  // Registers a job in server.zkd.
  void AddJob(const std::string& job, const std::string& program, const std::string& params = "",
              const std::string& run_password = "");

  // Starts the naming service / the server and waits until it serves ("ZKmdImpl" resolves).
  // Returns false (with a note in *why) when it did not come up in time.
  bool StartNaming(std::string* why = nullptr);
  bool StartServer(std::string* why = nullptr);
  // Both, asserting success. Call from a test's body or SetUp.
  void Start();
  void StopServer();
  void StopNaming();
  pid_t server_pid() const { return server_pid_; }

  // Runs a client tool from the user's client folder (so ./client.zkd is found there).
  RunResult RunClient(const std::string& user, const std::string& tool,
                      const std::vector<std::string>& args, const std::string& input = "",
                      int timeout_seconds = 60);

 private:
  TempDir tmp_;
  int ns_port_ = 0;
  pid_t ns_pid_ = -1;
  pid_t server_pid_ = -1;
  bool tls_ = false;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_HARNESS_H_
