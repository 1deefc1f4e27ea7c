// The ORB layer shared by the server and the client tools: the argument vectors built from an
// environment file's connection settings, their translation for omniORB, the naming context,
// and the text form of CORBA exceptions.
#ifndef ZK_IDL_ORB_H_
#define ZK_IDL_ORB_H_

#include <omniORB4/CORBA.h>

#include <omniORB4/Naming.hh>
#include <string>
#include <vector>

#include "ZKmd.hh"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "settings/envfile.h"

namespace zk {

// The server's ORB configuration file, in its current directory (the one ServerOrbArgs names).
constexpr char kServerConfigFile[] = "server.conf";

// The server's seven entries: argv0, -ORBInitRef NameService=corbaloc:iiop:NS:IIOP/NameService,
// -ORBSvcConf server.conf, -ORBEndpoint iiop:///ssl_port=SSL.
std::vector<std::string> ServerOrbArgs(const std::string& argv0, const ConnectionSettings& c);
// The client's three entries: argv0 and the -ORBInitRef pair.
std::vector<std::string> ClientOrbArgs(const std::string& argv0, const ConnectionSettings& c);

// The only place that knows the option names of the ORB the argument vectors were written for:
// translates them for omniORB (the configuration file, when `fs` has it; the endpoint) and adds
// omniORB's own tuning
// (quiet log unless configured, message limit, idle connections kept open) and the native char
// code set: UTF-8, so that every peer knows what our strings hold, or, when the configuration
// file chooses code page 932, ISO-8859-1, which carries those bytes unchanged.
std::vector<std::string> TranslateForOmniOrb(FileSystem* fs, const std::vector<std::string>& args);

// True when the omniORB configuration file `conf_file` sets `key` to a non-empty value.
bool ConfigNames(const std::string& conf_file, const std::string& key);
// True when the omniORB configuration file `conf_file` names a TLS key ("sslKeyFile = ..."):
// the server then listens on its TLS port only.
bool ConfiguresTls(const std::string& conf_file);

// The setting of server.conf and client.conf (ours; omniORB ignores it) that chooses the text on
// the wire: "zkWireText = cp932" speaks the original Windows programs' code page 932 without code
// set negotiation; absent or "utf-8", UTF-8 (the default).
constexpr char kWireTextKey[] = "zkWireText";
// The wire code `conf_file` chooses. False, with *code UTF-8, for a value it does not know.
bool ReadWireCode(const std::string& conf_file, WireCode* code);

// The client's optional omniORB configuration file: client.conf in the folder of its
// environment file.
std::string ClientConfigFile(const std::string& env_file);
// The value `conf_file` gives `key` ("" when it names none).
std::string ConfigValue(const std::string& conf_file, const std::string& key);
// The client's translated argument vector, with `conf_file` (when it exists) as its omniORB
// configuration. When that file names a CA (sslCAFile), a TLS context trusting that CA and
// holding no certificate of its own is installed, and every request to the server goes over TLS
// (no clear-text fallback): only the naming service's own address is reached in clear text.
// Call once, before InitOrb.
std::vector<std::string> ClientOrbSetup(FileSystem* fs, const std::string& argv0,
                                        const ConnectionSettings& c, const std::string& conf_file);

// ORB_init over a translated argument vector (and the message-size limit of the transfers).
CORBA::ORB_ptr InitOrb(const std::vector<std::string>& args);

// `server` over a connection of its own: no call through another reference of this process
// shares it, and calls through references of the same `id` (from 1) share only that one
// connection, one call at a time. A server that authenticates per connection must be logged in
// on it. Only in a process whose ORB was set up by ClientOrbSetup.
ZKmd_ptr OwnConnection(ZKmd_ptr server, CORBA::ULong id);

// The naming context through the corbaloc reference, with the (empty) protection step.
CosNaming::NamingContext_ptr NamingContext(CORBA::ORB_ptr orb);

// The one-component name "ZKmdImpl".
CosNaming::Name ServerName();

// omniORB's text form of an exception, as printed after "CORBA Exception: ".
std::string ExceptionText(const CORBA::Exception& e);

// A size as the 32-bit fields of zkFileList, zkFileDownload and zkFileUpload carry it: the size
// itself when it fits, else -1. A peer that knows only those fields then sees a size it cannot use
// and fails the file, instead of one that looks right and would have it copy a part of the file.
inline CORBA::Long NarrowSize(int64_t size) {
  return size >= 0 && size <= 0x7fffffff ? static_cast<CORBA::Long>(size) : -1;
}

// Gives the upload chunk `to` the numbers of `from` and its data without copying: `to` borrows
// the buffer, which must outlive it. The texts (path, name, times) are the caller's to set.
void BorrowChunkData(const ZKmd::zkStrctFileBuf& from, ZKmd::zkStrctFileBuf* to);
// The same, with the texts of `from` copied as they are.
void BorrowChunk(const ZKmd::zkStrctFileBuf& from, ZKmd::zkStrctFileBuf* to);

// The largest GIOP message both sides accept; the tools refuse a unit that would not fit.
constexpr long kMaxMessageBytes = 256L * 1024 * 1024;

// How long the server waits for a request to arrive once its first bytes have (a peer that stops
// sending in the middle is disconnected then). The servant lifts it for logged-in users, whose
// batches take as long as the network needs.
constexpr long kServerCallTimeoutMs = 5000;

}  // namespace zk

#endif  // ZK_IDL_ORB_H_
