// The status and watchdog thread. One thread does both, so that a probe that hangs holds the
// status line back too: the manager then shows the last count, and restarts the server when the
// watchdog interval has passed.
#include "server/service_status.h"

#include <algorithm>

namespace zk {

std::string StatusLine(size_t connections) {
  return "STATUS=接続数 " + std::to_string(connections);
}

ServiceStatus::ServiceStatus(ServiceManager* manager, Probes probes,
                             std::chrono::milliseconds every)
    : manager_(manager), probes_(std::move(probes)), every_(every) {}

ServiceStatus::~ServiceStatus() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceStatus::Ready() {
  // The thread starts from the count said here: one that changed before it ran is said again.
  const size_t shown = probes_.connections();
  manager_->Notify("READY=1\n" + StatusLine(shown));
  const std::chrono::microseconds watchdog = manager_->WatchdogInterval();
  thread_ = std::thread([this, watchdog, shown] { Loop(watchdog, shown); });
}

void ServiceStatus::Loop(std::chrono::microseconds watchdog, size_t shown) {
  using Clock = std::chrono::steady_clock;
  // A ping every half of the manager's interval, so that one slow probe does not miss it, on a
  // tick that divides it and looks at the count at least every `every_`.
  const bool pings = watchdog.count() > 0;
  const auto ping_every = std::chrono::duration_cast<Clock::duration>(watchdog / 2);
  const Clock::duration every = every_;
  const long ticks_per_ping =
      pings
          ? std::max<long>(1, static_cast<long>((ping_every + every - Clock::duration(1)) / every))
          : 1;
  const Clock::duration tick = pings ? ping_every / ticks_per_ping : every;
  long until_ping = ticks_per_ping;
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, tick, [this] { return stop_; })) {
    lock.unlock();
    // A probe that fails is tried again at the next tick; one that hangs holds everything.
    if (pings && --until_ping <= 0 && probes_.answers()) {
      manager_->Notify("WATCHDOG=1");
      until_ping = ticks_per_ping;
    }
    const size_t now = probes_.connections();
    if (now != shown) {
      manager_->Notify(StatusLine(now));
      shown = now;
    }
    lock.lock();
  }
}

}  // namespace zk
