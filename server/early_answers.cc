// Call descriptors of our own for requests answered before (or instead of) reading their
// arguments: the ORB unmarshals a request's arguments through the descriptor that the servant's
// dispatch hands it, so a descriptor that reads nothing keeps nothing.
#include "server/early_answers.h"

#include <omniORB4/callDescriptor.h>
#include <omniORB4/callHandle.h>

#include <cstring>

#include "idl/omniorb_internals.h"
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
    {"zkFileDownload", kTransferFileFailed, Rest::kEmptyBuffersIndexOne},
    {"zkDirRemove", kChangeFailed, Rest::kNothing},
    {"zkFileRemove", kChangeFailed, Rest::kNothing},
    {"zkRemoteJob", kJobUnknown, Rest::kReturnValueZero},
    {"zkFileList64", 0, Rest::kEmptyFileList64},
    {"zkFileDownload64", kTransferFileFailed, Rest::kEmptyBuffers64IndexOne},
};

void NoUpcall(omniCallDescriptor*, omniServant*) {}

// Reads none of the arguments (the rest of the request is skipped by reading it into the ORB's
// own small buffers and dropping it) and writes the failure answer.
class UnreadCall : public omniCallDescriptor {
 public:
  explicit UnreadCall(const FailureAnswer& answer)
      : omniCallDescriptor(NoUpcall, answer.operation, std::strlen(answer.operation) + 1, 0,
                           nullptr, 0, 1),
        answer_(answer) {}

  void unmarshalArguments(cdrStream& s) override { SkipRequestBody(s); }

  void marshalReturnedValues(cdrStream& s) override {
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
      case Rest::kReturnValueZero:
        s.marshalString(kJobNoReturnValue);
        break;
    }
  }

 private:
  const FailureAnswer& answer_;
};

// zkExistsUser with both texts read up to kMaxLoginText bytes.
class LoginCall : public omniCallDescriptor {
 public:
  LoginCall()
      : omniCallDescriptor(Upcall, "zkExistsUser", sizeof("zkExistsUser"), 0, nullptr, 0, 1) {}

  void unmarshalArguments(cdrStream& s) override {
    user_ = s.unmarshalString(kMaxLoginText);
    password_ = s.unmarshalString(kMaxLoginText);
  }
  void marshalReturnedValues(cdrStream& s) override { result_ >>= s; }

 private:
  static void Upcall(omniCallDescriptor* cd, omniServant* servant) {
    LoginCall* call = static_cast<LoginCall*>(cd);
    _impl_ZKmd* impl = static_cast<_impl_ZKmd*>(servant->_ptrToInterface(ZKmd::_PD_repoId));
    call->result_ = impl->zkExistsUser(call->user_.in(), call->password_.in());
  }

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

void AnswerUnread(omniCallHandle& handle, PortableServer::Servant servant,
                  const FailureAnswer& answer) {
  UnreadCall call(answer);
  handle.upcall(servant, call);
}

void DispatchLogin(omniCallHandle& handle, POA_ZKmd* servant) {
  LoginCall call;
  handle.upcall(servant, call);
}

}  // namespace zk
