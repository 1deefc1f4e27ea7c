// Connection-bound authentication: the table of connections and who proved to be whom on them,
// the accept hook and the per-thread note of the calling connection.
#include "server/connection_auth.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "idl/omniorb/internals.h"
#include "platform/console.h"
#include "server/audit_events.h"
#include "server/connection_limits.h"
#include "server/metrics.h"
#include "server/server_state.h"

namespace zk {

uint64_t ConnectionAuth::IdOf(const void* conn) {
  auto it = ids_.find(conn);
  if (it != ids_.end()) return it->second;
  uint64_t id = next_id_++;
  ids_[conn] = id;
  return id;
}

void ConnectionAuth::Accepted(const void* conn) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ids_.find(conn);
  if (it != ids_.end()) users_.erase(it->second);
  ids_[conn] = next_id_++;
}

void ConnectionAuth::Authenticated(const void* conn, const std::string& user) {
  if (!conn) return;
  std::lock_guard<std::mutex> lock(mu_);
  users_[IdOf(conn)] = user;
}

void ConnectionAuth::Failed(const void* conn) {
  if (!conn) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ids_.find(conn);
  if (it != ids_.end()) users_.erase(it->second);
}

bool ConnectionAuth::Allows(const void* conn, const std::string& user) const {
  if (!conn) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto id = ids_.find(conn);
  if (id == ids_.end()) return false;
  auto who = users_.find(id->second);
  return who != users_.end() && who->second == user;
}

bool ConnectionAuth::HasLogin(const void* conn) const {
  if (!conn) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto id = ids_.find(conn);
  return id != ids_.end() && users_.count(id->second) > 0;
}

uint64_t ConnectionAuth::Id(const void* conn) const {
  if (!conn) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  auto id = ids_.find(conn);
  return id == ids_.end() ? 0 : id->second;
}

size_t ConnectionAuth::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ids_.size();
}

namespace {

thread_local CallOrigin current_call;

// The state the ORB's hooks track connections in (ConnectionTracking); null outside its life.
std::atomic<ServerState*> tracked{nullptr};

Socket SocketOfConnection(const void* conn) { return SocketOfFd(ConnectionSocket(conn)); }

// Each accepted connection: refused when its peer holds too many already, else given a fresh
// id with nobody authenticated, and a time to log in.
const char* OnAccept(const void* conn, const char* address) {
  ServerState* state = tracked.load();
  if (!state) return nullptr;
  const std::string peer = address;
  const Socket socket = SocketOfConnection(conn);
  if (!state->peers.Admit(PeerHost(peer), socket)) {
    PrintErr("WARNING:同じ接続元からの接続が多すぎるため、接続を拒否しました。(" + peer + ")");
    AuditConnection(&state->audit, AuditEvent::kConnectionRefused, peer, "too-many-connections");
    return "too many connections from one peer";
  }
  state->connections.Accepted(conn);
  state->login_watch.Waiting(socket, peer, LoginWatch::Clock::now());
  return nullptr;
}

// A reply to a logged-in user may take as long as the network needs, as the request's body may
// (a large unit's batch over a slow line takes longer than the time limit).
bool OnReply(const void* conn) {
  ServerState* state = tracked.load();
  return state && state->connections.HasLogin(conn);
}

}  // namespace

// Closes the connections on which nobody logged in in time, a few times a second.
class ConnectionTracking::Watchdog {
 public:
  Watchdog(LoginWatch* watch, AuditLog* audit)
      : watch_(watch), audit_(audit), thread_([this] { Loop(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
      lock.unlock();
      for (const auto& overdue : watch_->Overdue(LoginWatch::Clock::now())) {
        if (!SocketStillOpen(overdue.first)) continue;
        PrintErr("WARNING:認証されないまま" + std::to_string(kLoginWait.count() / 1000) +
                 "秒が過ぎたため、接続を閉じました。(" + overdue.second + ")");
        ShutDownSocket(overdue.first, overdue.second.rfind("giop:tcp:", 0) == 0);
        AuditConnection(audit_, AuditEvent::kConnectionClosed, overdue.second, "no-login");
      }
      lock.lock();
    }
  }

  LoginWatch* watch_;
  AuditLog* audit_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is set up
};

const CallOrigin& CurrentCall() { return current_call; }

uint64_t CurrentConnectionId(const ConnectionAuth& connections) {
  return connections.Id(current_call.conn);
}

Socket CurrentConnectionSocket() { return SocketOfFd(current_call.socket_fd); }

CallScope::CallScope(const void* conn, const char* peer, int socket_fd) : saved_(current_call) {
  current_call.conn = conn;
  current_call.peer = peer ? peer : "";
  current_call.socket_fd = socket_fd;
}

CallScope::~CallScope() { current_call = saved_; }

ConnectionTracking::ConnectionTracking(ServerState* state)
    : watchdog_(std::make_unique<Watchdog>(&state->login_watch, &state->audit)) {
  tracked.store(state);
  SetAcceptHook(OnAccept);
  SetReplyHook(OnReply);
}

ConnectionTracking::~ConnectionTracking() {
  watchdog_.reset();
  tracked.store(nullptr);
}

void LoginSucceeded(ServerState* state, const std::string& user) {
  const CallOrigin& origin = CurrentCall();
  state->connections.Authenticated(origin.conn, user);
  state->login_watch.LoggedIn(SocketOfFd(origin.socket_fd));
}

void LoginFailed(ServerState* state) {
  const CallOrigin& origin = CurrentCall();
  state->connections.Failed(origin.conn);
  state->login_watch.Waiting(SocketOfFd(origin.socket_fd), origin.peer,
                             LoginWatch::Clock::now());
}

std::string PeerHost(const std::string& address) {
  std::string rest = address;
  for (const char* prefix : {"giop:tcp:", "giop:ssl:"}) {
    if (rest.compare(0, std::strlen(prefix), prefix) == 0) rest = rest.substr(std::strlen(prefix));
  }
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return address;
  std::string host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  // An IPv4 peer reaching an IPv6 socket is the same peer as over IPv4.
  const std::string mapped = "::ffff:";
  if (host.compare(0, mapped.size(), mapped) == 0 && host.find('.') != std::string::npos) {
    host = host.substr(mapped.size());
  }
  return host;
}

std::string LogText(const std::string& text) {
  const size_t kMax = 200;
  size_t keep = std::min(text.size(), kMax);
  // Never cut a UTF-8 sequence in two.
  while (keep < text.size() && keep > 0 &&
         (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  std::string out = text.substr(0, keep);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (text.size() > kMax) out += "...";
  return out;
}

bool CallerIs(const ConnectionAuth& connections, const char* user, const char* operation) {
  const CallOrigin& origin = CurrentCall();
  const std::string id = user ? user : "";
  if (connections.Allows(origin.conn, id)) return true;
  if (!origin.conn) return false;  // the server's own call (its watchdog's probe): no log
  NoteRefused();
  PrintErr(std::string("WARNING:認証されていない接続からの要求を拒否しました。(") + operation +
           " " + LogText(id) + " " + (origin.peer.empty() ? "-" : origin.peer) + ")");
  return false;
}

}  // namespace zk
