// The server under test: a naming service and zksvr on 127.0.0.1 in one temporary folder, stopped
// by process id, and direct calls to the server through the test process's own ORB.
#ifndef ZK_TESTS_SERVER_FIXTURE_H_
#define ZK_TESTS_SERVER_FIXTURE_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "idl/orb.h"
#include "settings/zkdb.h"
#include "tests/process.h"

namespace zk {
namespace test {

// Direct calls to the server, as no tool would make them. The test process has one ORB, set up as
// a client tool sets up its own (so requests above omniORB's default message limit fit).
CORBA::ORB_ptr TestOrb();
// The object bound as "ZKmdImpl" in the naming service on 127.0.0.1:ns_port (throws as CORBA does).
ZKmd_ptr ResolveServer(int ns_port);
// True when "ZKmdImpl" resolves there to a live object.
bool ServerServes(int ns_port);
// True when the naming service on 127.0.0.1:ns_port answers a call. omniNames listens before it
// has written its data file, and one stopped in between cannot start again over that data.
bool NamingAnswers(int ns_port);
// The TCP ports that a reference names: its IIOP profile's port, unless 0, and the port of each
// TLS component (a TLS-only server publishes 0 as the first and its TLS port in the second).
std::vector<int> ReferencePorts(CORBA::Object_ptr obj);
// A batch of one chunk for the file `name` in the root of the area: `data` as its content for an
// upload, `pos` and `len` as the part asked for by a download.
ZKmd::zkSeqFileBuf OneChunk(const std::string& name, const std::string& data, long pos, long len);
// A zkFileDownload64 request for `len` bytes at `pos` of `dir` + `name` (first chunk, no times).
ZKmd::zkSeqFileBuf64 OneRequest64(const std::string& dir, const std::string& name, long long pos,
                                  long len);
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
  // (and client.conf when TLS is on). Returns the user's client folder. A user that cannot be
  // registered or written fails the test.
  std::string AddUser(const std::string& user, const std::string& password);
  std::string client_dir(const std::string& user) const { return dir() + "/clients/" + user; }
  std::string storage_dir(const std::string& user) const { return dir() + "/store/" + user; }
  // Adds a line to dir()/server.conf (before StartServer).
  void AddServerConf(const std::string& line);
  // What zksvr has written to its standard output and error.
  std::string ServerLog() const;
  // Registers a job in server.zkd; one that cannot be registered fails the test.
  void AddJob(const std::string& job, const std::string& program, const std::string& params = "",
              const std::string& run_password = "");

  // Starts the naming service / the server and waits until it serves: for the server, until
  // "ZKmdImpl" resolves to a reference other than the one bound before (a stopped server's stays
  // bound) that answers, or for a TLS-only server, whose reference the test process cannot call,
  // whose port accepts connections. Returns false (with a note in *why) when it did not come up
  // in time.
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

#endif  // ZK_TESTS_SERVER_FIXTURE_H_
