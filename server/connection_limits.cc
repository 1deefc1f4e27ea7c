// Live connections per peer address, and connections waiting for a login.
#include "server/connection_limits.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

namespace zk {

Socket SocketOfFd(int fd) {
  Socket s;
  s.fd = fd;
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) s.inode = st.st_ino;
  return s;
}

bool SocketStillOpen(const Socket& socket) {
  return socket.inode != 0 && SocketOfFd(socket.fd).inode == socket.inode;
}

void ShutDownSocket(const Socket& socket, bool say_closing) {
  if (socket.fd < 0 || socket.inode == 0) return;
  // A duplicate holds the socket itself: once it is checked, no reuse of the number matters.
  int dup_fd = dup(socket.fd);
  if (dup_fd < 0) return;
  if (SocketOfFd(dup_fd).inode == socket.inode) {
    if (say_closing) {
      // GIOP 1.2 CloseConnection, so that a client calls again on a new connection.
      static const char kCloseConnection[12] = {'G', 'I', 'O', 'P', 1, 2, 1, 5, 0, 0, 0, 0};
      (void)send(dup_fd, kCloseConnection, sizeof(kCloseConnection), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    shutdown(dup_fd, SHUT_RDWR);
  }
  close(dup_fd);
}

void PeerLimit::Prune(std::vector<Socket>* sockets) {
  sockets->erase(std::remove_if(sockets->begin(), sockets->end(),
                                [this](const Socket& s) { return !alive_(s); }),
                 sockets->end());
}

void PeerLimit::PruneAll() {
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    Prune(&it->second);
    it = it->second.empty() ? hosts_.erase(it) : std::next(it);
  }
}

bool PeerLimit::Admit(const std::string& host, const Socket& socket) {
  std::lock_guard<std::mutex> lock(mu_);
  // Now and then the whole table, so that peers that never come back are not kept.
  if (++admitted_ % 1024 == 0) PruneAll();
  std::vector<Socket>& sockets = hosts_[host];
  if (sockets.size() >= max_) Prune(&sockets);
  if (sockets.size() >= max_) return false;
  sockets.push_back(socket);
  return true;
}

size_t PeerLimit::Count(const std::string& host) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = hosts_.find(host);
  if (it == hosts_.end()) return 0;
  Prune(&it->second);
  return it->second.size();
}

size_t PeerLimit::Total() {
  std::lock_guard<std::mutex> lock(mu_);
  PruneAll();
  size_t total = 0;
  for (const auto& host : hosts_) total += host.second.size();
  return total;
}

void LoginWatch::Waiting(const Socket& socket, const std::string& peer, Clock::time_point now) {
  if (socket.inode == 0) return;  // nothing that could be closed
  std::lock_guard<std::mutex> lock(mu_);
  waiting_.emplace(socket, Entry{peer, now});  // one already waiting keeps its start
}

void LoginWatch::LoggedIn(const Socket& socket) {
  std::lock_guard<std::mutex> lock(mu_);
  waiting_.erase(socket);
}

std::vector<std::pair<Socket, std::string>> LoginWatch::Overdue(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<Socket, std::string>> out;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (now - it->second.since > wait_) {
      out.emplace_back(it->first, it->second.peer);
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

size_t LoginWatch::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return waiting_.size();
}

}  // namespace zk
