// The servant's set-up and its two user operations: the password check that every client makes
// right after connecting, and the password change.
#include "server/zkmdimpl.h"

#include "settings/zkdb.h"

namespace zk {

namespace {
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }
}  // namespace

ZKmdImpl::ZKmdImpl() = default;
ZKmdImpl::~ZKmdImpl() = default;

void ZKmdImpl::SetOrb(CORBA::ORB_ptr orb) { orb_ = CORBA::ORB::_duplicate(orb); }

void ZKmdImpl::SetEnvFile(const std::string& env_file) { env_file_ = env_file; }

// -1 when the user id is registered and the password equals the stored one byte for byte.
CORBA::Long ZKmdImpl::zkExistsUser(const char* userId, const char* password) {
  const std::string user = Text(userId);
  if (UserExists(env_file_, user) == 0) return 0;
  return ReadUserPassword(env_file_, user) == Text(password) ? -1 : 0;
}

// 0 when the environment file opened and the update ran (also when no row matched), -1 when
// the file could not be opened. The client proved the old password with zkExistsUser before.
CORBA::Long ZKmdImpl::zkChgUserPwd(const char* userId, const char* newPassword) {
  return SetUserPassword(env_file_, Text(userId), Text(newPassword)) == 0 ? 0 : -1;
}

}  // namespace zk
