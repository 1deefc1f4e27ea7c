// The ORB's marshalling streams, for the code that reads and writes messages of its own
// (idl/omniorb/calls.h): cdrStream with the marshalling operators and octet-array calls that
// omniidl's generated code uses, cdrMemoryStream and cdrEncapsulationStream (a message or an
// encapsulation in memory, for tests) and cdrCountingStream (the pass that sizes a GIOP 1.0
// message before it is written). They are the
// interface between generated code and its ORB, so they change only with omniidl's output.
#ifndef ZK_IDL_OMNIORB_STREAMS_H_
#define ZK_IDL_OMNIORB_STREAMS_H_

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

namespace zk {

// True for the counting pass of a message that the ORB sizes before sending it: it adds up
// lengths, and the data written to it is not read.
bool IsCountingStream(cdrStream& s);

// True when `s` writes a message that the ORB sizes before sending it (GIOP 1.0, which has no
// fragments). omniORB counts such a message while it is being written, and its count comes out a
// few bytes off when an octet array is written in several parts (the peer then waits for bytes
// that never come): the data of one chunk must then be written with one call.
bool SizedBeforeSending(cdrStream& s);

// Skips the rest of the request body that is being read from `s`, reading it into the ORB's own
// small buffers and dropping it, so that nothing of it is kept.
void SkipRequestBody(cdrStream& s);

}  // namespace zk

#endif  // ZK_IDL_OMNIORB_STREAMS_H_
