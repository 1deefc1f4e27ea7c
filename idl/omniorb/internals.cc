// The uses of omniORB's internal headers (see the header, and README.md beside it).
#include "idl/omniorb/internals.h"
#include "idl/omniorb/streams.h"

#include <netdb.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/callHandle.h>
#include <omniORB4/omniInterceptors.h>
#include <sys/socket.h>
// The ORB's internal headers build on each other in this order.
// clang-format off
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/GIOP_S.h>
#include <omniORB4/internal/SocketCollection.h>
#include <omniORB4/internal/orbParameters.h>
#include <omniORB4/internal/transportRules.h>
// clang-format on

#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace zk {
namespace {

// ---- server side ----

AcceptHook g_accept_hook = nullptr;

CORBA::Boolean OnAccept(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
  omni::giopConnection* conn = info.strand.connection;
  const char* address = conn ? conn->peeraddress() : nullptr;
  const char* why = g_accept_hook ? g_accept_hook(conn, address ? address : "") : nullptr;
  if (why) {
    info.reject = 1;
    info.why = why;
  }
  return true;
}

ReplyHook g_reply_hook = nullptr;

CORBA::Boolean OnReply(omni::omniInterceptors::serverSendReply_T::info_T& info) {
  omni::GIOP_S& reply = info.giop_s;
  if (g_reply_hook && g_reply_hook(reply.strand().connection)) reply.clearDeadline();
  return true;
}

// The descriptor of a connection's socket. The member is protected; a pointer to it, taken in a
// class derived from its own, is not.
struct SocketAccess : omni::SocketHolder {
  static int Fd(omni::giopConnection* conn) {
    omni::SocketHolder* holder = dynamic_cast<omni::SocketHolder*>(conn);
    return holder ? holder->*(&SocketAccess::pd_socket) : -1;
  }
};

// omniORB gives a request that negotiated nothing ISO-8859-1 as its transmission code set (and
// keeps it for the connection). No peer that negotiates with this server's reference gets
// ISO-8859-1 (it lists UTF-8 alone), so such a request is read in the native code set instead.
CORBA::Boolean ReadAsNative(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  omni::GIOP_S& request = info.giop_s;
  const omni::CONV_FRAME::CodeSetId native = omni::orbParameters::nativeCharCodeSet->id();
  omni::omniCodeSet::TCS_C* chosen = request.TCS_C();
  if (native == omni::omniCodeSet::ID_8859_1 ||
      (chosen && chosen->id() != omni::omniCodeSet::ID_8859_1)) {
    return true;
  }
  GIOP::Version version = request.version();
  if (version.major == 1 && version.minor == 0) version.minor = 1;  // strings travel alike
  omni::omniCodeSet::TCS_C* tcs = omni::omniCodeSet::getTCS_C(native, version);
  if (tcs) request.TCS_C(tcs);
  return true;
}

// ---- client side ----

// Host and port of a TCP address "giop:tcp:HOST:PORT" (an IPv6 host may be bracketed).
bool SplitTcpAddress(const std::string& address, std::string* host, std::string* port) {
  const std::string prefix = "giop:tcp:";
  if (address.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = address.substr(prefix.size());
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = rest.substr(0, colon);
  *port = rest.substr(colon + 1);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  return true;
}

// A client transport rule for one TCP address: a host (as written, or any address it resolves
// to; omniORB hands the rules resolved addresses) and one port. omniORB's own rules match hosts
// only, and the naming service and the server usually share one.
class TcpAddressRule : public omni::transportRules::Rule {
 public:
  TcpAddressRule(const char* mask, std::set<std::string> hosts, std::string port)
      : Rule(mask), hosts_(std::move(hosts)), port_(std::move(port)) {}
  CORBA::Boolean match(const char* endpoint) override {
    std::string host, port;
    return SplitTcpAddress(endpoint, &host, &port) && port == port_ && hosts_.count(host) > 0;
  }

 private:
  std::set<std::string> hosts_;
  std::string port_;
};

// Reads rules whose address mask is a "giop:tcp:HOST:PORT" address.
class TcpAddressRuleType : public omni::transportRules::RuleType {
 public:
  CORBA::Boolean createRules(const char* address_mask, const CORBA::StringSeq& actions,
                             omni::transportRules& rules) override {
    std::string host, port;
    if (!SplitTcpAddress(address_mask, &host, &port)) return false;
    std::set<std::string> hosts = {host};
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
      for (addrinfo* a = found; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof(text), nullptr, 0,
                        NI_NUMERICHOST) == 0) {
          hosts.insert(text);
        }
      }
      freeaddrinfo(found);
    }
    rules.addRule(new TcpAddressRule(address_mask, std::move(hosts), port), actions);
    return true;
  }
};

}  // namespace

// giopStream::downcast and version(): the GIOP version of the message a stream carries.
bool SizedBeforeSending(cdrStream& s) {
  omni::giopStream* g = omni::giopStream::downcast(&s);
  if (!g) return false;
  const GIOP::Version v = g->version();
  return v.major == 1 && v.minor == 0;
}

bool IsCountingStream(cdrStream& s) { return cdrCountingStream::downcast(&s) != nullptr; }

// GIOP_S::SkipRequestBody: reads the rest of a request into the ORB's buffers and drops it.
void SkipRequestBody(cdrStream& s) {
  omni::GIOP_S* giop = omni::GIOP_S::downcast(&s);
  if (giop) giop->SkipRequestBody();
}

// omniCallHandle::iop_s() and GIOP_S::clearDeadline: the request's own time limit.
void ClearRequestDeadline(omniCallHandle& handle) {
  if (!handle.iop_s()) return;
  omni::GIOP_S* giop = omni::GIOP_S::downcast(&handle.iop_s()->getStream());
  if (giop) giop->clearDeadline();
}

void SetAcceptHook(AcceptHook hook) {
  static std::once_flag once;
  g_accept_hook = hook;
  std::call_once(once, [] { omniORB::getInterceptors()->serverAcceptConnection.add(OnAccept); });
}

void SetReplyHook(ReplyHook hook) {
  static std::once_flag once;
  g_reply_hook = hook;
  std::call_once(once, [] { omniORB::getInterceptors()->serverSendReply.add(OnReply); });
}

int ConnectionSocket(const void* connection) {
  if (!connection) return -1;
  return SocketAccess::Fd(static_cast<omni::giopConnection*>(const_cast<void*>(connection)));
}

void ReadUnnegotiatedRequestsAsNative() {
  static std::once_flag once;
  std::call_once(once, [] { omniORB::getInterceptors()->serverReceiveRequest.add(ReadAsNative); });
}

void AddTcpAddressRuleType() {
  static std::once_flag once;
  std::call_once(once, [] { omni::transportRules::addRuleType(new TcpAddressRuleType()); });
}

}  // namespace zk
