// The contract of ZKmd beyond its IDL: every result value, marker and fixed text that one side
// sends and the other tests, one name each. The server answers with these names and the client
// tools test for them; a literal of the protocol anywhere else is a second definition.
//
//   if (server->zkFileUpload(user, batch, index) == kTransferDirFailed) ...
//   if (std::strcmp(entry.fileType.in(), kDirType) == 0) ...
//
// Time texts on the wire ("yyyy/mm/dd hh:nn:ss", kTimeTextLength characters) belong to
// platform/timetext.h; server paths use "\" between their parts.
#ifndef ZK_IDL_WIRE_H_
#define ZK_IDL_WIRE_H_

#include <cstdint>

namespace zk {

// zkExistsUser, in the truth values of the settings store: -1 the password matched, 0 not.
constexpr int32_t kLoginAccepted = -1;
constexpr int32_t kLoginRefused = 0;

// zkExistsDir and zkExistsFile: 1 the entry is there, 0 not. Callers test for non-zero.
constexpr int32_t kEntryExists = 1;
constexpr int32_t kEntryAbsent = 0;

// zkChgUserPwd, zkDirRemove and zkFileRemove: 0 done (or attempted), -1 refused or failed.
constexpr int32_t kChangeDone = 0;
constexpr int32_t kChangeFailed = -1;

// zkFileUpload and zkFileDownload. With a failure, bufIndex names the 1-based position of the
// chunk that failed.
constexpr int32_t kTransferOk = 0;
constexpr int32_t kTransferFileFailed = 20;  // a file not created, opened, read or written
constexpr int32_t kTransferDirFailed = 21;   // upload: a directory not created
// Answered only by zkFileUploadVerified, which only this version's tools call; the earlier
// operations answer 20 for both.
constexpr int32_t kTransferCorrupt = 22;    // a chunk's data differs from its digest
constexpr int32_t kTransferQuotaFull = 23;  // the upload would take the area past its limit

// zkFileKept: the blocks whose digests say how much of a kept upload agrees with its source.
constexpr int64_t kResumeBlockBytes = 16 * 1024 * 1024;

// zkRemoteJob.
constexpr int32_t kJobStarted = 0;          // started (and, in wait mode, finished)
constexpr int32_t kJobUnknown = -10;        // no such job id (or no such user)
constexpr int32_t kJobNoProgram = -11;      // no file at the job's program path
constexpr int32_t kJobWrongPassword = -20;  // the run password differs
constexpr int32_t kJobStartFailed = -30;    // wait mode: the process could not be created
// runMode: exactly this text waits for the job; anything else starts it and returns.
constexpr char kJobWaitMode[] = "1";
constexpr char kJobNoWaitMode[] = "0";
// retValue when no waited-for job gave an exit code.
constexpr char kJobNoReturnValue[] = "0";

// zkFileList: fileType of a directory (a file has "").
constexpr char kDirType[] = "<DIR>";
// zkFileList sortKey codes; "" leaves the entries in search order.
constexpr char kSortByName[] = "nm";
constexpr char kSortDirsFirst[] = "df";
constexpr char kSortByBaseName[] = "fn";
constexpr char kSortBySize[] = "sz";
constexpr char kSortByTime[] = "dt";

// The mask that matches every entry of a directory.
constexpr char kEveryEntry[] = "*.*";

}  // namespace zk

#endif  // ZK_IDL_WIRE_H_
