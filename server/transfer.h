// The server's side of the chunk protocol: storing uploaded chunks and filling download requests
// inside one user's storage area. The servant opens the area as a confined file system
// (server/storage.h); these functions do the rest through it, so tests can run them on a scratch
// directory.
#ifndef ZK_SERVER_TRANSFER_H_
#define ZK_SERVER_TRANSFER_H_

#include <string>

#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/fs.h"

namespace zk {

// Stores `chunks` in order in `area` (the storage area's own file system, FileSystem::Beneath;
// null when the caller has none, which fails the first chunk). A chunk with bufNo 1 creates or
// truncates its file, any other appends; the last chunk of a file (nextBuf FALSE) sets its
// last-write time. Returns 0, 20 (file not created, opened or written; not a regular file; path
// refused) or 21 (directory not created). *index is 0 after success, else the 1-based position
// of the failing chunk; the chunks before it are stored.
CORBA::Long StoreChunks(FileSystem* area, const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index);

// What a download reply takes besides its chunks, at most: the GIOP and reply headers (with room
// for service contexts), the result, the sequence length and bufIndex.
constexpr int64_t kReplyEnvelopeBytes = 1024;
// What the chunk `c` takes in a download reply once filled, at most: its bufUnitSize bytes of
// data, its texts (the times as the server writes them) and its fixed fields.
int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c);

// Fills each request of `chunks` from the file in `area`: fileSize, updDt, crtDt and bufUnitSize
// bytes from bufPos (zero bytes past the end of the file). Refuses (20) a missing, unreadable or
// not regular file, a refused path, a negative position or length, and lengths that would not
// fit in one reply with their headers (kMaxMessageBytes). Returns 0 or 20 with *index as in
// StoreChunks.
CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index);

}  // namespace zk

#endif  // ZK_SERVER_TRANSFER_H_
