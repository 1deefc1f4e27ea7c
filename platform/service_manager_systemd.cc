// The service manager through libsystemd: sd_notify sends a datagram to the socket that
// NOTIFY_SOCKET names (and does nothing when it is unset), sd_watchdog_enabled reads
// WATCHDOG_USEC and WATCHDOG_PID. The environment is left as it is, so that both keep working
// for every thread of the process.
#include <systemd/sd-daemon.h>

#include <cstdint>

#include "platform/service_manager.h"

namespace zk {
namespace {

class SystemdManager : public ServiceManager {
 public:
  void Notify(const std::string& state) override { sd_notify(0, state.c_str()); }

  std::chrono::microseconds WatchdogInterval() override {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(usec));
  }
};

}  // namespace

ServiceManager* ServiceManager::Default() {
  static SystemdManager manager;
  return &manager;
}

}  // namespace zk
