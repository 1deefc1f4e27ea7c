// Slows password guessing. Failed logins are counted per user id and per peer address. After
// kFreeUserFailures failures in a row for a user id (kFreePeerFailures from one peer address, which
// may be shared by the users of a whole network), each further attempt for that user id (or from
// that peer) must wait a delay that doubles with every failure, from kFirstDelay up to kMaxDelay.
// An attempt made before the delay has passed is refused at once, without the password being
// checked; one that is let through takes the next delay with it, so attempts arriving together
// on many connections get one check per delay between them. Before that point, attempts that
// arrive together are checked only as many at a time as failures are still free: the others wait
// (at most kQueueWait) for the ones in progress, so several logins of one user at once all pass,
// and guesses at once cannot outrun the count. A successful login clears the counts of its user
// id and peer; failures are forgotten after kForgetAfter without a new one.
//
// Nothing sleeps for the delay: a refused attempt is answered at once, so the throttle cannot tie
// up server threads, and the real user is kept out only while the delay runs, never for good.
//
//   LoginThrottle::Clock::duration wait;
//   if (!throttle.Admit(user, peer, &wait)) return refuse();   // not checked
//   bool ok = PasswordMatches();
//   throttle.Done(user, peer, ok, LoginThrottle::Clock::now());
#ifndef ZK_SERVER_LOGIN_THROTTLE_H_
#define ZK_SERVER_LOGIN_THROTTLE_H_

#include <chrono>
#include <condition_variable>
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
  static constexpr Clock::duration kQueueWait = std::chrono::seconds(2);
  // Records kept per kind, so that random ids cannot grow the table; beyond it the record idle
  // the longest is dropped, preferring those that hold nothing back yet.
  static constexpr size_t kMaxRecords = 10000;

  enum class Answer {
    kAdmitted,  // check the password now, then call Done
    kHeldBack,  // refuse: the delay runs (*wait is what is left of it)
    kBusy,      // as many attempts as failures are free are in progress: try again after Done
  };

  // The decision for an attempt at `now`, without waiting; kAdmitted counts it in progress.
  Answer TryAdmit(const std::string& user, const std::string& peer, Clock::time_point now,
                  Clock::duration* wait = nullptr);
  // TryAdmit on the real clock, waiting (at most kQueueWait) while it answers kBusy. True when
  // admitted; false when held back (or still busy), with *wait as in TryAdmit.
  bool Admit(const std::string& user, const std::string& peer, Clock::duration* wait = nullptr);
  // An admitted attempt ended: the password matched or not.
  void Done(const std::string& user, const std::string& peer, bool succeeded,
            Clock::time_point now);

  // The delay after `failures` failures in a row when the first `free_failures` are free.
  static Clock::duration DelayAfter(int failures, int free_failures);

 private:
  struct Record {
    int failures = 0;                 // checked failures in a row
    int in_progress = 0;              // admitted attempts not done yet
    Clock::time_point last;           // the latest failure
    Clock::time_point blocked_until;  // no attempt is admitted before this
  };
  struct Table {
    int free_failures;
    std::map<std::string, Record> records;
  };

  Answer TryAdmitLocked(const std::string& user, const std::string& peer, Clock::time_point now,
                        Clock::duration* wait);
  // What `table` says about an attempt for `key` at `now`.
  static Answer Consider(Table* table, const std::string& key, Clock::time_point now,
                         Clock::duration* wait);
  static Record& Find(Table* table, const std::string& key, Clock::time_point now);
  static void Admitted(Table* table, const std::string& key, Clock::time_point now);
  static void Ended(Table* table, const std::string& key, bool succeeded, Clock::time_point now);
  static void MakeRoom(Table* table, Clock::time_point now);

  std::mutex mu_;
  std::condition_variable done_;
  Table users_{kFreeUserFailures, {}};
  Table peers_{kFreePeerFailures, {}};
};

}  // namespace zk

#endif  // ZK_SERVER_LOGIN_THROTTLE_H_
