// Connection-bound authentication: the table of connections and who proved to be whom on them,
// the accept hook and the per-thread note of the calling connection.
#include "server/connection_auth.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/omniInterceptors.h>

#include "platform/console.h"

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

size_t ConnectionAuth::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ids_.size();
}

ConnectionAuth& ServerConnections() {
  static ConnectionAuth* table = new ConnectionAuth();  // outlives the ORB's last thread
  return *table;
}

namespace {

thread_local CallOrigin current_call;

CORBA::Boolean OnAccept(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
  ServerConnections().Accepted(info.strand.connection);
  return true;
}

}  // namespace

const CallOrigin& CurrentCall() { return current_call; }

CallScope::CallScope(const void* conn, const char* peer) : saved_(current_call) {
  current_call.conn = conn;
  current_call.peer = peer ? peer : "";
}

CallScope::~CallScope() { current_call = saved_; }

void InstallConnectionTracking() {
  static std::once_flag once;
  std::call_once(once, [] { omniORB::getInterceptors()->serverAcceptConnection.add(OnAccept); });
}

bool CallerIs(const char* user, const char* operation) {
  const CallOrigin& origin = CurrentCall();
  const std::string id = user ? user : "";
  if (ServerConnections().Allows(origin.conn, id)) return true;
  PrintErr(std::string("WARNING:認証されていない接続からの要求を拒否しました。(") + operation +
           " " + id + " " + (origin.peer.empty() ? "-" : origin.peer) + ")");
  return false;
}

}  // namespace zk
