// A thread of its own that makes one call at a time for a walk: the walk hands it a call and goes
// on with its own work, then waits for the call's end.
//
//   CallLane lane;
//   lane.Start([&] { result = server->Upload(...); });
//   ...                     // the walk's own work, while the call runs
//   lane.Finish();          // waits; throws what the call threw
#ifndef ZK_CLIENTS_CALL_LANE_H_
#define ZK_CLIENTS_CALL_LANE_H_

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace zk {

class CallLane {
 public:
  CallLane();
  // Waits for a call that was started and not finished, and ends the thread.
  ~CallLane();
  CallLane(const CallLane&) = delete;
  CallLane& operator=(const CallLane&) = delete;

  // Runs `call` on the lane's thread. Only when no call is running (none started, or Finish
  // taken since).
  void Start(std::function<void()> call);
  // Waits until the call started last has ended; rethrows what it threw. Nothing to wait for when
  // none is running.
  void Finish();
  bool running() const { return started_; }

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> call_;  // the call to make, until the thread takes it
  bool started_ = false;        // by Start, until Finish
  bool done_ = false;           // the call started last has ended
  bool quit_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace zk

#endif  // ZK_CLIENTS_CALL_LANE_H_
