// Call descriptors that forward to an OwnCall.
#include "idl/omniorb/calls.h"

// omniCallDescriptor: the object through which the ORB marshals one call's arguments and results
// and makes its upcall (its constructor's arguments and the four virtual marshalling functions,
// as generated code uses them). omniCallHandle: the server's view of a request in _dispatch
// (operation_name, connection, peeraddress, upcall).
#include <omniORB4/callDescriptor.h>
#include <omniORB4/callHandle.h>

#include <cstring>

#include "idl/omniorb/internals.h"

namespace zk {
namespace {

// The servant of ZKmd behind the ORB's servant, as the generated skeleton finds it.
_impl_ZKmd* ZKmdOf(omniServant* servant) {
  return static_cast<_impl_ZKmd*>(servant->_ptrToInterface(ZKmd::_PD_repoId));
}

class Descriptor : public omniCallDescriptor {
 public:
  Descriptor(const char* operation, OwnCall& call, bool upcall)
      : omniCallDescriptor(Run, operation, static_cast<int>(std::strlen(operation) + 1), 0, nullptr,
                           0, upcall),
        call_(call) {}

  void marshalArguments(cdrStream& s) override { call_.WriteArguments(s); }
  void unmarshalReturnedValues(cdrStream& s) override { call_.ReadResults(s); }
  void unmarshalArguments(cdrStream& s) override { call_.ReadArguments(s); }
  void marshalReturnedValues(cdrStream& s) override { call_.WriteResults(s); }

 private:
  static void Run(omniCallDescriptor* cd, omniServant* servant) {
    static_cast<Descriptor*>(cd)->call_.Run(ZKmdOf(servant));
  }

  OwnCall& call_;
};

}  // namespace

// omniObjRef::_invoke, reached through the object reference: what a generated stub calls.
void Invoke(ZKmd_ptr target, const char* operation, OwnCall& call) {
  Descriptor descriptor(operation, call, false);
  target->_invoke(descriptor);
}

const char* IncomingRequest::Operation() const { return handle_.operation_name(); }

const void* IncomingRequest::Connection() const { return handle_.connection(); }

const char* IncomingRequest::PeerAddress() const {
  const char* peer = handle_.peeraddress();
  return peer ? peer : "";
}

int IncomingRequest::SocketFd() const { return ConnectionSocket(handle_.connection()); }

void IncomingRequest::ClearDeadline() { ClearRequestDeadline(handle_); }

void IncomingRequest::Serve(OwnCall& call) {
  Descriptor descriptor(Operation(), call, true);
  handle_.upcall(servant_, descriptor);
}

CORBA::Boolean IncomingRequest::ServeAsGenerated() { return servant_->POA_ZKmd::_dispatch(handle_); }

// _dispatch(omniCallHandle&): the skeleton's entry point for every request, overridden.
CORBA::Boolean DispatchingServant::_dispatch(omniCallHandle& handle) {
  IncomingRequest request(handle, this);
  return Dispatch(request);
}

}  // namespace zk
