// Direct calls to the server over a GIOP connection of their own, as no tool makes them: each
// DirectClient gets a connection that no other one shares, so that tests can tell connections
// apart (the server binds a login to its connection). A test binary that includes this header
// links omniConnectionMgmt4 (tests/CMakeLists.txt).
#ifndef ZK_TESTS_DIRECT_CLIENT_H_
#define ZK_TESTS_DIRECT_CLIENT_H_

#include <omniORB4/omniConnectionMgmt.h>

#include <string>
#include <vector>

#include "tests/server_fixture.h"

namespace zk {
namespace test {

// The connection management extension, set up before the test process's ORB, so that each
// DirectClient gets a connection of its own.
class ClientOrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    omniConnectionMgmt::init();
    TestOrb();
  }
};
inline ::testing::Environment* const kClientOrb =
    ::testing::AddGlobalTestEnvironment(new ClientOrbEnvironment);

// The server's interface over a GIOP connection that no other DirectClient shares.
class DirectClient {
 public:
  DirectClient(int ns_port, CORBA::ULong connection_id) {
    ZKmd_var found = ResolveServer(ns_port);
    CORBA::Object_var own = omniConnectionMgmt::makeRestrictedReference(found.in(), connection_id,
                                                                        1, 1, false, false, false);
    server_ = ZKmd::_narrow(own.in());
  }
  ZKmd_ptr operator->() { return server_.in(); }

  // Lists with `slots` slots; the names of the slots that came back (empty for untouched ones).
  long List(const char* user, CORBA::ULong slots, std::vector<std::string>* names) {
    ZKmd::zkSeqFileLst_var list = new ZKmd::zkSeqFileLst();
    list->length(slots);
    long result = server_->zkFileList(user, ".\\", "*.*", "", list.inout());
    names->clear();
    for (CORBA::ULong i = 0; i < list->length(); ++i) names->push_back(list[i].fileNm.in());
    return result;
  }
  long Upload(const char* user, const std::string& name, const std::string& data,
              CORBA::Long* index) {
    ZKmd::zkSeqFileBuf bufs = OneChunk(name, data, 0, static_cast<long>(data.size()));
    *index = 0;
    return server_->zkFileUpload(user, bufs, *index);
  }
  long Download(const char* user, const std::string& name, std::string* data, CORBA::Long* index) {
    ZKmd::zkSeqFileBuf bufs = OneChunk(name, "", 0, 64);
    *index = 0;
    long result = server_->zkFileDownload(user, bufs, *index);
    data->clear();
    if (bufs.length() == 0) return result;
    const ZKmd::zkStrctFileBuf& c = bufs[0];
    data->assign(reinterpret_cast<const char*>(c.fileBuf.get_buffer()), c.fileBuf.length());
    return result;
  }
  ZKmd_ptr get() { return server_.in(); }

 private:
  ZKmd_var server_;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_DIRECT_CLIENT_H_
