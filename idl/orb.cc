// The ORB layer: argument vectors from the connection settings, their translation into omniORB's
// option names, ORB start-up, the naming context and the text form of exceptions.
#include "idl/orb.h"

#include <omniORB4/omniConnectionMgmt.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <utility>

#include "idl/omniorb/internals.h"
#include "idl/omniorb/tls.h"

namespace zk {

namespace {

std::string NameServiceRef(const ConnectionSettings& c) {
  return "NameService=corbaloc:iiop:" + c.ns + ":" + c.iiop + "/NameService";
}

// The quality-of-protection override on the naming reference. omniORB has no such policy
// (create_policy(15, ...) raises PolicyError), so this step applies nothing: naming traffic is
// plain IIOP through the corbaloc reference, which is what "no protection" asks for.
CORBA::Object_ptr ApplyNoProtectionOverride(CORBA::ORB_ptr /*orb*/, CORBA::Object_ptr ref) {
  return CORBA::Object::_duplicate(ref);
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::vector<std::string> ServerOrbArgs(const std::string& argv0, const ConnectionSettings& c) {
  return {argv0,         "-ORBInitRef",  NameServiceRef(c),          "-ORBSvcConf",
          "server.conf", "-ORBEndpoint", "iiop:///ssl_port=" + c.ssl};
}

std::vector<std::string> ClientOrbArgs(const std::string& argv0, const ConnectionSettings& c) {
  return {argv0, "-ORBInitRef", NameServiceRef(c)};
}

std::string ConfigValue(const std::string& conf_file, const std::string& key) {
  std::ifstream in(conf_file);
  std::string line, value;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (Trim(t.substr(0, eq)) == key) value = Trim(t.substr(eq + 1));  // the last one holds
  }
  return value;
}

bool ConfigNames(const std::string& conf_file, const std::string& key) {
  return !ConfigValue(conf_file, key).empty();
}

bool ConfiguresTls(const std::string& conf_file) { return ConfigNames(conf_file, "sslKeyFile"); }

bool ReadWireCode(const std::string& conf_file, WireCode* code) {
  std::string value = ConfigValue(conf_file, kWireTextKey);
  for (char& ch : value) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  *code = value == "cp932" ? WireCode::kCp932 : WireCode::kUtf8;
  return value.empty() || value == "cp932" || value == "utf-8";
}

namespace {

// The endpoint option for `endpoint` ("giop:tcp::" or, with TLS, the SSL port it names).
void AddEndpoint(const std::string& endpoint, bool tls, const std::string& conf,
                 std::vector<std::string>* out) {
  out->push_back("-ORBendPoint");
  if (!tls) {
    out->push_back("giop:tcp::");
    return;
  }
  std::string port;
  size_t at = endpoint.find("ssl_port=");
  if (at != std::string::npos) port = endpoint.substr(at + 9);
  out->push_back("giop:ssl::" + port);
  // The clients hold no certificate: the server asks for none, unless configured to.
  if (!ConfigNames(conf, "sslVerifyMode")) {
    out->push_back("-ORBsslVerifyMode");
    out->push_back("none");
  }
}

// The options every program adds after its own; `conf` is the configuration file or "".
void AddFixedOptions(bool has_endpoint, const std::string& conf, std::vector<std::string>* out) {
  // The server (the side with an endpoint) gives a request a limited time to arrive.
  if (has_endpoint) {
    out->push_back("-ORBserverCallTimeOutPeriod");
    out->push_back(std::to_string(kServerCallTimeoutMs));
  }
  // Both sides: one batch of the largest unit fits in one GIOP message. Idle connections stay
  // open, since the server remembers who authenticated on each of them.
  out->push_back("-ORBgiopMaxMsgSize");
  out->push_back(std::to_string(kMaxMessageBytes));
  out->push_back("-ORBinConScanPeriod");
  out->push_back("0");
  out->push_back("-ORBoutConScanPeriod");
  out->push_back("0");
  // Last, so that it holds whatever the configuration file says.
  WireCode wire = WireCode::kUtf8;
  if (!conf.empty()) ReadWireCode(conf, &wire);
  out->push_back("-ORBnativeCharCodeSet");
  out->push_back(wire == WireCode::kCp932 ? "ISO-8859-1" : "UTF-8");
}

}  // namespace

std::vector<std::string> TranslateForOmniOrb(FileSystem* fs, const std::vector<std::string>& args) {
  // The configuration file comes before the endpoint in the vector, but decides its form.
  std::string conf;
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "-ORBSvcConf" && fs->IsFile(args[i + 1])) conf = args[i + 1];
  }
  const bool tls = !conf.empty() && ConfiguresTls(conf);

