// Authentication bound to the connection. The server remembers, per GIOP connection, the user id
// that zkExistsUser accepted on it; every other operation is served only when its user id is the
// one authenticated on the calling connection.
//
// ConnectionAuth is the bookkeeping alone (connections are opaque keys), so it can be tested
// without an ORB. The ORB side: ConnectionTracking hooks every accepted connection, and
// CallScope notes the calling connection of the request being dispatched in a thread-local that
// the operations read through CurrentCall().
#ifndef ZK_SERVER_CONNECTION_AUTH_H_
#define ZK_SERVER_CONNECTION_AUTH_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/connection_limits.h"

namespace zk {

struct ServerState;

class ConnectionAuth {
 public:
  // A connection was accepted. The ORB reuses the memory of closed connections, so the same key
  // may come back: it gets a fresh id and whatever the old connection proved is forgotten.
  void Accepted(const void* conn);
  // zkExistsUser accepted `user` on `conn` (which it replaces), or refused it (which clears).
  void Authenticated(const void* conn, const std::string& user);
  void Failed(const void* conn);
  // True when `user` is the one authenticated on `conn`. A null or never seen connection has
  // nobody authenticated.
  bool Allows(const void* conn, const std::string& user) const;
  // True when somebody is authenticated on `conn`.
  bool HasLogin(const void* conn) const;
  // The id of `conn` (0 for a null or never seen connection). An id is never given twice.
  uint64_t Id(const void* conn) const;
  // Connections remembered (for tests: reused keys do not pile up).
  size_t size() const;

 private:
  // The id of `conn`, assigned now when the connection was accepted before tracking began.
  uint64_t IdOf(const void* conn);

  mutable std::mutex mu_;
  uint64_t next_id_ = 1;
  std::map<const void*, uint64_t> ids_;    // live connection -> its id
  std::map<uint64_t, std::string> users_;  // connection id -> authenticated user
};

// The connection of the request this thread is serving (null outside a request) and the peer's
// address in the ORB's form ("giop:tcp:127.0.0.1:40000").
struct CallOrigin {
  const void* conn = nullptr;
  std::string peer;
  int socket_fd = -1;  // the descriptor of the connection's socket; -1 for none
};
const CallOrigin& CurrentCall();

// The id (ConnectionAuth::Id in `connections`) and the socket of the connection of the request
// this thread is serving.
uint64_t CurrentConnectionId(const ConnectionAuth& connections);
Socket CurrentConnectionSocket();

// Sets this thread's CallOrigin for its lifetime, restoring the previous one afterwards.
class CallScope {
 public:
  CallScope(const void* conn, const char* peer, int socket_fd);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  CallOrigin saved_;
};

// For as long as it lives, the ORB's connections are tracked in `state`: each accepted connection
// is refused when its peer holds too many already, and closed when nobody has logged in on it
// within kLoginWait (server/connection_limits.h); a reply to a logged-in user has no time limit.
// One per process, made after ORB_init and before the first connection is served, and ended
// after the ORB (the hooks keep one pointer to `state`).
class ConnectionTracking {
 public:
  explicit ConnectionTracking(ServerState* state);
  ~ConnectionTracking();
  ConnectionTracking(const ConnectionTracking&) = delete;
  ConnectionTracking& operator=(const ConnectionTracking&) = delete;

 private:
  class Watchdog;
  std::unique_ptr<Watchdog> watchdog_;
};

// zkExistsUser's outcome on the calling connection: `user` is logged in on it now (replacing
// whoever was), or nobody is (the connection then has kLoginWait to log in again).
void LoginSucceeded(ServerState* state, const std::string& user);
void LoginFailed(ServerState* state);

// The host part of a peer address in the ORB's form: "giop:tcp:127.0.0.1:40000",
// "giop:tcp:[::ffff:127.0.0.1]:40000" and "giop:ssl:[::1]:40000" give "127.0.0.1", "127.0.0.1"
// and "::1"; a text of another form is kept whole.
std::string PeerHost(const std::string& address);

// `text` fit for one log line: control characters become "?", and at most 200 bytes are kept
// (then "...").
std::string LogText(const std::string& text);

// The guard at the top of each operation: true when `user` is authenticated on the calling
// connection; otherwise logs one line naming the operation, the user id and the peer (none for a
// call the server makes to itself, which comes on no connection).
bool CallerIs(const ConnectionAuth& connections, const char* user, const char* operation);

}  // namespace zk

#endif  // ZK_SERVER_CONNECTION_AUTH_H_
