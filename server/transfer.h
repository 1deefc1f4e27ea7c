// The server's side of the chunk protocol: storing uploaded chunks and filling download requests
// inside one user's storage directory. The servant looks the directory up; these functions do
// the rest through a FileSystem, so tests can run them on a scratch directory.
#ifndef ZK_SERVER_TRANSFER_H_
#define ZK_SERVER_TRANSFER_H_

#include <string>

#include "idl/orb.h"
#include "platform/fs.h"

namespace zk {

// Results of zkFileUpload / zkFileDownload.
constexpr CORBA::Long kTransferOk = 0;
constexpr CORBA::Long kTransferFileFailed = 20;
constexpr CORBA::Long kTransferDirFailed = 21;

// Stores `chunks` in order below `area` (the storage directory, ending in "/"; empty when the
// caller has none, which fails the first chunk). A chunk with bufNo 1 creates or truncates its
// file, any other appends; the last chunk of a file (nextBuf FALSE) sets its last-write time.
// Returns 0, 20 (file not created, opened or written; path refused) or 21 (directory not
// created). *index is 0 after success, else the 1-based position of the failing chunk; the
// chunks before it are stored.
CORBA::Long StoreChunks(FileSystem* fs, const std::string& area, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long* index);

// Fills each request of `chunks` from the file below `area`: fileSize, updDt, crtDt and
// bufUnitSize bytes from bufPos (zero bytes past the end of the file). Refuses (20) a missing or
// unreadable file, a refused path, a negative position or length, and lengths that would not
// fit in one reply. Returns 0 or 20 with *index as in StoreChunks.
CORBA::Long FillChunks(FileSystem* fs, const std::string& area, ZKmd::zkSeqFileBuf& chunks,
                       CORBA::Long* index);

}  // namespace zk

#endif  // ZK_SERVER_TRANSFER_H_
