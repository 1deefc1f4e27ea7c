#include "server/freed_memory.h"

#include <malloc.h>

namespace zk {

bool FreedMemory::GiveBack() {
  if (!pending_.exchange(false, std::memory_order_relaxed)) return false;
  if (mallinfo2().fordblks > kKeepFreeBytes) malloc_trim(0);
  return true;
}

}  // namespace zk
