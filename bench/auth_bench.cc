// zkauthbench: many clients authenticating at once against a real naming service and zksvr.
//
// Each client is a process of its own (this program started again with "--client"), with its
// own ORB and connection, like a client tool. Rounds of 32 clients run against two servers, one
// without and one with the audit trail (a JSON-lines file, one record per login) and the metrics
// file:
//   round 1 warms each server up (32 x 200 authentications), then the servers go idle;
//   the measured rounds, 25 on each server in turn (which one goes first alternates), have
//   every client doing in turn
//     ping - `_non_existent` round trips: ORB and network alone (the peer), and
//     auth - zkExistsUser with the right password: ORB plus the registry lookup;
//   the best round of each server counts for the table.
// Prints requests per second, failures and the ratio to the peer, the cost of the audit trail
// with the records it wrote, and
// each server's resident memory (VmRSS) when idle before and after the measured rounds: a leak
// shows as growth between the two.
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

// A server for the benchmark, with the audit trail on or off, and what its rounds measured.
struct BenchServer {
  std::unique_ptr<zk::test::ServerFixture> fixture;
  pid_t pid = -1;
  long idle_threads = 0;
  long rss_start = 0, rss_before = 0, rss_busy = 0, rss_after = 0;
  std::pair<int, double> ping{0, 1e30}, auth{0, 1e30};  // the best measured round's
  std::vector<double> ping_rounds, auth_rounds;         // every measured round's seconds
  int failures = 0;                                     // of every round
};

// Starts `s`; with `audit`, its records go to audit.jsonl in its folder.
bool StartServer(BenchServer* s, bool audit, std::string* why) {
  s->fixture = std::make_unique<zk::test::ServerFixture>();
  s->fixture->AddUser(kUser, kPassword);
  // Idle connection threads end after a second instead of omniORB's default, so that the
  // server is idle again soon after each round.
  s->fixture->AddServerConf("idleThreadTimeout = 1");
  if (audit) {
    s->fixture->AddServerConf("zkAuditLog = " + s->fixture->dir() + "/audit.jsonl");
    s->fixture->AddServerConf("zkMetricsFile = " + s->fixture->dir() + "/zk.prom");
  }
  if (!s->fixture->StartNaming(why) || !s->fixture->StartServer(why)) return false;
  s->pid = s->fixture->server_pid();
  s->idle_threads = StatusField(s->pid, "Threads");
  s->rss_start = StatusField(s->pid, "VmRSS");
  return true;
}

// One round of 32 clients: connect, then (when measured) ping, then auth.
void Round(const std::string& self, BenchServer* s, bool measured) {
  std::vector<Client> clients = StartClients(self, s->fixture->ns_port());
  s->failures += RunPhase(clients, kConnect).first;
  if (measured) {
    std::pair<int, double> ping = RunPhase(clients, kPing);
    std::pair<int, double> auth = RunPhase(clients, kAuth);
    s->failures += ping.first + auth.first;
    if (ping.second < s->ping.second) s->ping = ping;
    if (auth.second < s->auth.second) s->auth = auth;
    s->ping_rounds.push_back(ping.second);
    s->auth_rounds.push_back(auth.second);
    s->rss_busy = StatusField(s->pid, "VmRSS");
  } else {
    s->failures += RunPhase(clients, kAuth).first;
  }
  EndClients(clients);
}

// The login records of the JSON-lines file at `path` (the fixture's own connection, which never
// logs in, has a record of its closing too).
long LoginRecords(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  long n = 0;
  while (std::getline(in, line)) n += line.find("\"event\":\"login\"") != std::string::npos;
  return n;
}

