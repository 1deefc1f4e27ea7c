#include "server/closing_queue.h"

#include <utility>

namespace zk {

ClosingQueue::ClosingQueue() : thread_([this] { Run(); }) {}

ClosingQueue::~ClosingQueue() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void ClosingQueue::Take(std::vector<std::unique_ptr<FileSystem::File>> files) {
  if (files.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& f : files) queued_.push_back(std::move(f));
  }
  cv_.notify_one();
}

void ClosingQueue::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return quit_ || !queued_.empty(); });
    if (queued_.empty()) return;  // quit, with nothing left
    std::vector<std::unique_ptr<FileSystem::File>> now;
    now.swap(queued_);
    lock.unlock();
    now.clear();  // closes them
    lock.lock();
  }
}

}  // namespace zk
