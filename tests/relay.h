// A TCP relay on a free loopback port: every connection made to it is joined to a new connection
// to the target port, the bytes pass both ways unchanged and are kept, each way, for the test to
// read. Ends (connections closed, its thread joined) when destroyed.
//
//   Relay relay(server_port);
//   ... calls to 127.0.0.1:relay.port() ...
//   std::string replies = relay.FromTarget();
#ifndef ZK_TESTS_RELAY_H_
#define ZK_TESTS_RELAY_H_

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zk {
namespace test {

class Relay {
 public:
  explicit Relay(int target_port);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int port() const { return port_; }
  // From now on changes one bit of the first byte of `marker` in what the target sends, the next
  // `times` times the marker appears within one read (-1: every time): data spoilt on the way.
  void CorruptFromTarget(const std::string& marker, int times);
  // The same in what the clients send.
  void CorruptFromClients(const std::string& marker, int times);
  // From now on passes at most `bytes` more of what the clients send, then holds the rest back
  // (the clients' sends block) until Release.
  void HoldClientsAfter(size_t bytes);
  // The same for what the target sends.
  void HoldTargetAfter(size_t bytes);
  // Lets both ways pass again.
  void Release();
  // Everything the target (the clients) sent so far, over all connections, in the order it came.
  std::string FromTarget();
  std::string FromClients();

 private:
  struct Pair {
    int client;
    int target;
  };
  // What one way spoils: the marker, and how many more times.
  struct Spoil {
    std::string marker;
    int left = 0;
  };
  // What one way holds back: while `on`, the bytes it may still pass.
  struct Hold {
    bool on = false;
    size_t allowed = 0;
    bool held() const { return on && allowed == 0; }
  };
  void Run();
  // Moves what `from` has to `to`, appending it to `*kept` and spoiling it as `*spoil` says;
  // false when either side is closed.
  bool Pass(int from, int to, std::string* kept, Spoil* spoil, Hold* hold);

  int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::vector<Pair> pairs_;
  std::mutex mu_;
  std::string from_target_;
  std::string from_clients_;
  Spoil from_target_spoil_;
  Spoil from_clients_spoil_;
  Hold from_clients_hold_;
  Hold from_target_hold_;
  std::thread thread_;
};

class ServerFixture;

// A relay to `fixture`'s server, bound in its naming service under the server's name, so that the
// tools reach the server through it from now on. The caller deletes it after the server.
Relay* RelayBeforeServer(const ServerFixture& fixture);

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_RELAY_H_
