// Failed-login counts per user id and per peer, and the delays they impose.
#include "server/login_throttle.h"

#include <algorithm>

namespace zk {

LoginThrottle::Clock::duration LoginThrottle::DelayAfter(int failures, int free_failures) {
  if (failures < free_failures) return Clock::duration::zero();
  Clock::duration delay = kFirstDelay;
  for (int n = free_failures; n < failures && delay < kMaxDelay; ++n) delay *= 2;
  return std::min(delay, kMaxDelay);
}

void LoginThrottle::MakeRoom(Table* table, Clock::time_point now) {
  auto& records = table->records;
  for (auto it = records.begin(); it != records.end();) {
    bool old = it->second.in_progress == 0 && now - it->second.last > kForgetAfter;
    it = old ? records.erase(it) : std::next(it);
  }
  if (records.size() < kMaxRecords) return;
  // The record idle the longest among those that hold nothing back yet, so that a flood of fresh
  // ids cannot wipe out the count of a user id under attack; only when all of them hold something
  // back, the one idle the longest. Never one with an attempt in progress.
  auto victim = records.end();
  for (int pass = 0; pass < 2 && victim == records.end(); ++pass) {
    for (auto it = records.begin(); it != records.end(); ++it) {
      if (it->second.in_progress > 0) continue;
      if (pass == 0 && it->second.failures >= table->free_failures) continue;
      if (victim == records.end() || it->second.last < victim->second.last) victim = it;
    }
  }
  if (victim != records.end()) records.erase(victim);
}

LoginThrottle::Record& LoginThrottle::Find(Table* table, const std::string& key,
                                           Clock::time_point now) {
  auto it = table->records.find(key);
  if (it == table->records.end()) {
    if (table->records.size() >= kMaxRecords) MakeRoom(table, now);
    it = table->records.emplace(key, Record()).first;
  }
  Record& r = it->second;
  if (r.failures > 0 && now - r.last > kForgetAfter) {
    r.failures = 0;
    r.blocked_until = Clock::time_point();
  }
  return r;
}

LoginThrottle::Answer LoginThrottle::Consider(Table* table, const std::string& key,
                                              Clock::time_point now, Clock::duration* wait) {
  auto it = table->records.find(key);
  if (it == table->records.end()) return Answer::kAdmitted;
  const Record& r = it->second;
  const bool forgotten = r.failures > 0 && now - r.last > kForgetAfter;
  const int failures = forgotten ? 0 : r.failures;
  if (!forgotten && now < r.blocked_until) {
    *wait = std::max(*wait, r.blocked_until - now);
    return Answer::kHeldBack;
  }
  if (failures < table->free_failures && failures + r.in_progress >= table->free_failures) {
    return Answer::kBusy;
  }
  return Answer::kAdmitted;
}

void LoginThrottle::Admitted(Table* table, const std::string& key, Clock::time_point now) {
  Record& r = Find(table, key, now);
  ++r.in_progress;
  // Past the free failures, an attempt takes the next delay with it (as if it failed), so
  // that no other one is let through meanwhile.
  if (r.failures >= table->free_failures) {
    r.blocked_until = now + DelayAfter(r.failures + 1, table->free_failures);
  }
}

void LoginThrottle::Ended(Table* table, const std::string& key, bool succeeded,
                          Clock::time_point now) {
  Record& r = Find(table, key, now);
  if (r.in_progress > 0) --r.in_progress;
  if (succeeded) {
    r.failures = 0;
    r.blocked_until = Clock::time_point();
  } else {
    ++r.failures;
    r.last = now;
    r.blocked_until = std::max(r.blocked_until, now + DelayAfter(r.failures, table->free_failures));
  }
  if (r.failures == 0 && r.in_progress == 0) table->records.erase(key);
}

LoginThrottle::Answer LoginThrottle::TryAdmit(const std::string& user, const std::string& peer,
                                              Clock::time_point now, Clock::duration* wait) {
  std::lock_guard<std::mutex> lock(mu_);
  return TryAdmitLocked(user, peer, now, wait);
}

LoginThrottle::Answer LoginThrottle::TryAdmitLocked(const std::string& user,
                                                    const std::string& peer, Clock::time_point now,
                                                    Clock::duration* wait) {
  Clock::duration left = Clock::duration::zero();
  Answer a = Consider(&users_, user, now, &left);
  Answer b = Consider(&peers_, peer, now, &left);
  if (wait) *wait = left;
  if (a == Answer::kHeldBack || b == Answer::kHeldBack) return Answer::kHeldBack;
  if (a == Answer::kBusy || b == Answer::kBusy) return Answer::kBusy;
  Admitted(&users_, user, now);
  Admitted(&peers_, peer, now);
  return Answer::kAdmitted;
}

bool LoginThrottle::Admit(const std::string& user, const std::string& peer, Clock::duration* wait) {
  const Clock::time_point give_up = Clock::now() + kQueueWait;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    Answer a = TryAdmitLocked(user, peer, Clock::now(), wait);
    if (a != Answer::kBusy) return a == Answer::kAdmitted;
    if (done_.wait_until(lock, give_up) == std::cv_status::timeout) {
      return TryAdmitLocked(user, peer, Clock::now(), wait) == Answer::kAdmitted;
    }
  }
}

void LoginThrottle::Done(const std::string& user, const std::string& peer, bool succeeded,
                         Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    Ended(&users_, user, succeeded, now);
    Ended(&peers_, peer, succeeded, now);
  }
  done_.notify_all();
}

}  // namespace zk
