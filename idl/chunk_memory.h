// Memory for the data of chunks, used again from one batch to the next. A batch of a large unit
// holds hundreds of MB; memory that is fresh for every batch is faulted in page by page each
// time, which costs more than moving the data. Blocks are kept in a pool once used and handed
// out again, already in place.
//
//   BlockPool pool(kKeepBytes);
//   {
//     ChunkArena arena(&pool);                 // one batch
//     CORBA::Octet* data = arena.Alloc(len);   // not zeroed; valid until the arena ends
//     seq.replace(len, len, data, false);      // the sequence does not own it
//   }                                          // blocks back into the pool
//   pool.ReleaseIdle(now, idle);               // now and then: blocks nobody used lately go
#ifndef ZK_IDL_CHUNK_MEMORY_H_
#define ZK_IDL_CHUNK_MEMORY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zk {

class BlockPool {
 public:
  using Clock = std::chrono::steady_clock;
  struct Block {
    uint8_t* data = nullptr;
    size_t size = 0;
    Clock::time_point used;
  };

  // Keeps at most `keep_bytes` of free blocks; what is given back beyond that is released.
  explicit BlockPool(size_t keep_bytes) : keep_bytes_(keep_bytes) {}
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // The smallest free block of at least `min_bytes`, or a new one (rounded up to whole large
  // pages). data is null when the system has no memory to give.
  Block Take(size_t min_bytes);
  // Back into the pool, unless the free blocks would then exceed the bytes to keep.
  void Give(Block block);
  // Releases the free blocks last given back before `now` - `idle`.
  void ReleaseIdle(Clock::time_point now, Clock::duration idle);

  size_t free_bytes() const;  // in free blocks
  size_t held_bytes() const;  // in all blocks, free or taken

 private:
  static void Release(const Block& block);

  mutable std::mutex mu_;
  size_t keep_bytes_;
  size_t held_ = 0;
  std::vector<Block> free_;
};

// Slices of pool blocks for one batch; every block goes back when the arena ends.
class ChunkArena {
 public:
  explicit ChunkArena(BlockPool* pool) : pool_(pool) {}
  ~ChunkArena();
  ChunkArena(const ChunkArena&) = delete;
  ChunkArena& operator=(const ChunkArena&) = delete;

  // `len` bytes (not zeroed), 64-byte aligned; null for 0 bytes. Throws std::bad_alloc when no
  // memory is left.
  uint8_t* Alloc(size_t len);
  // Gives every block back: what Alloc returned is no longer valid.
  void Reset();

 private:
  BlockPool* pool_;
  std::vector<BlockPool::Block> blocks_;
  size_t used_ = 0;  // of the last block
};

// Blocks a new arena asks for at least: a batch of many small chunks takes few blocks.
constexpr size_t kMinArenaBlock = 2 * 1024 * 1024;

// The piece of a chunk's data that is read, sent, received or written at a time when a chunk is
// streamed between its file and the connection: small enough to stay in the processor's cache,
// large enough that one system call moves much. Measured against 64 and 256 KiB: 256 KiB made
// uploads at the largest unit slower than at the default one, 64 KiB slowed the default unit.
constexpr size_t kChunkPieceBytes = 128 * 1024;

}  // namespace zk

#endif  // ZK_IDL_CHUNK_MEMORY_H_
