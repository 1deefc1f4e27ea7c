// The state of one server: its audit trail, who is logged in on which connection, what each peer holds, the
// connections waiting for a login, the uploads in progress, the login throttle, the chunk memory
// kept between calls, the bytes each storage area holds, the figures for the metrics file and
// the reader of the users. zksvr's main builds one and hands it to the servant and to the ORB's
// connection hooks; a unit test builds one of its own.
#ifndef ZK_SERVER_SERVER_STATE_H_
#define ZK_SERVER_SERVER_STATE_H_

#include <memory>
#include <string>
#include <utility>

#include "idl/chunk_memory.h"
#include "server/area_usage.h"
#include "server/audit.h"
#include "server/audit_events.h"
#include "server/chunk_calls.h"
#include "server/closing_queue.h"
#include "server/connection_auth.h"
#include "server/connection_limits.h"
#include "server/freed_memory.h"
#include "server/kept_uploads.h"
#include "server/login_throttle.h"
#include "server/metrics.h"
#include "server/uploads.h"
#include "settings/zkdb.h"

namespace zk {

struct ServerState {
  // First, so that it outlives everything that records into it. Off until StartAudit.
  AuditLog audit;
  TransferAudit transfer_audit{&audit};
  ClosingQueue closing;  // outlives the uploads that hand it files
  ConnectionAuth connections;
  PeerLimit peers{kMaxConnectionsPerPeer, SocketStillOpen};
  LoginWatch login_watch{kLoginWait};
  UploadTable uploads;
  KeptUploads kept;
  LoginThrottle throttle;
  BlockPool chunk_pool{kKeptChunkBytes};
  FreedMemory freed_memory;  // by the calls that move bulk
  // How many bytes each storage area holds, for the users' storage limits; a count takes what the
  // uploads in progress hold from their table.
  AreaUsage area_usage{[this](const std::string& dir) { return uploads.BytesIn(dir); }};
  Metrics metrics;
  // zkExistsUser's reader of the users of the server environment file: one connection to it,
  // kept open (settings/zkdb.h). Null until ReadUsersFrom.
  std::unique_ptr<UserReader> users;

  // From now on the operations' records go to `sink`.
  void StartAudit(std::unique_ptr<AuditSink> sink) {
    audit.Start(std::move(sink));
    transfer_audit.Start();
  }

  // A login waits at most `busy_timeout_ms` for a file that another process has locked.
  void ReadUsersFrom(const std::string& env_file, int busy_timeout_ms) {
    users = std::make_unique<UserReader>(env_file, busy_timeout_ms);
  }
};

}  // namespace zk

#endif  // ZK_SERVER_SERVER_STATE_H_
