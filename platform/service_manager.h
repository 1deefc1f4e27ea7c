// The service manager that started this process, as a long-running program talks to it: systemd's
// notification protocol (sd_notify) behind one interface, so that a program says when it is
// ready, what it is doing and that it is still alive, and a test can listen instead.
// ServiceManager::Default() is the real one and only main() asks for it; outside systemd (no
// NOTIFY_SOCKET in the environment) every notification is dropped and nothing else changes.
//
//   ServiceManager* manager = ServiceManager::Default();
//   manager->Notify("READY=1");
//   if (manager->WatchdogInterval().count() > 0) ...   // send "WATCHDOG=1" at least this often
#ifndef ZK_PLATFORM_SERVICE_MANAGER_H_
#define ZK_PLATFORM_SERVICE_MANAGER_H_

#include <chrono>
#include <string>

namespace zk {

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Sends `state`: one or more "NAME=value" lines ("READY=1", "STATUS=...", "STOPPING=1",
  // "WATCHDOG=1"). Nothing happens when no service manager listens; a lost notification is not
  // reported (the manager notices what matters: a missing READY or WATCHDOG).
  virtual void Notify(const std::string& state) = 0;
  // How often the manager wants "WATCHDOG=1" at the latest: the interval it set for this process
  // (WATCHDOG_USEC, when WATCHDOG_PID is unset or this process); zero when it set none.
  virtual std::chrono::microseconds WatchdogInterval() = 0;

  // The service manager of this process (systemd's protocol through libsystemd).
  static ServiceManager* Default();
};

}  // namespace zk

#endif  // ZK_PLATFORM_SERVICE_MANAGER_H_
