#include "clients/call_lane.h"

#include <utility>

namespace zk {

CallLane::CallLane() : thread_([this] { Run(); }) {}

CallLane::~CallLane() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !started_ || done_; });
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void CallLane::Start(std::function<void()> call) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    call_ = std::move(call);
    started_ = true;
    done_ = false;
    error_ = nullptr;
  }
  cv_.notify_all();
}

void CallLane::Finish() {
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!started_) return;
    cv_.wait(lock, [this] { return done_; });
    started_ = false;
    error = std::move(error_);
    error_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

void CallLane::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return quit_ || call_; });
    if (!call_) return;  // quit, with nothing left to make
    std::function<void()> call = std::move(call_);
    call_ = nullptr;
    lock.unlock();
    std::exception_ptr error;
    try {
      call();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    error_ = error;
    done_ = true;
    cv_.notify_all();
  }
}

}  // namespace zk
