#include "server/freed_memory.h"

#include <malloc.h>

namespace zk {

void FreedMemory::GiveBack() {
  if (pending_.exchange(false, std::memory_order_relaxed) &&
      mallinfo2().fordblks > kKeepFreeBytes) {
    malloc_trim(0);
  }
}

}  // namespace zk
