// What one peer may hold of the server without logging in. A peer address may hold at most
// kMaxConnectionsPerPeer connections at once (PeerLimit): one beyond that is refused as it is
// accepted, before anything is read from it. A connection on which nobody is logged in is closed
// kLoginWait after it was accepted or its login ended (LoginWatch), whatever it is doing: idle,
// or in the middle of a request that stopped arriving. Together they bound what a peer that never
// logs in can make the server hold (threads and buffers), and for how long.
//
// The ORB does not say when a connection closes; a connection counts for as long as its socket is
// still open (the alive test), which is asked whenever the peer's count matters.
#ifndef ZK_SERVER_CONNECTION_LIMITS_H_
#define ZK_SERVER_CONNECTION_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zk {

// Enough for the users of a network behind one address, far below what ties the server up.
constexpr size_t kMaxConnectionsPerPeer = 64;
// A client logs in right after connecting; its password was asked before.
constexpr std::chrono::milliseconds kLoginWait(5000);

// A connection's socket: its descriptor and the inode it had when accepted (a descriptor number
// is reused once closed; the inode of a socket is not while it is open).
struct Socket {
  int fd = -1;
  uint64_t inode = 0;
  bool operator<(const Socket& o) const { return std::tie(fd, inode) < std::tie(o.fd, o.inode); }
};

// The socket of descriptor `fd` as it is now (inode 0 when it is not a socket).
Socket SocketOfFd(int fd);
// True when `socket.fd` is still open on the same socket.
bool SocketStillOpen(const Socket& socket);
// Ends the connection of `socket` (both directions) if it is still that socket, so that the ORB
// closes it; with `say_closing`, a GIOP CloseConnection message goes first (on a clear-text
// connection), which tells a client to call again on a new connection. Safe against the
// descriptor being closed and reused meanwhile.
void ShutDownSocket(const Socket& socket, bool say_closing);

class PeerLimit {
 public:
  using AliveFn = std::function<bool(const Socket&)>;

  PeerLimit(size_t max_per_peer, AliveFn alive) : max_(max_per_peer), alive_(std::move(alive)) {}

  // Counts a new connection from `host`, unless `host` already holds the maximum of live ones:
  // false then, and nothing is counted.
  bool Admit(const std::string& host, const Socket& socket);
  // The live connections counted for `host`.
  size_t Count(const std::string& host);
  // The live connections of every peer (each asked whether it is alive).
  size_t Total();

 private:
  // Drops the closed connections of `sockets`; of every peer, and the peers left with none.
  void Prune(std::vector<Socket>* sockets);
  void PruneAll();

  std::mutex mu_;
  size_t max_;
  AliveFn alive_;
  std::map<std::string, std::vector<Socket>> hosts_;
  size_t admitted_ = 0;
};

class LoginWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LoginWatch(Clock::duration wait) : wait_(wait) {}

  // Nobody is logged in on the connection of `socket` from `now` on (`peer` names it in logs); a
  // connection that is waiting already keeps its start, so failed logins do not extend it.
  void Waiting(const Socket& socket, const std::string& peer, Clock::time_point now);
  // Somebody is: the connection is no longer watched.
  void LoggedIn(const Socket& socket);
  // The connections that have waited longer than the wait at `now`, with their peers; they are
  // no longer watched.
  std::vector<std::pair<Socket, std::string>> Overdue(Clock::time_point now);
  size_t size();

 private:
  struct Entry {
    std::string peer;
    Clock::time_point since;
  };
  std::mutex mu_;
  Clock::duration wait_;
  std::map<Socket, Entry> waiting_;
};

}  // namespace zk

#endif  // ZK_SERVER_CONNECTION_LIMITS_H_
