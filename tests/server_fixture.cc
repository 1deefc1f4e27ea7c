// The server fixture (a naming service and zksvr on 127.0.0.1, stopped by process id) and direct
// calls to the server through the test process's own ORB.
#include "tests/server_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "idl/omniorb/ior.h"
#include "idl/omniorb/streams.h"
#include "platform/fs.h"

namespace zk {
namespace test {
namespace {

// True when the naming service on `port` has "ZKmdImpl" bound to an object that answers.
bool NameServes(int port) {
  try {
    ZKmd_var server = ResolveServer(port);
    return !CORBA::is_nil(server) && !server->_non_existent();
  } catch (...) {
    return false;
  }
}

// The reference bound as "ZKmdImpl" on `port`, as text; empty when none is (or the naming
// service does not answer).
std::string BoundReference(int port) {
  try {
    ZKmd_var server = ResolveServer(port);
    if (CORBA::is_nil(server)) return std::string();
    CORBA::String_var text = TestOrb()->object_to_string(server.in());
    return text.in();
  } catch (...) {
    return std::string();
  }
}

// True when the reference `ior` answers: a call for a plain server; for a TLS-only one, which
// the test process cannot call, a connection to a port that the reference names.
bool ReferenceAnswers(const std::string& ior, bool tls) {
  try {
    CORBA::Object_var obj = TestOrb()->string_to_object(ior.c_str());
    if (!tls) return !obj->_non_existent();
    for (int port : ReferencePorts(obj.in())) {
      int fd = ConnectLoopback(port);
      if (fd >= 0) {
        close(fd);
        return true;
      }
    }
  } catch (...) {
  }
  return false;
}

RunResult Openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}
}  // namespace

CORBA::ORB_ptr TestOrb() {
  static CORBA::ORB_ptr orb = InitOrb(TranslateForOmniOrb(
      FileSystem::Default(), ClientOrbArgs("zktest", {"127.0.0.1", "1", "2", ""})));
  return orb;
}

ZKmd_ptr ResolveServer(int ns_port) {
  CORBA::Object_var obj = TestOrb()->string_to_object(
      ("corbaloc:iiop:127.0.0.1:" + std::to_string(ns_port) + "/NameService").c_str());
  CosNaming::NamingContext_var nc = CosNaming::NamingContext::_narrow(obj.in());
  CORBA::Object_var found = nc->resolve(ServerName());
  return ZKmd::_narrow(found.in());
}

bool ServerServes(int ns_port) { return NameServes(ns_port); }

bool NamingAnswers(int ns_port) {
  try {
    ZKmd_var server = ResolveServer(ns_port);
    return true;
  } catch (const CosNaming::NamingContext::NotFound&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<int> ReferencePorts(CORBA::Object_ptr obj) {
  std::vector<int> ports;
  for (const IIOP::ProfileBody& body : zk::IiopProfiles(obj)) {
    if (body.address.port != 0) ports.push_back(body.address.port);
    for (CORBA::ULong c = 0; c < body.components.length(); ++c) {
      const IOP::TaggedComponent& component = body.components[c];
      if (component.tag != IOP::TAG_SSL_SEC_TRANS) continue;
      // An encapsulation of target_supports, target_requires and port (unsigned shorts).
      cdrEncapsulationStream in(component.component_data.get_buffer(),
                                component.component_data.length(), 1);
      CORBA::UShort supports, required, port;
      supports <<= in;
      required <<= in;
      port <<= in;
      if (port != 0) ports.push_back(port);
    }
  }
  return ports;
}

ZKmd::zkSeqFileBuf OneChunk(const std::string& name, const std::string& data, long pos, long len) {
  ZKmd::zkSeqFileBuf seq;
  seq.length(1);
  ZKmd::zkStrctFileBuf& c = seq[0];
  c.filePath = "\\";
  c.fileNm = name.c_str();
  c.fileSize = static_cast<CORBA::Long>(data.size());
  c.updDt = "2020/01/02 03:04:05";
  c.crtDt = "2020/01/02 03:04:05";
  c.fileBuf.length(static_cast<CORBA::ULong>(data.size()));
  for (size_t i = 0; i < data.size(); ++i) c.fileBuf[i] = static_cast<CORBA::Octet>(data[i]);
  c.bufNo = 1;
  c.nextBuf = false;
  c.bufPos = pos;
  c.bufUnitSize = len;
  return seq;
}

ZKmd::zkSeqFileBuf64 OneRequest64(const std::string& dir, const std::string& name, long long pos,
                                  long len) {
  ZKmd::zkSeqFileBuf64 seq;
  seq.length(1);
  ZKmd::zkStrctFileBuf64& c = seq[0];
  c.filePath = dir.c_str();
  c.fileNm = name.c_str();
  c.fileSize = 0;
  c.updDt = "";
  c.crtDt = "";
  c.bufNo = 1;
  c.nextBuf = false;
  c.bufPos = pos;
  c.bufUnitSize = static_cast<CORBA::Long>(len);
  return seq;
}

long RunJob(ZKmd_ptr server, const std::string& user, const std::string& job,
            const std::string& mode, std::string* ret) {
  CORBA::String_var value = CORBA::string_dup("");
  long result = server->zkRemoteJob(user.c_str(), job.c_str(), "", "", mode.c_str(), value.inout());
  *ret = value.in();
  return result;
}

UserRow StoredUser(const std::string& env_file, const std::string& user) {
  UserRow row;
  ReadUser(env_file, user, &row);
  return row;
}

JobRow StoredJob(const std::string& env_file, const std::string& job) {
  JobRow row;
  ReadJob(env_file, job, &row);
  return row;
}

std::string StoredPassword(const std::string& env_file, const std::string& user) {
  return StoredUser(env_file, user).password;
}

bool MakeCertificateAuthority(const std::string& prefix, std::string* why) {
  RunResult r = Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt",
                         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", prefix + ".key",
                         "-out", prefix + ".pem", "-days", "30", "-subj", "/CN=zk test CA"});
  if (r.status != 0 && why) *why = "openssl: " + r.err;
  return r.status == 0;
}

ServerFixture::ServerFixture(const std::string& unit) {
  ns_port_ = FreePort();
  mkdir((dir() + "/store").c_str(), 0700);
  mkdir((dir() + "/clients").c_str(), 0700);
  mkdir((dir() + "/names").c_str(), 0700);
  if (CreateServerEnvFile(server_env(), "127.0.0.1", std::to_string(ns_port_), "0", unit) !=
      WriteStatus::kDone) {
    throw std::runtime_error("cannot create server.zkd");
  }
  LinkProgram(dir(), "zksvr");
  // The server publishes its loopback address, so every test connection stays on 127.0.0.1.
  WriteFile(dir() + "/server.conf", "endPointPublish = giop:tcp:127.0.0.1:\n");
}

ServerFixture::~ServerFixture() {
  StopServer();
  StopNaming();
}

bool ServerFixture::EnableTls(std::string* why) {
  const std::string tls = dir() + "/tls";
  mkdir(tls.c_str(), 0700);
  if (!MakeCertificateAuthority(tls + "/ca", why)) return false;
  RunResult r = Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-nodes", "-keyout", tls + "/server.key", "-out", tls + "/server.csr",
                         "-subj", "/CN=127.0.0.1"});
  if (r.status == 0) {
    r = Openssl({"x509", "-req", "-in", tls + "/server.csr", "-CA", tls + "/ca.pem", "-CAkey",
                 tls + "/ca.key", "-CAcreateserial", "-out", tls + "/server.crt", "-days", "30"});
  }
  if (r.status != 0) {
    if (why) *why = "openssl: " + r.err;
    return false;
  }
  // omniORB reads the key and the certificate from one file, and wants a key password even for
  // a key that has none.
  WriteFile(tls + "/server.pem", ReadFile(tls + "/server.key") + ReadFile(tls + "/server.crt"));
  chmod((tls + "/server.pem").c_str(), 0600);
  WriteFile(dir() + "/server.conf",
            "endPointPublish = giop:ssl:127.0.0.1:\n"
            "sslCAFile = " +
                ca_file() +
                "\n"
                "sslKeyFile = " +
                tls +
                "/server.pem\n"
                "sslKeyPassword = unused\n");
  tls_ = true;
  return true;
}

