// Files closed on a thread of their own, after the request that held them has answered. The last
// handle of a file that a rename replaced frees its blocks when it closes: an upload that holds
// the replaced file open while it renames leaves that work to this queue instead of its reply.
#ifndef ZK_SERVER_CLOSING_QUEUE_H_
#define ZK_SERVER_CLOSING_QUEUE_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fs.h"

namespace zk {

class ClosingQueue {
 public:
  ClosingQueue();
  // Closes what is still queued, then ends the thread.
  ~ClosingQueue();
  ClosingQueue(const ClosingQueue&) = delete;
  ClosingQueue& operator=(const ClosingQueue&) = delete;

  void Take(std::vector<std::unique_ptr<FileSystem::File>> files);

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<FileSystem::File>> queued_;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace zk

#endif  // ZK_SERVER_CLOSING_QUEUE_H_
