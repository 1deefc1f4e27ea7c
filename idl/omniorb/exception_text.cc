// The text form of an exception.
#include "idl/orb.h"

// operator<< of CORBA::Exception and its kinds: omniORB's own text form of an exception
// ("CORBA::TRANSIENT(TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)"). The header is not included by
// CORBA.h, and the manual does not describe it.
#include <omniORB4/streamOperators.h>

#include <sstream>

namespace zk {

std::string ExceptionText(const CORBA::Exception& e) {
  std::ostringstream os;
  os << e;
  return os.str();
}

}  // namespace zk
