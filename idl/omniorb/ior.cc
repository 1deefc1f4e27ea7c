// The IIOP profiles of an object reference.
#include "idl/omniorb/ior.h"

// omniIOR (the decoded reference an object reference holds) and omniObjRef::_getIOR, reached
// through CORBA::Object::_PR_getobj.
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniObjRef.h>

namespace zk {

std::vector<IIOP::ProfileBody> IiopProfiles(CORBA::Object_ptr obj) {
  std::vector<IIOP::ProfileBody> bodies;
  omniIOR* ior = obj->_PR_getobj()->_getIOR();
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    bodies.emplace_back();
    IIOP::unmarshalProfile(profiles[i], bodies.back());
  }
  ior->release();
  return bodies;
}

}  // namespace zk