  std::vector<std::string> out;
  bool has_endpoint = false;
  if (!args.empty()) out.push_back(args[0]);
  // omniORB's own log lines would break the console texts; a configuration file that sets a
  // trace level keeps it. First, so that it holds even when a later option is refused.
  if (conf.empty() || !ConfigNames(conf, "traceLevel")) {
    out.push_back("-ORBtraceLevel");
    out.push_back("0");
  }
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "-ORBSvcConf" && has_value) {
      const std::string& file = args[++i];
      if (fs->IsFile(file)) {
        out.push_back("-ORBconfigFile");
        out.push_back(file);
      }
    } else if (a == "-ORBEndpoint" && has_value) {
      has_endpoint = true;
      AddEndpoint(args[++i], tls, conf, &out);
    } else {
      out.push_back(a);
    }
  }
  AddFixedOptions(has_endpoint, conf, &out);
  return out;
}

std::string ClientConfigFile(const std::string& env_file) {
  size_t slash = env_file.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : env_file.substr(0, slash)) +
         "/client.conf";
}

std::vector<std::string> ClientOrbSetup(FileSystem* fs, const std::string& argv0,
                                        const ConnectionSettings& c, const std::string& conf_file) {
  // So that OwnConnection can give a reference connections of its own.
  omniConnectionMgmt::init();
  std::vector<std::string> args = ClientOrbArgs(argv0, c);
  const bool has_conf = fs->IsFile(conf_file);
  if (has_conf) {
    args.push_back("-ORBSvcConf");
    args.push_back(conf_file);
  }
  std::vector<std::string> out = TranslateForOmniOrb(fs, args);
  const std::string ca = has_conf ? ConfigValue(conf_file, "sslCAFile") : std::string();
  if (ca.empty()) return out;

  // The naming service speaks plain IIOP at its own address and nowhere else; everything else,
  // the server above all, is reached over TLS or not at all.
  AddTcpAddressRuleType();
  InstallClientTlsContext(ca);
  out.push_back("-ORBclientTransportRule");
  out.push_back("giop:tcp:" + c.ns + ":" + c.iiop + " tcp");
  out.push_back("-ORBclientTransportRule");
  out.push_back("* ssl");
  return out;
}

CORBA::ORB_ptr InitOrb(const std::vector<std::string>& args) {
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> argv;
  for (const std::string& a : args) {
    storage.emplace_back(new char[a.size() + 1]);
    a.copy(storage.back().get(), a.size());
    storage.back()[a.size()] = '\0';
    argv.push_back(storage.back().get());
  }
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());
  return CORBA::ORB_init(argc, argv.data(), "");
}

ZKmd_ptr OwnConnection(ZKmd_ptr server, CORBA::ULong id) {
  // At most one connection for the id, one call on it at a time, Nagle's batching off (as on
  // every connection of the ORB), and no promise asked of the server about closing it.
  CORBA::Object_var own =
      omniConnectionMgmt::makeRestrictedReference(server, id, 1, 1, false, false, false);
  return ZKmd::_narrow(own.in());
}

CosNaming::NamingContext_ptr NamingContext(CORBA::ORB_ptr orb) {
  CORBA::Object_var initial = orb->resolve_initial_references("NameService");
  CORBA::Object_var overridden = ApplyNoProtectionOverride(orb, initial.in());
  CosNaming::NamingContext_var context = CosNaming::NamingContext::_narrow(overridden.in());
  if (CORBA::is_nil(context.in())) throw CORBA::INV_OBJREF();
  return context._retn();
}

CosNaming::Name ServerName() {
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup("ZKmdImpl");
  name[0].kind = CORBA::string_dup("");
  return name;
}

void BorrowChunkData(const ZKmd::zkStrctFileBuf& from, ZKmd::zkStrctFileBuf* to) {
  to->fileSize = from.fileSize;
  const CORBA::ULong len = from.fileBuf.length();
  to->fileBuf.replace(len, len, const_cast<CORBA::Octet*>(from.fileBuf.get_buffer()), false);
  to->bufNo = from.bufNo;
  to->nextBuf = from.nextBuf;
  to->bufPos = from.bufPos;
  to->bufUnitSize = from.bufUnitSize;
}

void BorrowChunk(const ZKmd::zkStrctFileBuf& from, ZKmd::zkStrctFileBuf* to) {
  to->filePath = from.filePath;
  to->fileNm = from.fileNm;
  to->updDt = from.updDt;
  to->crtDt = from.crtDt;
  BorrowChunkData(from, to);
}

}  // namespace zk
