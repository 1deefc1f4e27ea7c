// Remote jobs (not yet built).
#include "server/zkmdimpl.h"

namespace zk {

CORBA::Long ZKmdImpl::zkRemoteJob(const char*, const char*, const char*, const char*, const char*,
                                  char*&) {
  throw CORBA::NO_IMPLEMENT();
}

}  // namespace zk
