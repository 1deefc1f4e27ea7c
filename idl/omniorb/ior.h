// The IIOP profiles of an object reference, as omniORB decodes them: for tests that look at where a
// reference leads (its host, ports and object key).
#ifndef ZK_IDL_OMNIORB_IOR_H_
#define ZK_IDL_OMNIORB_IOR_H_

#include <omniORB4/CORBA.h>
// IIOP::ProfileBody and IIOP::unmarshalProfile: omniORB's decoded form of an IIOP profile.
#include <omniORB4/IIOP.h>

#include <vector>

namespace zk {

// Every IIOP profile of `obj`, in the reference's order.
std::vector<IIOP::ProfileBody> IiopProfiles(CORBA::Object_ptr obj);

}  // namespace zk

#endif  // ZK_IDL_OMNIORB_IOR_H_
