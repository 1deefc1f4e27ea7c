// zkauthbench: many clients authenticating at once against a real naming service and zksvr.
//
// Each client is a process of its own (this program started again with "--client"), with its
// own ORB and connection, like a client tool. Rounds of 32 clients run against a server:
//   the first warms the server up (32 x 200 authentications), then the server goes idle;
//   kRounds more measure, every client doing in turn
//     ping - `_non_existent` round trips: ORB and network alone (the peer), and
//     auth - zkExistsUser with the right password: ORB plus the registry lookup.
// Prints requests per second, failures and the ratio to the peer, and the server's resident
// memory (VmRSS) when idle before and after the measured rounds: a leak shows as growth between
// the two. A second server, which writes its metrics file (zkMetricsFile), is measured in rounds
// alternating with the first one's; its rows stand beside the first one's: the cost of the
// metrics as a ratio.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "idl/orb.h"
#include "tests/server_fixture.h"

namespace {

constexpr int kClients = 32;
constexpr int kCalls = 200;
// Measured rounds per server.
constexpr int kRounds = 5;
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

// A naming service and zksvr of their own, warmed up; with `metrics_file`, the server writes its
// metrics file (zkMetricsFile) while it serves.
struct Server {
  std::unique_ptr<zk::test::ServerFixture> fixture;
  bool metrics_file = false;
  pid_t pid = -1;
  long idle_threads = 0;
  int failures = 0;  // of every round, the warm-up's and each connect too
  std::pair<int, double> ping{0, 1e9}, auth{0, 1e9};  // the fastest round of each
  long rss_start = 0, rss_before = 0, rss_busy = 0, rss_after = 0;
};

bool StartServer(const std::string& self, bool metrics_file, Server* s) {
  s->metrics_file = metrics_file;
  s->fixture = std::make_unique<zk::test::ServerFixture>();
  zk::test::ServerFixture& fixture = *s->fixture;
  fixture.AddUser(kUser, kPassword);
  // Idle connection threads end after a second instead of omniORB's default, so that the
  // server is idle again soon after each round.
  fixture.AddServerConf("idleThreadTimeout = 1");
  if (metrics_file) fixture.AddServerConf("zkMetricsFile = " + fixture.dir() + "/zk.prom");
  std::string why;
  if (!fixture.StartNaming(&why) || !fixture.StartServer(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
  }
  s->pid = fixture.server_pid();
  s->idle_threads = StatusField(s->pid, "Threads");
  s->rss_start = StatusField(s->pid, "VmRSS");
  // Warm-up.
  std::vector<Client> clients = StartClients(self, fixture.ns_port());
  s->failures += RunPhase(clients, kConnect).first;
  s->failures += RunPhase(clients, kAuth).first;
  EndClients(clients);
  s->rss_before = IdleRssKb(s->pid, s->idle_threads);
  return true;
}

// One measured round: the fastest ping and auth phases are kept.
void MeasureRound(const std::string& self, Server* s) {
  std::vector<Client> clients = StartClients(self, s->fixture->ns_port());
  s->failures += RunPhase(clients, kConnect).first;
  const std::pair<int, double> ping = RunPhase(clients, kPing);
  const std::pair<int, double> auth = RunPhase(clients, kAuth);
  s->failures += ping.first + auth.first;
  if (ping.second < s->ping.second) s->ping = ping;
  if (auth.second < s->auth.second) s->auth = auth;
  s->rss_busy = std::max(s->rss_busy, StatusField(s->pid, "VmRSS"));
  EndClients(clients);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 3 && std::strcmp(argv[1], "--client") == 0) return ClientMain(std::atoi(argv[2]));
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";

  // This process's ORB (the server fixture uses it to wait for the server) set up like a client's.
  CORBA::ORB_var orb = zk::InitOrb(zk::TranslateForOmniOrb(
      zk::FileSystem::Default(), zk::ClientOrbArgs(argv[0], {"127.0.0.1", "1", "2", ""})));

  Server plain, metrics;
  if (!StartServer(self, false, &plain) || !StartServer(self, true, &metrics)) return 1;
  // The rounds alternate between the two servers, so that a busy moment of the machine falls
  // on both alike; the fastest round of each counts.
  for (int i = 0; i < kRounds; ++i) {
    MeasureRound(self, &plain);
    MeasureRound(self, &metrics);
  }
  for (Server* s : {&plain, &metrics}) s->rss_after = IdleRssKb(s->pid, s->idle_threads);
  if (!zk::test::Exists(metrics.fixture->dir() + "/zk.prom")) {
    std::fprintf(stderr, "no metrics file written\n");
    metrics.failures += 1;
  }

  const double requests = static_cast<double>(kClients) * kCalls;
  const double ping_rate = requests / plain.ping.second;
  auto row = [&](const char* name, const std::pair<int, double>& p) {
    const double rate = requests / p.second;
    std::printf("%-28s %9.0f %9d %9.3f %11.0f %7.2f\n", name, requests, p.first, p.second, rate,
                rate / ping_rate);
  };
  std::printf(
      "zkauthbench: %d client processes x %d calls each, the fastest of %d rounds, two zksvr "
      "(one writing its metrics file), 127.0.0.1\n\n",
      kClients, kCalls, kRounds);
  std::printf("%-28s %9s %9s %9s %11s %7s\n", "measured", "requests", "failures", "seconds",
              "requests/s", "ratio");
  row("ping (_non_existent)", plain.ping);
  row("auth (zkExistsUser)", plain.auth);
  row("ping, metrics file on", metrics.ping);
  row("auth, metrics file on", metrics.auth);
  std::printf(
      "(ratio: requests/s against the ping peer of the server without metrics, measured in the "
      "same run; auth with metrics on against without: %.2f)\n\n",
      plain.auth.second / metrics.auth.second);

  bool ok = true;
  for (const Server* s : {&plain, &metrics}) {
    const double growth = 100.0 * (s->rss_after - s->rss_before) / s->rss_before;
    std::printf(
        "zksvr%s VmRSS (kB): %ld started, %ld idle before, %ld busy, %ld idle after: "
        "%+.1f%% (limit +10%%); failures %d\n",
        s->metrics_file ? " (metrics on)" : "", s->rss_start, s->rss_before, s->rss_busy,
        s->rss_after, growth, s->failures);
    ok = ok && s->failures == 0 && growth <= 10.0;
  }
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
