// zkauthbench: many clients authenticating at once against a real naming service and zksvr.
//
// Each client is a process of its own (this program started again with "--client"), with its
// own ORB and connection, like a client tool. Two rounds of 32 clients run against one server:
//   round 1 warms the server up (32 x 200 authentications), then the server goes idle;
//   round 2 measures, every client doing in turn
//     ping - `_non_existent` round trips: ORB and network alone (the peer), and
//     auth - zkExistsUser with the right password: ORB plus the registry lookup.
// Prints requests per second, failures and the ratio to the peer, and the server's resident
// memory (VmRSS) when idle before and after round 2: a leak shows as growth between the two.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "idl/orb.h"
#include "tests/server_fixture.h"

namespace {

constexpr int kClients = 32;
constexpr int kCalls = 200;
const char kUser[] = "bench";
const char kPassword[] = "bench-pw";

// What a client does on each command byte from the parent; it answers with its failure count.
enum Phase { kConnect = 'c', kPing = 'p', kAuth = 'a' };

// ---- client process ----

int ClientMain(int ns_port) {
  CORBA::ORB_var orb;
  ZKmd_var server;
  char command;
  while (read(0, &command, 1) == 1) {
    int failures = 0;
    try {
      if (command == kConnect) {
        zk::ConnectionSettings c{"127.0.0.1", std::to_string(ns_port), "0", ""};
        orb = zk::InitOrb(zk::TranslateForOmniOrb(zk::FileSystem::Default(),
                                                  zk::ClientOrbArgs("zkauthbench", c)));
        CosNaming::NamingContext_var naming = zk::NamingContext(orb.in());
        CORBA::Object_var obj = naming->resolve(zk::ServerName());
        server = ZKmd::_narrow(obj.in());
        if (server->zkExistsUser(kUser, kPassword) != -1) ++failures;
      } else {
        for (int i = 0; i < kCalls; ++i) {
          try {
            if (command == kPing ? server->_non_existent()
                                 : server->zkExistsUser(kUser, kPassword) != -1) {
              ++failures;
            }
          } catch (const CORBA::Exception&) {
            ++failures;
          }
        }
      }
    } catch (const CORBA::Exception& e) {
      std::fprintf(stderr, "client: %s\n", zk::ExceptionText(e).c_str());
      failures = kCalls;
    }
    if (write(1, &failures, sizeof(failures)) != sizeof(failures)) break;
  }
  server = ZKmd::_nil();
  if (!CORBA::is_nil(orb.in())) orb->destroy();
  return 0;
}

// ---- parent ----

struct Client {
  pid_t pid = -1;
  int to = -1;    // its standard input
  int from = -1;  // its standard output
};

std::vector<Client> StartClients(const std::string& self, int ns_port) {
  std::vector<Client> clients(kClients);
  for (Client& c : clients) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) break;
    c.pid = fork();
    if (c.pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      std::string port = std::to_string(ns_port);
      execl(self.c_str(), self.c_str(), "--client", port.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    c.to = in[1];
    c.from = out[0];
  }
  return clients;
}

// Sends `phase` to every client at once and waits for all answers: failures and wall seconds.
std::pair<int, double> RunPhase(std::vector<Client>& clients, Phase phase) {
  const char command = static_cast<char>(phase);
  auto start = std::chrono::steady_clock::now();
  for (Client& c : clients) {
    if (write(c.to, &command, 1) != 1) return {kClients * kCalls, 0};
  }
  int failures = 0;
  for (Client& c : clients) {
    int f = 0;
    if (read(c.from, &f, sizeof(f)) != sizeof(f)) f = kCalls;  // the client died
    failures += f;
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {failures, took.count()};
}

void EndClients(std::vector<Client>& clients) {
  for (Client& c : clients) {
    close(c.to);
    close(c.from);
    int raw;
    waitpid(c.pid, &raw, 0);
  }
}

// A number field of /proc/PID/status ("VmRSS" in kB, "Threads"); 0 when unreadable.
long StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return 0;
}

// Waits until the server's connection threads have ended (at most 30 s); its VmRSS then.
long IdleRssKb(pid_t server, long idle_threads) {
  for (int i = 0; i < 300 && StatusField(server, "Threads") > idle_threads; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return StatusField(server, "VmRSS");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 3 && std::strcmp(argv[1], "--client") == 0) return ClientMain(std::atoi(argv[2]));
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";

  // This process's ORB (the server fixture uses it to wait for the server) set up like a client's.
  CORBA::ORB_var orb = zk::InitOrb(zk::TranslateForOmniOrb(
      zk::FileSystem::Default(), zk::ClientOrbArgs(argv[0], {"127.0.0.1", "1", "2", ""})));

  zk::test::ServerFixture fixture;
  fixture.AddUser(kUser, kPassword);
  // Idle connection threads end after a second instead of omniORB's default, so that the
  // server is idle again soon after each round.
  {
    std::ofstream conf(fixture.dir() + "/server.conf", std::ios::app);
    conf << "idleThreadTimeout = 1\n";
  }
  std::string why;
  if (!fixture.StartNaming(&why) || !fixture.StartServer(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const pid_t server = fixture.server_pid();
  const long idle_threads = StatusField(server, "Threads");
  const long rss_start = StatusField(server, "VmRSS");

  // Round 1: warm-up.
  std::vector<Client> clients = StartClients(self, fixture.ns_port());
  int warm_failures = RunPhase(clients, kConnect).first;
  warm_failures += RunPhase(clients, kAuth).first;
  EndClients(clients);
  const long rss_before = IdleRssKb(server, idle_threads);

  // Round 2: measured.
  clients = StartClients(self, fixture.ns_port());
  int connect_failures = RunPhase(clients, kConnect).first;
  std::pair<int, double> ping = RunPhase(clients, kPing);
  std::pair<int, double> auth = RunPhase(clients, kAuth);
  const long rss_busy = StatusField(server, "VmRSS");
  EndClients(clients);
  const long rss_after = IdleRssKb(server, idle_threads);

  const double requests = static_cast<double>(kClients) * kCalls;
  const double ping_rate = requests / ping.second;
  const double auth_rate = requests / auth.second;
  std::printf("zkauthbench: %d client processes x %d calls each, one zksvr, 127.0.0.1\n\n",
              kClients, kCalls);
  std::printf("%-22s %9s %9s %9s %11s %7s\n", "measured", "requests", "failures", "seconds",
              "requests/s", "ratio");
  std::printf("%-22s %9.0f %9d %9.3f %11.0f %7.2f\n", "ping (_non_existent)", requests, ping.first,
              ping.second, ping_rate, 1.0);
  std::printf("%-22s %9.0f %9d %9.3f %11.0f %7.2f\n", "auth (zkExistsUser)", requests, auth.first,
              auth.second, auth_rate, auth_rate / ping_rate);
  std::printf(
      "(ratio: requests/s against the ping peer measured in the same run; warm-up and "
      "connect failures: %d)\n\n",
      warm_failures + connect_failures);

  const double growth = 100.0 * (rss_after - rss_before) / rss_before;
  std::printf(
      "zksvr VmRSS (kB): %ld started, %ld idle before, %ld busy, %ld idle after: "
      "%+.1f%% (limit +10%%)\n",
      rss_start, rss_before, rss_busy, rss_after, growth);

  const bool ok = warm_failures == 0 && connect_failures == 0 && ping.first == 0 &&
                  auth.first == 0 && growth <= 10.0;
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