std::string ServerFixture::AddUser(const std::string& user, const std::string& password) {
  std::string store = storage_dir(user);
  std::string client = client_dir(user);
  mkdir(store.c_str(), 0700);
  mkdir(client.c_str(), 0700);
  if (zk::AddUser(server_env(), user, password, store + "/") != WriteStatus::kDone) {
    ADD_FAILURE() << "cannot register the user " << user << " in " << server_env();
  }
  const ConnectionSettings c = ReadConnectionSettings(server_env());
  if (CreateUserEnvFile(client + "/client.zkd", c.ns, c.iiop, c.ssl, c.unit, user, password) !=
      WriteStatus::kDone) {
    ADD_FAILURE() << "cannot write " << client << "/client.zkd";
  }
  if (tls_) WriteFile(client + "/client.conf", "sslCAFile = " + ca_file() + "\n");
  return client;
}

void ServerFixture::AddServerConf(const std::string& line) {
  WriteFile(dir() + "/server.conf", ReadFile(dir() + "/server.conf") + line + "\n");
}

std::string ServerFixture::ServerLog() const { return ReadFile(dir() + "/zksvr.log"); }

void ServerFixture::AddJob(const std::string& job, const std::string& program,
                           const std::string& params, const std::string& run_password) {
  if (zk::AddJob(server_env(), job, program, params, run_password) != WriteStatus::kDone) {
    ADD_FAILURE() << "cannot register the job " << job << " in " << server_env();
  }
}

