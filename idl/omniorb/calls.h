// Calls of ZKmd whose arguments and results zk reads and writes itself, on both sides, instead of
// through the generated stubs and skeleton: the bulk transfers (streamed data, pooled memory) and
// the answers given before a request's arguments are read. omniORB runs each call through a call
// descriptor (omniCallDescriptor), one per operation in the generated code; here one descriptor
// forwards to an OwnCall, so that nothing outside this folder sees descriptors or call handles.
#ifndef ZK_IDL_OMNIORB_CALLS_H_
#define ZK_IDL_OMNIORB_CALLS_H_

#include "idl/omniorb/streams.h"
#include "idl/orb.h"

class omniCallHandle;

namespace zk {

// One call: what it writes and reads on the wire, and what it does with a servant.
class OwnCall {
 public:
  virtual ~OwnCall() = default;
  // The client's side: the request's arguments, then the reply's values.
  virtual void WriteArguments(cdrStream& /*s*/) {}
  virtual void ReadResults(cdrStream& /*s*/) {}
  // The server's side: the request's arguments, then the reply's values.
  virtual void ReadArguments(cdrStream& /*s*/) {}
  virtual void WriteResults(cdrStream& /*s*/) {}
  // With the servant: on the server between reading the arguments and writing the results; on
  // the client in place of the wire when the target's servant is in this process.
  virtual void Run(_impl_ZKmd* /*servant*/) {}
};

// The client's side: makes `call` as the operation `operation` of `target` (a two-way call that
// raises no user exception). The ORB's system exceptions pass through.
void Invoke(ZKmd_ptr target, const char* operation, OwnCall& call);

// A request as the servant sees it before any of its arguments are read.
class IncomingRequest {
 public:
  IncomingRequest(omniCallHandle& handle, POA_ZKmd* servant) : handle_(handle), servant_(servant) {}

  const char* Operation() const;
  // The connection it came on (the same pointer for every request on one connection, reused
  // after the connection ends) and the peer's address in the ORB's form
  // ("giop:tcp:127.0.0.1:40000"; empty when unknown).
  const void* Connection() const;
  const char* PeerAddress() const;
  // The descriptor of the connection's socket; -1 for a transport without one.
  int SocketFd() const;
  // Lifts the time limit (serverCallTimeOutPeriod) on the rest of the request.
  void ClearDeadline();
  // Serves the request with `call`: its arguments read, Run, its results written.
  void Serve(OwnCall& call);
  // Serves the request as the generated skeleton does.
  CORBA::Boolean ServeAsGenerated();

 private:
  omniCallHandle& handle_;
  POA_ZKmd* servant_;
};

// A servant of ZKmd that sees every request before its arguments are read.
class DispatchingServant : public POA_ZKmd {
 public:
  CORBA::Boolean _dispatch(omniCallHandle& handle) final;

 protected:
  // Serves `request` (usually through IncomingRequest::Serve or ServeAsGenerated); returns false
  // for an operation this interface does not have.
  virtual CORBA::Boolean Dispatch(IncomingRequest& request) = 0;
};

}  // namespace zk

#endif  // ZK_IDL_OMNIORB_CALLS_H_
