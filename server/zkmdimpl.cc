// The servant's set-up and its two user operations: the password check that every client makes
// right after connecting, and the password change.
#include "server/zkmdimpl.h"

#include <omniORB4/callHandle.h>

#include "server/connection_auth.h"
#include "settings/zkdb.h"

namespace zk {

namespace {
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }
}  // namespace

ZKmdImpl::ZKmdImpl() = default;
ZKmdImpl::~ZKmdImpl() = default;

void ZKmdImpl::SetOrb(CORBA::ORB_ptr orb) {
  orb_ = CORBA::ORB::_duplicate(orb);
  InstallConnectionTracking();
}

void ZKmdImpl::SetEnvFile(const std::string& env_file) { env_file_ = env_file; }

CORBA::Boolean ZKmdImpl::_dispatch(omniCallHandle& handle) {
  CallScope scope(handle.connection(), handle.peeraddress());
  return POA_ZKmd::_dispatch(handle);
}

// -1 when the user id is registered and the password equals the stored one byte for byte; the
// calling connection is then this user's until another zkExistsUser on it. A refusal leaves
// nobody authenticated on the connection.
CORBA::Long ZKmdImpl::zkExistsUser(const char* userId, const char* password) {
  const std::string user = Text(userId);
  const void* conn = CurrentCall().conn;
  if (UserExists(env_file_, user) == 0 || ReadUserPassword(env_file_, user) != Text(password)) {
    ServerConnections().Failed(conn);
    return 0;
  }
  ServerConnections().Authenticated(conn, user);
  return -1;
}

// 0 when the environment file opened and the update ran (also when no row matched), -1 when
// the file could not be opened. The client proved the old password with zkExistsUser on this
// connection before; -1 also when it did not.
CORBA::Long ZKmdImpl::zkChgUserPwd(const char* userId, const char* newPassword) {
  if (!CallerIs(userId, "zkChgUserPwd")) return -1;
  return SetUserPassword(env_file_, Text(userId), Text(newPassword)) == 0 ? 0 : -1;
}

}  // namespace zk
