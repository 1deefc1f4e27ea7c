// The IIOP profiles of an object reference, as omniORB decodes them: for tests that look at where a
// reference leads (its host, ports and object key).
#ifndef ZK_TESTS_IOR_H_
#define ZK_TESTS_IOR_H_

#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>

#include <vector>

namespace zk {
namespace test {

// Every IIOP profile of `obj`, in the reference's order.
std::vector<IIOP::ProfileBody> IiopProfiles(CORBA::Object_ptr obj);

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_IOR_H_
