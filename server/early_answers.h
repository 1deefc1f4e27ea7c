// Answers that the servant gives before the arguments of a request are read, so that a peer that
// has not logged in cannot make the server hold what it sends:
//
// - every operation that needs a login, on a connection where nobody has logged in, gets its
//   failure answer at once; the ORB skips the body without keeping it (AnswerUnread);
// - zkExistsUser reads its two texts only up to kMaxLoginText bytes each (DispatchLogin).
//
// Both run from ZKmdImpl::_dispatch, which sees each request before its arguments.
#ifndef ZK_SERVER_EARLY_ANSWERS_H_
#define ZK_SERVER_EARLY_ANSWERS_H_

#include <cstddef>

#include "idl/omniorb/calls.h"
#include "idl/orb.h"

namespace zk {

// The failure answer of an operation as its reply carries it: the result, then what the
// operation's inout arguments come back as.
struct FailureAnswer {
  enum class Rest {
    kNothing,
    kEmptyFileList,                    // zkFileList: fileList empty
    kEmptyFileList64,                  // zkFileList64: fileList empty
    kIndexOne,                         // zkFileUpload: bufIndex 1
    kEmptyBuffersIndexOne,             // zkFileDownload: fileBufs empty, bufIndex 1
    kEmptyBuffers64IndexOne,           // zkFileDownload64: fileBufs empty, bufIndex 1
    kEmptyBuffers64IndexOneNoDigests,  // zkFileDownloadVerified: that, and no digests
    kReturnValueZero,                  // zkRemoteJob: retValue kJobNoReturnValue
    kKeptSizeZeroNoDigests,            // zkFileKept: keptSize 0, no digests
    kAgreedZero,                       // zkFileAgreed: agreed 0
  };
  const char* operation;
  CORBA::Long result;
  Rest rest;
};

// The failure answer of `operation` when it needs a login; null for zkExistsUser and for the
// ORB's own operations ("_is_a", "_non_existent", ...), which are served as they come.
const FailureAnswer* FailureAnswerFor(const char* operation);

// Answers `request` with `answer` without reading its arguments.
void AnswerUnread(IncomingRequest& request, const FailureAnswer& answer);

// The longest user id or password that zkExistsUser reads (the tools send at most 127 bytes).
constexpr int kMaxLoginText = 1024;

// Serves a zkExistsUser `request`, reading each text only up to kMaxLoginText bytes; a longer one
// makes the ORB refuse the request (MARSHAL) and skip it.
void DispatchLogin(IncomingRequest& request);

}  // namespace zk

#endif  // ZK_SERVER_EARLY_ANSWERS_H_
