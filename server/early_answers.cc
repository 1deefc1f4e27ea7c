// Calls of our own for requests answered before (or instead of) reading their arguments: the ORB
// reads a request's arguments through the call that the servant's dispatch serves it with, so a
// call that reads nothing keeps nothing.
#include "server/early_answers.h"

#include <cstring>

#include "idl/wire.h"

namespace zk {
namespace {

using Rest = FailureAnswer::Rest;

// The operations of ZKmd that need a login, with the answers their servant functions give a
// caller who is not the user logged in on the connection.
const FailureAnswer kAnswers[] = {
    {"zkChgUserPwd", kChangeFailed, Rest::kNothing},
    {"zkExistsDir", kEntryAbsent, Rest::kNothing},
    {"zkExistsFile", kEntryAbsent, Rest::kNothing},
    {"zkFileCount", 0, Rest::kNothing},
    {"zkFileList", 0, Rest::kEmptyFileList},
    {"zkFileUpload", kTransferFileFailed, Rest::kIndexOne},
    {"zkFileUploadVerified", kTransferFileFailed, Rest::kIndexOne},
    {"zkFileDownload", kTransferFileFailed, Rest::kEmptyBuffersIndexOne},
    {"zkDirRemove", kChangeFailed, Rest::kNothing},
    {"zkFileRemove", kChangeFailed, Rest::kNothing},
    {"zkRemoteJob", kJobUnknown, Rest::kReturnValueZero},
    {"zkFileList64", 0, Rest::kEmptyFileList64},
    {"zkFileDownload64", kTransferFileFailed, Rest::kEmptyBuffers64IndexOne},
    {"zkFileDownloadVerified", kTransferFileFailed, Rest::kEmptyBuffers64IndexOneNoDigests},
    {"zkFileKept", kTransferFileFailed, Rest::kKeptSizeZeroNoDigests},
    {"zkFileResume", kTransferFileFailed, Rest::kNothing},
    {"zkFileAgreed", kTransferFileFailed, Rest::kAgreedZero},
};

// Reads none of the arguments (the rest of the request is skipped by reading it into the ORB's
// own small buffers and dropping it) and writes the failure answer.
class UnreadCall : public OwnCall {
 public:
  explicit UnreadCall(const FailureAnswer& answer) : answer_(answer) {}

  void ReadArguments(cdrStream& s) override { SkipRequestBody(s); }

  void WriteResults(cdrStream& s) override {
    answer_.result >>= s;
    switch (answer_.rest) {
      case Rest::kNothing:
        break;
      case Rest::kEmptyFileList:
        ZKmd::zkSeqFileLst() >>= s;
        break;
      case Rest::kEmptyFileList64:
        ZKmd::zkSeqFileLst64() >>= s;
        break;
      case Rest::kIndexOne:
        CORBA::Long(1) >>= s;
        break;
      case Rest::kEmptyBuffersIndexOne:
        ZKmd::zkSeqFileBuf() >>= s;
        CORBA::Long(1) >>= s;
        break;
      case Rest::kEmptyBuffers64IndexOne:
        ZKmd::zkSeqFileBuf64() >>= s;
        CORBA::Long(1) >>= s;
        break;
      case Rest::kEmptyBuffers64IndexOneNoDigests:
        ZKmd::zkSeqFileBuf64() >>= s;
        CORBA::Long(1) >>= s;
        ZKmd::DataBuffer() >>= s;
        break;
      case Rest::kReturnValueZero:
        s.marshalString(kJobNoReturnValue);
        break;
      case Rest::kKeptSizeZeroNoDigests:
        CORBA::LongLong(0) >>= s;
        ZKmd::DataBuffer() >>= s;
        break;
      case Rest::kAgreedZero:
        CORBA::LongLong(0) >>= s;
        break;
    }
  }

 private:
  const FailureAnswer& answer_;
};

// zkExistsUser with both texts read up to kMaxLoginText bytes.
class LoginCall : public OwnCall {
 public:
  void ReadArguments(cdrStream& s) override {
    user_ = s.unmarshalString(kMaxLoginText);
    password_ = s.unmarshalString(kMaxLoginText);
  }
  void Run(_impl_ZKmd* servant) override {
    result_ = servant->zkExistsUser(user_.in(), password_.in());
  }
  void WriteResults(cdrStream& s) override { result_ >>= s; }

 private:
  CORBA::String_var user_;
  CORBA::String_var password_;
  CORBA::Long result_ = 0;
};

}  // namespace

const FailureAnswer* FailureAnswerFor(const char* operation) {
  for (const FailureAnswer& a : kAnswers) {
    if (std::strcmp(a.operation, operation) == 0) return &a;
  }
  return nullptr;
}

void AnswerUnread(IncomingRequest& request, const FailureAnswer& answer) {
  UnreadCall call(answer);
  request.Serve(call);
}

void DispatchLogin(IncomingRequest& request) {
  LoginCall call;
  request.Serve(call);
}

}  // namespace zk
