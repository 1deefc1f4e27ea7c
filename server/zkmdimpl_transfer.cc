// Chunked transfers (not yet built).
#include "server/zkmdimpl.h"

namespace zk {

CORBA::Long ZKmdImpl::zkFileUpload(const char*, const ZKmd::zkSeqFileBuf&, CORBA::Long&) {
  throw CORBA::NO_IMPLEMENT();
}
CORBA::Long ZKmdImpl::zkFileDownload(const char*, ZKmd::zkSeqFileBuf&, CORBA::Long&) {
  throw CORBA::NO_IMPLEMENT();
}

}  // namespace zk
