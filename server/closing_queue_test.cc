// Files handed to the queue are closed on its thread, soon, and all of them by its end.
#include "server/closing_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zk {
namespace {

class CountedFile : public FileSystem::File {
 public:
  CountedFile(std::atomic<int>* closed, std::thread::id* on) : closed_(closed), on_(on) {}
  ~CountedFile() override {
    *on_ = std::this_thread::get_id();
    ++*closed_;
  }
  FsStatus Stat(DirEntry*) override { return FsStatus::Ok(); }
  FsStatus ReadAt(int64_t, size_t, void*, size_t* got) override {
    *got = 0;
    return FsStatus::Ok();
  }
  FsStatus WriteAt(int64_t, const void*, size_t) override { return FsStatus::Ok(); }
  FsStatus Close() override { return FsStatus::Ok(); }
  FsStatus Lock() override { return FsStatus::Ok(); }

 private:
  std::atomic<int>* closed_;
  std::thread::id* on_;
};

std::vector<std::unique_ptr<FileSystem::File>> Files(int n, std::atomic<int>* closed,
                                                     std::thread::id* on) {
  std::vector<std::unique_ptr<FileSystem::File>> files;
  for (int i = 0; i < n; ++i) files.emplace_back(new CountedFile(closed, on));
  return files;
}

TEST(ClosingQueueTest, ClosesWhatItIsGivenOnItsOwnThreadAndAllByItsEnd) {
  std::atomic<int> closed{0};
  std::thread::id on;
  {
    ClosingQueue queue;
    queue.Take(Files(3, &closed, &on));
    for (int i = 0; i < 500 && closed < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(3, closed.load());
    EXPECT_NE(std::this_thread::get_id(), on);
    queue.Take({});
    for (int i = 0; i < 20; ++i) queue.Take(Files(50, &closed, &on));
  }
  EXPECT_EQ(1003, closed.load());
}

}  // namespace
}  // namespace zk
