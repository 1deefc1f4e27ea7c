// The status and watchdog thread. One thread does both, so that a probe that hangs holds the
// status line back too: the manager then shows the last count, and restarts the server when the
// watchdog interval has passed.
#include "server/service_status.h"

#include <algorithm>

namespace zk {

std::string StatusLine(size_t connections) {
  return "STATUS=接続数 " + std::to_string(connections);
}

ServiceStatus::ServiceStatus(ServiceManager* manager, Probes probes, std::chrono::milliseconds every)
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
  manager_->Notify("READY=1\n" + StatusLine(probes_.connections()));
  const std::chrono::microseconds watchdog = manager_->WatchdogInterval();
  thread_ = std::thread([this, watchdog] { Loop(watchdog); });
}

void ServiceStatus::Loop(std::chrono::microseconds watchdog) {
  using Clock = std::chrono::steady_clock;
  // Half the manager's interval, so that one slow probe does not miss it.
  const auto ping_every = std::chrono::duration_cast<Clock::duration>(watchdog / 2);
  const auto tick = watchdog.count() > 0
                        ? std::min<Clock::duration>(ping_every, every_)
                        : Clock::duration(every_);
  size_t shown = probes_.connections();
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, tick, [this] { return stop_; })) {
    lock.unlock();
    if (watchdog.count() > 0 && probes_.answers()) manager_->Notify("WATCHDOG=1");
    const size_t now = probes_.connections();
    if (now != shown) {
      manager_->Notify(StatusLine(now));
      shown = now;
    }
    lock.lock();
  }
}

}  // namespace zk
