// Everything zk does with omniORB beyond its public interface, in one place: the uses of the
// ORB's internal headers (omniORB4/internal/*), which omniORB may change between releases.
// Written against omniORB 4.2.5 (Debian 12, libomniorb4-dev 4.2.5+ds1); before building with
// another omniORB, check each function here against that version's headers.
#ifndef ZK_IDL_OMNIORB_INTERNALS_H_
#define ZK_IDL_OMNIORB_INTERNALS_H_

class cdrStream;
class omniCallHandle;

namespace zk {

// ---- both sides ----

// True when `s` writes a message that the ORB sizes before sending it (GIOP 1.0, which has no
// fragments). omniORB counts such a message while it is being written, and its count comes out a
// few bytes off when an octet array is written in several parts (the peer then waits for bytes
// that never come): the data of one chunk must then be written with one call.
bool SizedBeforeSending(cdrStream& s);

// ---- server side ----

// Lifts the time limit (serverCallTimeOutPeriod) on the rest of the request of `handle`.
void ClearRequestDeadline(omniCallHandle& handle);

// Skips the rest of the request body that is being read from `s`, reading it into the ORB's own
// small buffers and dropping it, so that nothing of it is kept.
void SkipRequestBody(cdrStream& s);

// Called for every connection the server accepts, before anything is read from it. `connection`
// is the ORB's connection (the one omniCallHandle::connection() gives for calls on it), `peer` its
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
