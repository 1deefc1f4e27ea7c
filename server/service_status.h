// What zksvr tells the service manager (platform/service_manager.h) while it serves: "READY=1"
// once its name is bound and requests are served, then a "STATUS=" line with the number of
// connections (again whenever it changes, looked at every kStatusEvery at the latest), and, when
// the manager runs a watchdog, "WATCHDOG=1" every half interval, each only after `answers` has
// proved that the ORB still serves a call to the server's own object: a server whose ORB hangs
// stops sending it and is restarted. "STOPPING=1" goes from the shutdown's own thread.
//
//   ServiceStatus status(ServiceManager::Default(), {connections, answers});
//   status.Ready();          // after the name is bound, before the ORB's run loop
//   ...                      // the destructor stops the thread, before the ORB goes
#ifndef ZK_SERVER_SERVICE_STATUS_H_
#define ZK_SERVER_SERVICE_STATUS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service_manager.h"

namespace zk {

// The longest the status line waits for a change of the count to be seen.
constexpr std::chrono::seconds kStatusEvery(5);

// The status line for `connections` connections.
std::string StatusLine(size_t connections);

class ServiceStatus {
 public:
  struct Probes {
    std::function<size_t()> connections;  // connections open now
    // True when the ORB served a call to the server's own object; may block while it hangs.
    std::function<bool()> answers;
  };

  // `manager` outlives this. `every` is kStatusEvery but in tests.
  ServiceStatus(ServiceManager* manager, Probes probes,
                std::chrono::milliseconds every = kStatusEvery);
  ~ServiceStatus();
  ServiceStatus(const ServiceStatus&) = delete;
  ServiceStatus& operator=(const ServiceStatus&) = delete;

  // Says "READY=1" with the first status line and starts the status and watchdog thread.
  void Ready();

 private:
  // Says the watchdog pings and every change of the count from `shown`, the count said last.
  void Loop(std::chrono::microseconds watchdog, size_t shown);

  ServiceManager* manager_;
  Probes probes_;
  std::chrono::milliseconds every_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zk

#endif  // ZK_SERVER_SERVICE_STATUS_H_
