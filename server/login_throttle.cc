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

LoginThrottle::Clock::duration LoginThrottle::WaitFor(const Table& table, const std::string& key,
                                                      Clock::time_point now) {
  auto it = table.records.find(key);
  if (it == table.records.end() || now >= it->second.blocked_until) {
    return Clock::duration::zero();
  }
  return it->second.blocked_until - now;
}

void LoginThrottle::MakeRoom(Table* table, Clock::time_point now) {
  auto& records = table->records;
  for (auto it = records.begin(); it != records.end();) {
    it = now - it->second.last > kForgetAfter ? records.erase(it) : std::next(it);
  }
  if (records.size() < kMaxRecords) return;
  // The record idle the longest among those that hold nothing back yet, so that a flood of fresh
  // ids cannot wipe out the count of a user id under attack; only when all of them hold something
  // back, the one idle the longest.
  auto victim = records.end();
  for (int pass = 0; pass < 2 && victim == records.end(); ++pass) {
    for (auto it = records.begin(); it != records.end(); ++it) {
      if (pass == 0 && it->second.failures >= table->free_failures) continue;
      if (victim == records.end() || it->second.last < victim->second.last) victim = it;
    }
  }
  records.erase(victim);
}

void LoginThrottle::Count(Table* table, const std::string& key, Clock::time_point now) {
  auto it = table->records.find(key);
  if (it == table->records.end()) {
    if (table->records.size() >= kMaxRecords) MakeRoom(table, now);
    it = table->records.emplace(key, Record()).first;
  }
  Record& r = it->second;
  if (r.failures > 0 && now - r.last > kForgetAfter) r.failures = 0;
  ++r.failures;
  r.last = now;
  r.blocked_until = now + DelayAfter(r.failures, table->free_failures);
}

bool LoginThrottle::Admit(const std::string& user, const std::string& peer, Clock::time_point now,
                          Clock::duration* wait) {
  std::lock_guard<std::mutex> lock(mu_);
  Clock::duration left = std::max(WaitFor(users_, user, now), WaitFor(peers_, peer, now));
  if (wait) *wait = left;
  if (left != Clock::duration::zero()) return false;
  Count(&users_, user, now);
  Count(&peers_, peer, now);
  return true;
}

void LoginThrottle::Succeeded(const std::string& user, const std::string& peer) {
  std::lock_guard<std::mutex> lock(mu_);
  users_.records.erase(user);
  peers_.records.erase(peer);
}

LoginThrottle& ServerLoginThrottle() {
  static LoginThrottle* throttle = new LoginThrottle();  // outlives the ORB's last thread
  return *throttle;
}

}  // namespace zk
