// The relay's one thread: poll on the listening socket and every joined pair.
#include "tests/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "tests/process.h"
#include "tests/raw_giop.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {

Relay::Relay(int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 8) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || pipe(wake_) != 0) {
    throw std::runtime_error("relay: no listening socket");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
  const char stop = 0;
  if (write(wake_[1], &stop, 1) != 1) {
    // The thread cannot be woken: it ends with the process.
  }
  thread_.join();
  for (const Pair& p : pairs_) {
    close(p.client);
    close(p.target);
  }
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string Relay::FromTarget() {
  std::lock_guard<std::mutex> lock(mu_);
  return from_target_;
}

std::string Relay::FromClients() {
  std::lock_guard<std::mutex> lock(mu_);
  return from_clients_;
}

void Relay::CorruptFromTarget(const std::string& marker, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  from_target_spoil_ = Spoil{marker, times};
}

void Relay::CorruptFromClients(const std::string& marker, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  from_clients_spoil_ = Spoil{marker, times};
}

void Relay::HoldClientsAfter(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  from_clients_hold_ = Hold{true, bytes};
}

void Relay::HoldTargetAfter(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  from_target_hold_ = Hold{true, bytes};
}

void Relay::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    from_clients_hold_ = Hold();
    from_target_hold_ = Hold();
  }
  const char wake = 'r';
  (void)!write(wake_[1], &wake, 1);
}

bool Relay::Pass(int from, int to, std::string* kept, Spoil* spoil, Hold* hold) {
  char buf[64 * 1024];
  size_t want = sizeof buf;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (hold->on) want = std::min(want, hold->allowed);
  }
  if (want == 0) return true;  // held back
  const ssize_t n = read(from, buf, want);
  if (n <= 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (hold->on) hold->allowed -= static_cast<size_t>(n);
    kept->append(buf, static_cast<size_t>(n));
    if (!spoil->marker.empty()) {
      std::string text(buf, static_cast<size_t>(n));
      for (size_t at = text.find(spoil->marker); at != std::string::npos && spoil->left != 0;
           at = text.find(spoil->marker, at + 1)) {
        buf[at] ^= 1;
        if (spoil->left > 0) --spoil->left;
      }
    }
  }
  for (ssize_t done = 0; done < n;) {
    const ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
    if (w <= 0) return false;
    done += w;
  }
  return true;
}

void Relay::Run() {
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    bool clients_held, target_held;
    {
      std::lock_guard<std::mutex> lock(mu_);
      clients_held = from_clients_hold_.held();
      target_held = from_target_hold_.held();
    }
    for (const Pair& p : pairs_) {
      // Held back, a side's bytes wait; its end is still seen.
      fds.push_back({p.client, static_cast<short>(clients_held ? POLLRDHUP : POLLIN), 0});
      fds.push_back({p.target, static_cast<short>(target_held ? POLLRDHUP : POLLIN), 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) {
      char wake[16];
      if (read(wake_[0], wake, sizeof wake) == 1 && wake[0] == 'r') continue;  // Release
      return;
    }
    // The pairs polled; one accepted now joins them after.
    std::vector<Pair> open_pairs;
    for (size_t i = 0; i < (fds.size() - 2) / 2; ++i) {
      const pollfd& c = fds[2 + 2 * i];
      const pollfd& t = fds[3 + 2 * i];
      bool open = true;
      if (clients_held && c.revents != 0) {
        open = false;  // its end
      } else if (c.revents != 0) {
        open = Pass(c.fd, t.fd, &from_clients_, &from_clients_spoil_, &from_clients_hold_);
      }
      if (open && target_held && t.revents != 0) {
        open = false;
      } else if (open && t.revents != 0) {
        open = Pass(t.fd, c.fd, &from_target_, &from_target_spoil_, &from_target_hold_);
      }
      if (open) {
        open_pairs.push_back(pairs_[i]);
      } else {  // one side closed: the other is closed too, so its peer sees the end
        close(pairs_[i].client);
        close(pairs_[i].target);
      }
    }
    if (fds[1].revents != 0) {
      const int client = accept(listen_fd_, nullptr, nullptr);
      const int target = client >= 0 ? ConnectLoopback(target_port_) : -1;
      if (target >= 0) {
        open_pairs.push_back({client, target});
      } else if (client >= 0) {
        close(client);
      }
    }
    pairs_.swap(open_pairs);
  }
}

Relay* RelayBeforeServer(const ServerFixture& fixture) {
  ZKmd_var server = ResolveServer(fixture.ns_port());
  const ObjectAddress address = ObjectAddressOf(server.in());
  Relay* relay = new Relay(address.port);
  CORBA::Object_var via =
      TestOrb()->string_to_object(Corbaloc(2, relay->port(), address.key).c_str());
  CORBA::Object_var ns = TestOrb()->string_to_object(
      ("corbaloc:iiop:127.0.0.1:" + std::to_string(fixture.ns_port()) + "/NameService").c_str());
  CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(ns.in());
  naming->rebind(ServerName(), via.in());
  return relay;
}

}  // namespace test
}  // namespace zk
