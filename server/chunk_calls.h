// The calls that move chunk data, streamed between the connection and the files: a
// zkFileUpload's large chunks are written into their files piece by piece as they come off the
// connection, its small ones read into a ChunkArena (not into a fresh buffer per chunk, as the
// generated code would) and stored from there. A download's large chunks are read from their files
// piece by piece while the reply is written, through one piece of pooled memory, so that reading
// the files overlaps sending; its small chunks are read into the arena first. The arena lives until
// the chunks are stored (an upload) or the reply is written (a download), and its blocks go back to
// the server's pool then, so that the next batch finds its memory in place. Only for connections
// where somebody is logged in: the others get their answers unread (server/early_answers.h).
#ifndef ZK_SERVER_CHUNK_CALLS_H_
#define ZK_SERVER_CHUNK_CALLS_H_

#include <chrono>

#include "idl/chunk_memory.h"
#include "idl/omniorb/calls.h"
#include "idl/orb.h"

namespace zk {
class ChunkSource;
class DownloadBatchAudit;
class ZKmdImpl;
}  // namespace zk

namespace zk {

// Free blocks the server keeps between calls: one batch of the largest unit.
constexpr size_t kKeptChunkBytes = kMaxMessageBytes;
// Free blocks that no call used for this long are given back to the system.
constexpr std::chrono::seconds kChunkMemoryIdle(10);

// True for the operations served by ServeChunkCall.
bool IsChunkCall(const char* operation);

// Serves `request` (one of IsChunkCall) with an arena of the server's chunk pool: an
// upload's chunks are read into it, a download's small chunks are read into it and its large ones
// streamed from their files while the reply is written. Returns what the dispatch returns.
CORBA::Boolean ServeChunkCall(IncomingRequest& request, ZKmdImpl* servant);

// Writes a download reply's values (result, chunks, bufIndex) as the generated code does, with the
// data of each chunk that `source` describes taken from it, read piece by piece into `piece`
// (kChunkPieceBytes; not used on a counting stream, which only adds up lengths and reads
// nothing). Throws CORBA::PERSIST_STORE when a read fails: the reply must not complete then.
// With `whole`, each such chunk is read whole into memory of that arena and written at once, for a
// message that the ORB sizes before sending it (idl/omniorb/streams.h, SizedBeforeSending).
// `audit` (when given) is told each chunk's data as it is written, and each chunk served; a
// counting stream tells it nothing.
void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole = nullptr, DownloadBatchAudit* audit = nullptr);
void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole = nullptr, DownloadBatchAudit* audit = nullptr);
// The reply of zkFileDownloadVerified: the same, then each chunk's digest (platform/digest.h) of
// the data as it was read and written (a counting stream counts zeros in their place).
void WriteVerifiedDownloadReply(cdrStream& s, CORBA::Long result,
                                const ZKmd::zkSeqFileBuf64& chunks, CORBA::Long index,
                                ChunkSource* source, CORBA::Octet* piece,
                                ChunkArena* whole = nullptr, DownloadBatchAudit* audit = nullptr);

// Reads the arguments of a zkFileUpload request from `s` and stores its chunks as ServeChunkCall
// does (each chunk as it comes off the stream, a large one piece by piece); the result, and the
// failing chunk's position in *index. For tests of what the server makes of a request's bytes.
CORBA::Long StoreUploadRequest(cdrStream& s, ZKmdImpl* servant, CORBA::Long* index);

}  // namespace zk

#endif  // ZK_SERVER_CHUNK_CALLS_H_
