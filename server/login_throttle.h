// Slows password guessing. Failed logins are counted per user id and per peer address; after
// kFreeUserFailures failures in a row for a user id (kFreePeerFailures from one peer address, which
// may be shared by the users of a whole network), each further attempt for that user id (or from
// that peer) must wait a delay that doubles with every failure, from kFirstDelay up to kMaxDelay.
// An attempt made before the delay has passed is refused without the password being checked. Each
// admitted attempt counts as a failure from the moment it is admitted until it succeeds, so
// attempts that arrive at once on many connections are admitted one delay apart like any others. A
// successful login clears the counts of its user id and peer; failures are forgotten after
// kForgetAfter without a new one.
//
// Nothing here sleeps: a refused attempt is answered at once, so the throttle cannot tie up
// server threads, and the real user is kept out only while the delay runs, never for good.
//
//   LoginThrottle::Clock::duration wait;
//   if (!throttle.Admit(user, peer, now, &wait)) return refuse();  // not checked
//   if (PasswordMatches()) throttle.Succeeded(user, peer);
#ifndef ZK_SERVER_LOGIN_THROTTLE_H_
#define ZK_SERVER_LOGIN_THROTTLE_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace zk {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr int kFreeUserFailures = 5;
  static constexpr int kFreePeerFailures = 20;
  static constexpr Clock::duration kFirstDelay = std::chrono::seconds(1);
  static constexpr Clock::duration kMaxDelay = std::chrono::seconds(60);
  static constexpr Clock::duration kForgetAfter = std::chrono::minutes(15);
  // Records kept per kind, so that random ids cannot grow the table; beyond it the record idle
  // the longest is dropped, preferring those that hold nothing back yet.
  static constexpr size_t kMaxRecords = 10000;

  // True when an attempt for `user` from `peer` may be checked at `now`; it then counts as a
  // failure. Otherwise *wait (when given) is the time left until one may, and nothing is counted.
  bool Admit(const std::string& user, const std::string& peer, Clock::time_point now,
             Clock::duration* wait = nullptr);
  // The admitted attempt succeeded: the counts of `user` and `peer` start again from zero.
  void Succeeded(const std::string& user, const std::string& peer);

  // The delay after `failures` failures in a row when the first `free_failures` are free.
  static Clock::duration DelayAfter(int failures, int free_failures);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point last;           // the latest failure
    Clock::time_point blocked_until;  // no checked attempt before this
  };
  struct Table {
    int free_failures;
    std::map<std::string, Record> records;
  };

  static Clock::duration WaitFor(const Table& table, const std::string& key, Clock::time_point now);
  static void Count(Table* table, const std::string& key, Clock::time_point now);
  static void MakeRoom(Table* table, Clock::time_point now);

  std::mutex mu_;
  Table users_{kFreeUserFailures, {}};
  Table peers_{kFreePeerFailures, {}};
};

// The process-wide throttle of the server's logins.
LoginThrottle& ServerLoginThrottle();

}  // namespace zk

#endif  // ZK_SERVER_LOGIN_THROTTLE_H_
