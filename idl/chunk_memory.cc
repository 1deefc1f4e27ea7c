// Pooled blocks for chunk data, and the arena of one batch.
#include "idl/chunk_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace zk {
namespace {

constexpr size_t kLargePage = 2 * 1024 * 1024;
constexpr size_t kSliceAlign = 64;

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

BlockPool::~BlockPool() {
  for (const Block& b : free_) Release(b);
}

void BlockPool::Release(const Block& block) { munmap(block.data, block.size); }

BlockPool::Block BlockPool::Take(size_t min_bytes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->size >= min_bytes && (best == free_.end() || it->size < best->size)) best = it;
    }
    if (best != free_.end()) {
      Block b = *best;
      free_.erase(best);
      return b;
    }
  }
  Block b;
  b.size = RoundUp(std::max<size_t>(min_bytes, 1), kLargePage);
  void* p = mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return Block();
  // Large pages where the system allows them on request: a block is faulted in 512 times less
  // often the first time.
  (void)madvise(p, b.size, MADV_HUGEPAGE);
  b.data = static_cast<uint8_t*>(p);
  std::lock_guard<std::mutex> lock(mu_);
  held_ += b.size;
  return b;
}

void BlockPool::Give(Block block) {
  if (!block.data) return;
  block.used = Clock::now();
  std::vector<Block> release;
  {
    std::lock_guard<std::mutex> lock(mu_);
    free_.push_back(block);
    // Over the bytes to keep: the smallest blocks go first, so the one that fits a whole batch
    // of the unit in use stays.
    size_t free_total = 0;
    for (const Block& b : free_) free_total += b.size;
    std::sort(free_.begin(), free_.end(),
              [](const Block& a, const Block& b) { return a.size > b.size; });
    while (free_total > keep_bytes_ && !free_.empty()) {
      free_total -= free_.back().size;
      held_ -= free_.back().size;
      release.push_back(free_.back());
      free_.pop_back();
    }
  }
  for (const Block& b : release) Release(b);
}

void BlockPool::ReleaseIdle(Clock::time_point now, Clock::duration idle) {
  std::vector<Block> release;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = free_.begin(); it != free_.end();) {
      if (now - it->used >= idle) {
        held_ -= it->size;
        release.push_back(*it);
        it = free_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const Block& b : release) Release(b);
}

size_t BlockPool::free_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const Block& b : free_) n += b.size;
  return n;
}

size_t BlockPool::held_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

ChunkArena::~ChunkArena() { Reset(); }

void ChunkArena::Reset() {
  for (const BlockPool::Block& b : blocks_) pool_->Give(b);
  blocks_.clear();
  used_ = 0;
}

uint8_t* ChunkArena::Alloc(size_t len) {
  if (len == 0) return nullptr;
  const size_t at = RoundUp(used_, kSliceAlign);
  if (blocks_.empty() || at + len > blocks_.back().size) {
    BlockPool::Block b = pool_->Take(std::max(len, kMinArenaBlock));
    if (!b.data) throw std::bad_alloc();
    blocks_.push_back(b);
    used_ = len;
    return b.data;
  }
  used_ = at + len;
  return blocks_.back().data + at;
}

}  // namespace zk
