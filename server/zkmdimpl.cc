// The servant's set-up and its two user operations: the password check that every client makes
// right after connecting, and the password change.
#include "server/zkmdimpl.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "idl/wire.h"
#include "platform/console.h"
#include "server/audit.h"
#include "server/audit_events.h"
#include "server/chunk_calls.h"
#include "server/connection_auth.h"
#include "server/early_answers.h"
#include "server/login_throttle.h"
#include "server/metrics.h"
#include "server/server_state.h"
#include "settings/zkdb.h"

namespace zk {

namespace {

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// How long a login waits for a registry that another process has locked. Writers hold the lock
// for milliseconds; a lock held longer refuses the login rather than keep the client waiting.
constexpr int kLoginBusyTimeoutMs = 1000;

using Clock = std::chrono::steady_clock;

// One log line about a refused login: the reason, then in parentheses any detail, the user id
// and the peer.
void LogRefusedLogin(const std::string& reason, const std::string& user,
                     const std::string& detail = "") {
  const std::string& peer = CurrentCall().peer;
  PrintErr("WARNING:" + reason + "(" + (detail.empty() ? "" : detail + "; ") + LogText(user) + " " +
           (peer.empty() ? "-" : peer) + ")");
}

// The audit record of a login that began at `started`: accepted (no `why`), or refused and why.
void AuditLogin(AuditLog* audit, const std::string& user, CORBA::Long result, const char* why,
                Clock::time_point started) {
  if (!audit->on()) return;
  AuditRecord r = CallRecord(AuditEvent::kLogin, user, started);
  r.result = result;
  r.reason = why ? why : "";
  audit->Record(std::move(r));
}

// The operations whose arguments or replies may be large.
bool CarriesBulk(const char* op) {
  for (const char* bulk :
       {"zkFileList", "zkFileList64", "zkFileUpload", "zkFileDownload", "zkFileDownload64",
        "zkFileDownloadVerified", "zkFileUploadVerified"}) {
    if (std::strcmp(op, bulk) == 0) return true;
  }
  return false;
}

}  // namespace

ZKmdImpl::ZKmdImpl(ServerState* state) : state_(state) {}
ZKmdImpl::~ZKmdImpl() = default;

void ZKmdImpl::SetEnvFile(const std::string& env_file) {
  env_file_ = env_file;
  state_->ReadUsersFrom(env_file, kLoginBusyTimeoutMs);
}

// Sees every request before its arguments are read. On a connection where nobody has logged in,
// an operation that needs a login gets its failure answer unread, and zkExistsUser reads short
// texts only; a logged-in connection is served in full, its request body given all the time it
// needs. After the calls that move bulk, the memory they used goes back to the system.
CORBA::Boolean ZKmdImpl::Dispatch(IncomingRequest& request) {
  CallScope scope(request.Connection(), request.PeerAddress(), request.SocketFd());
  const char* op = request.Operation();
  // Counted when served (server/metrics.h); the ORB's own requests ("_is_a", "_non_existent")
  // are not the server's work.
  std::optional<RequestCount> count;
  if (op[0] != '_') count.emplace(&state_->metrics, op);
  const bool logged_in = state_->connections.HasLogin(request.Connection());
  // The ORB gives the rest of a request kServerCallTimeoutMs to arrive once its header has; a
  // peer that stops sending is disconnected then. A logged-in user's batch may take as long as
  // the network needs.
  if (logged_in) request.ClearDeadline();
  if (!logged_in) {
    if (const FailureAnswer* answer = FailureAnswerFor(op)) {
      const std::string& peer = CurrentCall().peer;
      PrintErr(std::string("WARNING:認証されていない接続からの要求を拒否しました。(") + op + " - " +
               (peer.empty() ? "-" : peer) + ")");
      NoteRefused();
      AnswerUnread(request, *answer);
      return true;
    }
    if (std::strcmp(op, "zkExistsUser") == 0) {
      DispatchLogin(request);
      return true;
    }
  }
  CORBA::Boolean served =
      IsChunkCall(op) ? ServeChunkCall(request, this) : request.ServeAsGenerated();
  if (CarriesBulk(op)) state_->freed_memory.BulkCallEnded();
  return served;
}

// kLoginAccepted when the user id is registered with a password that equals `password` byte for
// byte; the calling connection is then this user's until another zkExistsUser on it. Everything
// else is kLoginRefused with one log line saying why, and leaves nobody authenticated on the
// connection: an unknown user, a wrong or empty password, a registry that cannot be read (not a
// database, locked), and an attempt that the throttle holds back (too many failures for the user id
// or the peer).
CORBA::Long ZKmdImpl::zkExistsUser(const char* userId, const char* password) {
  const Clock::time_point started = Clock::now();
  const std::string user = Text(userId);
  const CallOrigin& origin = CurrentCall();
  // Every refusal is logged and audited, with why.
  auto refuse = [&](const char* why, const std::string& text, const std::string& detail = "") {
    LogRefusedLogin(text, user, detail);
    AuditLogin(&state_->audit, user, kLoginRefused, why, started);
    return kLoginRefused;
  };
  // Whatever happens below, nobody is logged in on the connection until the password matched.
  LoginFailed(state_);

  const std::string peer = PeerHost(origin.peer);
  // The throttle keeps its counts by user id; a logged-in connection may send a longer one than
  // a new one can (server/early_answers.h), but it is not kept whole.
  const std::string key = user.substr(0, kMaxLoginText);
  LoginThrottle::Clock::duration wait;
  if (!state_->throttle.Admit(key, peer, &wait)) {
    state_->metrics.CountLoginHeldBack();
    long seconds = static_cast<long>(std::chrono::ceil<std::chrono::seconds>(wait).count());
    return refuse("held-back", "認証に失敗が続いたため、あと" + std::to_string(seconds) +
                                   "秒は認証を受け付けません。");
  }

  // The attempt's outcome goes to the throttle on every way out below.
  bool matched = false;
  struct Outcome {
    LoginThrottle& throttle;
    const std::string& key;
    const std::string& peer;
    const bool& matched;
    ~Outcome() { throttle.Done(key, peer, matched, LoginThrottle::Clock::now()); }
  } outcome{state_->throttle, key, peer, matched};

  UserRow row;
  std::string error;
  switch (state_->users ? state_->users->Read(user, &row, &error) : ReadStatus::kFailed) {
    case ReadStatus::kFailed:
      return refuse("registry-unreadable",
                    "サーバ環境設定ファイルを読めないため、認証を拒否しました。",
                    env_file_ + ": " + error);
    case ReadStatus::kMissing:
      return refuse("unknown-user", "認証に失敗しました。ユーザが登録されていません。");
    case ReadStatus::kFound:
      break;
  }
  const std::string& stored = row.password;
  if (stored.empty()) {
    return refuse("no-password", "認証に失敗しました。パスワードが登録されていません。");
  }
  if (stored != Text(password)) {
    return refuse("wrong-password", "認証に失敗しました。パスワードが違います。");
  }
  matched = true;
  LoginSucceeded(state_, user);
  AuditLogin(&state_->audit, user, kLoginAccepted, nullptr, started);
  return kLoginAccepted;
}

// kChangeDone when the row was rewritten (also when the user has no row), kChangeFailed when the
// file could not be opened, read or written. The settings store's answer becomes the wire's here
// and nowhere else. The client proved the old password with zkExistsUser on this connection
// before; kChangeFailed also when it did not. An empty new password is refused and the old one
// kept: it would be stored as filler that nobody knows.
CORBA::Long ZKmdImpl::zkChgUserPwd(const char* userId, const char* newPassword) {
  const Clock::time_point started = Clock::now();
  const CORBA::Long result = ChangePassword(userId, newPassword);
  if (state_->audit.on()) {
    AuditRecord r = CallRecord(AuditEvent::kPassword, Text(userId), started);
    r.result = result;
    state_->audit.Record(std::move(r));
  }
  return result;
}

CORBA::Long ZKmdImpl::ChangePassword(const char* userId, const char* newPassword) {
  if (!CallerIs(state_->connections, userId, "zkChgUserPwd")) return kChangeFailed;
  if (Text(newPassword).empty()) return kChangeFailed;
  // A user deleted since the login has no row: nothing changes, and that is no failure.
  return SetUserPassword(env_file_, Text(userId), Text(newPassword)) == WriteStatus::kFailed
             ? kChangeFailed
             : kChangeDone;
}

}  // namespace zk
