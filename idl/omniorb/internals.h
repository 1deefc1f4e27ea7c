// What zk does with omniORB's connections and transports beyond its public interface: the
// interceptors that see connections and replies, the socket of a connection, the code set of a
// request that negotiated none, and a transport rule of zk's own. Each reaches into the ORB's
// internal headers (omniORB4/internal/*); idl/omniorb/README.md lists what each relies on.
#ifndef ZK_IDL_OMNIORB_INTERNALS_H_
#define ZK_IDL_OMNIORB_INTERNALS_H_

class omniCallHandle;

namespace zk {

// ---- server side ----

// Lifts the time limit (serverCallTimeOutPeriod) on the rest of the request of `handle`.
void ClearRequestDeadline(omniCallHandle& handle);

// Called for every connection the server accepts, before anything is read from it. `connection`
// is the ORB's connection (the one IncomingRequest::Connection() gives for requests on it), `peer` its
// address in the ORB's form ("giop:tcp:127.0.0.1:40000"). Returns null to accept the connection,
// else the reason to refuse it (for the ORB's own log).
using AcceptHook = const char* (*)(const void* connection, const char* peer);
// Installs `hook` (one per process; call once, after ORB_init).
void SetAcceptHook(AcceptHook hook);

// Called before each reply the server sends, with the connection it goes to (as AcceptHook's).
// True lifts the time limit (serverCallTimeOutPeriod) that the ORB puts on sending that reply;
// false keeps it, so that a peer that stops reading is disconnected then.
using ReplyHook = bool (*)(const void* connection);
// Installs `hook` (one per process; call once, after ORB_init).
void SetReplyHook(ReplyHook hook);

// The descriptor of the socket of a server-side connection; -1 for a transport without one.
int ConnectionSocket(const void* connection);

// Makes the server read requests that negotiated no code set (GIOP 1.0, or a peer that sends no
// code set context) in the native char code set instead of ISO-8859-1, unless ISO-8859-1 is the
// native one. Call once, after ORB_init.
void ReadUnnegotiatedRequestsAsNative();

// ---- client side ----

// Teaches omniORB client transport rules whose address mask is one TCP address
// "giop:tcp:HOST:PORT": they match that port on that host as written or on any address it
// resolves to (omniORB's own rules match hosts only). Idempotent; call before ORB_init.
void AddTcpAddressRuleType();

}  // namespace zk

#endif  // ZK_IDL_OMNIORB_INTERNALS_H_
