// Chunk sequences read from the wire with their data in a ChunkArena instead of a fresh buffer
// per chunk (what the generated code does). Used by the call descriptors of the bulk operations
// on both sides.
#ifndef ZK_IDL_CHUNK_WIRE_H_
#define ZK_IDL_CHUNK_WIRE_H_

#include "idl/chunk_memory.h"
#include "idl/orb.h"

class cdrStream;

namespace zk {

// Reads a zkSeqFileBuf / zkSeqFileBuf64 as the ORB marshals it into `chunks`; each chunk's data
// lies in `arena` and is not owned by its sequence, so `chunks` must end before the arena.
// Throws the ORB's MARSHAL exception for a length the rest of the message cannot hold.
void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf* chunks);
void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf64* chunks);

// zkFileDownload64 of `server` as the generated stub makes it, but with the reply's data read
// into `arena`: `batch` holds the requests and then the reply, whose data is valid for as long
// as the arena holds it.
CORBA::Long DownloadInto(ZKmd_ptr server, const char* user, ZKmd::zkSeqFileBuf64* batch,
                         CORBA::Long* index, ChunkArena* arena);

}  // namespace zk

#endif  // ZK_IDL_CHUNK_WIRE_H_
