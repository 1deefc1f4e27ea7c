// Memory that the calls which move bulk freed goes back to the system, off the requests' path.
// A request or reply of many small parts (a listing with millions of slots) would otherwise leave
// the process that much bigger for good; looking at how much is free walks all of the
// allocator's free lists, which took about a tenth of a millisecond per batch of small files
// here, so the calls only say that they ended and the upload sweeper looks, once a second.
// (Large buffers are mapped and unmapped one by one anyway; trimming after every batch would only
// make the next one fault its pages in again.)
#ifndef ZK_SERVER_FREED_MEMORY_H_
#define ZK_SERVER_FREED_MEMORY_H_

#include <atomic>
#include <cstddef>

namespace zk {

class FreedMemory {
 public:
  // More free memory than this is given back.
  static constexpr size_t kKeepFreeBytes = 16 * 1024 * 1024;

  // A call that moves bulk ended.
  void BulkCallEnded() { pending_.store(true, std::memory_order_relaxed); }
  // When one did since the last time: gives the free memory back once there is much of it.
  void GiveBack();

 private:
  std::atomic<bool> pending_{false};
};

}  // namespace zk

#endif  // ZK_SERVER_FREED_MEMORY_H_
