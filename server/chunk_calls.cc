// Chunk calls with their data in pooled memory.
#include "server/chunk_calls.h"

#include <omniORB4/callDescriptor.h>
#include <omniORB4/callHandle.h>

#include <cstring>

#include "idl/chunk_wire.h"

namespace zk {
namespace {

thread_local ChunkArena* current_arena = nullptr;

// The arena of the call on this thread for as long as it lives.
class ArenaScope {
 public:
  explicit ArenaScope(ChunkArena* arena) : previous_(current_arena) { current_arena = arena; }
  ~ArenaScope() { current_arena = previous_; }
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;

 private:
  ChunkArena* previous_;
};

// zkFileUpload with its chunks' data read into the arena.
class UploadCall : public omniCallDescriptor {
 public:
  explicit UploadCall(ChunkArena* arena)
      : omniCallDescriptor(Upcall, "zkFileUpload", sizeof("zkFileUpload"), 0, nullptr, 0, 1),
        arena_(arena) {}

  void unmarshalArguments(cdrStream& s) override {
    user_ = s.unmarshalString(0);
    ReadChunks(s, arena_, &chunks_);
    index_ <<= s;
  }
  void marshalReturnedValues(cdrStream& s) override {
    result_ >>= s;
    index_ >>= s;
  }

 private:
  static void Upcall(omniCallDescriptor* cd, omniServant* servant) {
    UploadCall* call = static_cast<UploadCall*>(cd);
    _impl_ZKmd* impl = static_cast<_impl_ZKmd*>(servant->_ptrToInterface(ZKmd::_PD_repoId));
    call->result_ = impl->zkFileUpload(call->user_.in(), call->chunks_, call->index_);
    // The data is stored: its blocks go back before the reply lets the client send the next
    // batch, which another thread of the connection may read at once (and would otherwise get
    // blocks of its own).
    call->arena_->Reset();
  }

  ChunkArena* arena_;
  CORBA::String_var user_;
  ZKmd::zkSeqFileBuf chunks_;
  CORBA::Long index_ = 0;
  CORBA::Long result_ = 0;
};

}  // namespace

BlockPool& ServerChunkPool() {
  static BlockPool* pool = new BlockPool(kKeptChunkBytes);  // outlives the ORB's last thread
  return *pool;
}

bool IsChunkCall(const char* operation) {
  return std::strcmp(operation, "zkFileUpload") == 0 ||
         std::strcmp(operation, "zkFileDownload") == 0 ||
         std::strcmp(operation, "zkFileDownload64") == 0;
}

CORBA::Boolean ServeChunkCall(omniCallHandle& handle, POA_ZKmd* servant, const char* operation) {
  // The arena outlives the call descriptor, whose sequences point into it, and the reply, which
  // is written before the upcall returns.
  ChunkArena arena(&ServerChunkPool());
  ArenaScope scope(&arena);
  if (std::strcmp(operation, "zkFileUpload") == 0) {
    UploadCall call(&arena);
    handle.upcall(servant, call);
    return true;
  }
  return servant->POA_ZKmd::_dispatch(handle);
}

ChunkArena* CurrentChunkArena() { return current_arena; }

}  // namespace zk