bool ServerFixture::StartNaming(std::string* why) {
  std::string port = std::to_string(ns_port_);
  ns_pid_ = Spawn({"/usr/bin/omniNames", "-start", port, "-always", "-datadir", dir() + "/names",
                   "-ORBendPoint", "giop:tcp:127.0.0.1:" + port},
                  dir(), dir() + "/names.log");
  if (WaitUntil([&] { return NamingAnswers(ns_port_); }, 20)) return true;
  if (why)
    *why = "naming service did not answer on " + port + ": " + ReadFile(dir() + "/names.log");
  return false;
}

// The server counts as up once the name leads to a reference other than the one bound before it
// started (the naming service keeps a stopped server's reference) and that reference answers.
bool ServerFixture::StartServer(std::string* why) {
  const std::string before = BoundReference(ns_port_);
  server_pid_ = Spawn({dir() + "/zksvr", "-e", server_env()}, dir(), dir() + "/zksvr.log");
  int raw;
  bool ended = false;
  if (WaitUntil(
          [&] {
            ended = waitpid(server_pid_, &raw, WNOHANG) == server_pid_;
            if (ended) return true;
            const std::string now = BoundReference(ns_port_);
            return !now.empty() && now != before && ReferenceAnswers(now, tls_);
          },
          20) &&
      !ended) {
    return true;
  }
  if (ended) server_pid_ = -1;
  if (why) {
    *why = "zksvr did not come up" +
           (ended ? " (status " + std::to_string(raw) + ")" : std::string()) + ": " +
           ReadFile(dir() + "/zksvr.log");
  }
  return false;
}

void ServerFixture::Start() {
  std::string why;
  ASSERT_TRUE(StartNaming(&why)) << why;
  ASSERT_TRUE(StartServer(&why)) << why;
}

void ServerFixture::StopServer() {
  Stop(server_pid_);
  server_pid_ = -1;
}

void ServerFixture::StopNaming() {
  Stop(ns_pid_);
  ns_pid_ = -1;
}

RunResult ServerFixture::RunClient(const std::string& user, const std::string& tool,
                                   const std::vector<std::string>& args, const std::string& input,
                                   int timeout_seconds) {
  std::vector<std::string> argv = {Program(tool)};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.cwd = client_dir(user);
  options.input = input;
  options.timeout_seconds = timeout_seconds;
  return Run(argv, options);
}

}  // namespace test
}  // namespace zk