// The median over the rounds of `plain`'s seconds over `other`'s in the same round: the rate of
// `other` against `plain`'s. Rounds run side by side, so a slow moment of the machine weighs on
// both servers' rounds alike; a best-of comparison of the two columns does not cancel it.
double MedianRatio(const std::vector<double>& plain, const std::vector<double>& other) {
  std::vector<double> ratios;
  for (size_t i = 0; i < plain.size() && i < other.size(); ++i) {
    ratios.push_back(plain[i] / other[i]);
  }
  if (ratios.empty()) return 0;
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  return n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 3 && std::strcmp(argv[1], "--client") == 0) return ClientMain(std::atoi(argv[2]));
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";

  // This process's ORB (the server fixture uses it to wait for the server) set up like a client's.
  CORBA::ORB_var orb = zk::InitOrb(zk::TranslateForOmniOrb(
      zk::FileSystem::Default(), zk::ClientOrbArgs(argv[0], {"127.0.0.1", "1", "2", ""})));

  BenchServer plain, audited;
  std::string why;
  if (!StartServer(&plain, false, &why) || !StartServer(&audited, true, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  BenchServer* both[] = {&plain, &audited};

  // Round 1: warm-up.
  for (BenchServer* s : both) {
    Round(self, s, false);
    s->rss_before = IdleRssKb(s->pid, s->idle_threads);
  }
  // The measured rounds, the two servers in turn.
  constexpr int kRounds = 25;
  for (int i = 0; i < kRounds; ++i) {
    Round(self, both[i % 2], true);
    Round(self, both[1 - i % 2], true);
  }
  for (BenchServer* s : both) s->rss_after = IdleRssKb(s->pid, s->idle_threads);

  const double requests = static_cast<double>(kClients) * kCalls;
  const double ping_rate = requests / plain.ping.second;
  const double auth_rate = requests / plain.auth.second;
  const double audited_ping_rate = requests / audited.ping.second;
  const double audited_rate = requests / audited.auth.second;
  std::printf(
      "zkauthbench: %d client processes x %d calls each, two zksvr (audit trail off, on), "
      "127.0.0.1, best of %d rounds each\n\n",
      kClients, kCalls, kRounds);
  std::printf("%-30s %9s %9s %9s %11s %7s\n", "measured", "requests", "failures", "seconds",
              "requests/s", "ratio");
  std::printf("%-30s %9.0f %9d %9.3f %11.0f %7.2f\n", "ping (_non_existent)", requests,
              plain.ping.first, plain.ping.second, ping_rate, 1.0);
  std::printf("%-30s %9.0f %9d %9.3f %11.0f %7.2f\n", "auth (zkExistsUser)", requests,
              plain.auth.first, plain.auth.second, auth_rate, auth_rate / ping_rate);
  std::printf("%-30s %9.0f %9d %9.3f %11.0f %7.2f\n", "ping, audit trail on", requests,
              audited.ping.first, audited.ping.second, audited_ping_rate,
              audited_ping_rate / ping_rate);
  std::printf("%-30s %9.0f %9d %9.3f %11.0f %7.2f\n", "auth, audit trail on", requests,
              audited.auth.first, audited.auth.second, audited_rate, audited_rate / ping_rate);
  std::printf(
      "(ratio: requests/s against the ping peer measured in the same run; failures of every "
      "round, warm-up and connect included: %d and %d)\n\n",
      plain.failures, audited.failures);

  // Every login on the audited server is one record: the connect of each client and its calls.
  const long expected = static_cast<long>(kClients) * ((1 + kRounds) + (1 + kRounds) * kCalls);
  const long records = LoginRecords(audited.fixture->dir() + "/audit.jsonl");
  const double cost = MedianRatio(plain.auth_rounds, audited.auth_rounds);
  std::printf(
      "audit trail: logins/s %.3f of those without it, median of the %d rounds side by side "
      "(limit 0.95; best rounds %.3f; pings, which write no record, %.3f); %ld login records "
      "written of %ld logins\n",
      cost, kRounds, audited_rate / auth_rate, MedianRatio(plain.ping_rounds, audited.ping_rounds),
      records, expected);

  bool ok = plain.failures == 0 && audited.failures == 0 && cost >= 0.95 && records == expected;
  for (BenchServer* s : both) {
    const double growth = 100.0 * (s->rss_after - s->rss_before) / s->rss_before;
    std::printf(
        "zksvr%s VmRSS (kB): %ld started, %ld idle before, %ld busy, %ld idle after: "
        "%+.1f%% (limit +10%%)\n",
        s == &audited ? " (audit trail on)" : "", s->rss_start, s->rss_before, s->rss_busy,
        s->rss_after, growth);
    ok = ok && growth <= 10.0;
  }
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
