// The calls that move chunk data, served with their data in pooled memory: a zkFileUpload's
// chunks are read from the wire into a ChunkArena (not into a fresh buffer per chunk, as the
// generated code would), and a download fills its reply there. The arena lives until the chunks
// are stored (an upload) or the reply is written (a download), and its blocks go back to the
// server's pool then, so that the next batch finds its memory in place. Only for connections where
// somebody is logged in: the others get their answers unread (server/early_answers.h).
#ifndef ZK_SERVER_CHUNK_CALLS_H_
#define ZK_SERVER_CHUNK_CALLS_H_

#include <chrono>

#include "idl/chunk_memory.h"
#include "idl/orb.h"

class omniCallHandle;

namespace zk {

// Free blocks the server keeps between calls: one batch of the largest unit.
constexpr size_t kKeptChunkBytes = kMaxMessageBytes;
// Free blocks that no call used for this long are given back to the system.
constexpr std::chrono::seconds kChunkMemoryIdle(10);

// The server's pool of chunk memory.
BlockPool& ServerChunkPool();

// True for the operations served by ServeChunkCall.
bool IsChunkCall(const char* operation);

// Serves the request of `handle` (one of IsChunkCall) with an arena of ServerChunkPool() that the
// servant's download reaches through CurrentChunkArena(). Returns what the dispatch returns.
CORBA::Boolean ServeChunkCall(omniCallHandle& handle, POA_ZKmd* servant, const char* operation);

// The arena of the chunk call running on this thread; null outside one.
ChunkArena* CurrentChunkArena();

}  // namespace zk

#endif  // ZK_SERVER_CHUNK_CALLS_H_
