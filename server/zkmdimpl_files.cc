// Listing, existence queries and removal (not yet built).
#include "server/zkmdimpl.h"

namespace zk {

CORBA::Long ZKmdImpl::zkExistsDir(const char*, const char*) { throw CORBA::NO_IMPLEMENT(); }
CORBA::Long ZKmdImpl::zkExistsFile(const char*, const char*) { throw CORBA::NO_IMPLEMENT(); }
CORBA::Long ZKmdImpl::zkFileCount(const char*, const char*, const char*) {
  throw CORBA::NO_IMPLEMENT();
}
CORBA::Long ZKmdImpl::zkFileList(const char*, const char*, const char*, const char*,
                                 ZKmd::zkSeqFileLst&) {
  throw CORBA::NO_IMPLEMENT();
}
CORBA::Long ZKmdImpl::zkDirRemove(const char*, const char*) { throw CORBA::NO_IMPLEMENT(); }
CORBA::Long ZKmdImpl::zkFileRemove(const char*, const char*) { throw CORBA::NO_IMPLEMENT(); }

}  // namespace zk
