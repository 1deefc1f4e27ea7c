// zksvr: serves ZKmd to the client tools. Reads server.zkd, registers one servant in the naming
// service as "ZKmdImpl" and runs the ORB until SIGTERM or SIGINT, then tears down and exits 0.
// Under systemd it says when it is ready, how many connections it has, that its ORB still answers
// (the watchdog) and that it stops; with zkMetricsFile in server.conf it writes its figures there.
#include <ace/OS_main.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "platform/service_manager.h"
#include "server/audit.h"
#include "server/connection_auth.h"
#include "server/metrics.h"
#include "server/server_state.h"
#include "server/service_status.h"
#include "server/uploads.h"
#include "server/wire_text.h"
#include "server/zkmdimpl_wire.h"
#include "settings/envfile.h"

namespace {

// Turns SIGTERM and SIGINT into an ORB shutdown. The signals are blocked in every thread (the
// mask is set before the ORB starts its own threads) and taken by one thread with sigwait, so
// no ORB call ever runs inside a signal handler.
class ShutdownWatcher {
 public:
  // `manager` hears "STOPPING=1" when a signal ends the run.
  explicit ShutdownWatcher(zk::ServiceManager* manager) : manager_(manager) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { Loop(); });
  }

  ~ShutdownWatcher() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
      orb_ = CORBA::ORB::_nil();
    }
    pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait; done_ makes it return
    thread_.join();
  }

  // From now on a signal shuts this ORB down.
  void Watch(CORBA::ORB_ptr orb) {
    std::lock_guard<std::mutex> lock(mu_);
    orb_ = CORBA::ORB::_duplicate(orb);
  }

  // The run is over: a late signal no longer touches the ORB, nor cuts the teardown short.
  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    orb_ = CORBA::ORB::_nil();
    released_ = true;
  }

 private:
  void Loop() {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals_, &sig) != 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      if (done_) return;
      if (released_) continue;
      if (CORBA::is_nil(orb_.in())) {
        // The ORB is not up yet: nothing to tear down, end at once.
        _exit(128 + sig);
      }
      manager_->Notify("STOPPING=1");
      try {
        orb_->shutdown(false);
      } catch (const CORBA::Exception&) {
        // Already shut down: the run loop is returning anyway.
      }
    }
  }

  zk::ServiceManager* manager_;
  sigset_t signals_;
  std::mutex mu_;
  bool done_ = false;
  bool released_ = false;
  CORBA::ORB_var orb_;
  std::thread thread_;
};

// The figures of `state` that are looked at when the metrics file is written.
zk::Metrics::Gauges GaugesOf(zk::ServerState* state) {
  zk::Metrics::Gauges g;
  g.connections = state->peers.Total();
  g.uploads_in_progress = state->uploads.size();
  g.kept_parts = state->kept.size();
  g.audit_records_dropped = state->audit.dropped();
  return g;
}

// True when the ORB serves a call to `self`, the server's own object: omniORB makes it through
// the object adapter (refused while the adapter holds, discards or is gone) into the servant's
// operation, which takes the connection table's lock and refuses it quietly, since no connection
// made it. It changes nothing and logs nothing, and is not counted.
bool Answers(ZKmd_ptr self) {
  try {
    return self->zkExistsDir("", "") == zk::kEntryAbsent;
  } catch (const CORBA::Exception&) {
    return false;
  }
}

// Steps 8 and 9: ORB start-up, registration, the run loop and the teardown.
void Serve(zk::FileSystem* fs, const std::string& argv0, const std::string& env_file,
           const zk::ConnectionSettings& c, zk::ServiceManager* service,
           std::unique_ptr<zk::AuditSink> audit, ShutdownWatcher* watcher) {
  // The server's state outlives the ORB, whose threads read it until it is destroyed.
  zk::ServerState state;
  if (audit) state.StartAudit(std::move(audit));
  std::unique_ptr<zk::ConnectionTracking> tracking;
  CORBA::ORB_var orb;
  try {
    orb = zk::InitOrb(zk::TranslateForOmniOrb(fs, zk::ServerOrbArgs(argv0, c)));
    watcher->Watch(orb.in());
    tracking = std::make_unique<zk::ConnectionTracking>(&state);
    zk::InstallWireTextHook();

    CORBA::Object_var poa_obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poa_obj.in());
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();

    CosNaming::NamingContext_var naming = zk::NamingContext(orb.in());

    // Reference counted: the POA keeps the servant alive for as long as it is active.
    PortableServer::Servant_var<zk::ZKmdImpl> servant = new zk::ZKmdWireImpl(&state);
    servant->SetEnvFile(env_file);
    servant->SetFileSystem(fs);
    ZKmd_var ref = servant->_this();

    naming->rebind(zk::ServerName(), ref.in());
    // Removes what uploads that will never finish left behind, and keeps what stopped uploads
    // stored, while the server runs.
    state.kept.set_keep(zk::KeptTime(zk::kServerConfigFile));
    zk::UploadSweeper sweeper(fs, env_file, &state.uploads, &state.kept, &state.chunk_pool,
                              &state.freed_memory);
    {
      const std::string metrics_file = zk::ConfigValue(zk::kServerConfigFile, zk::kMetricsFileKey);
      std::unique_ptr<zk::MetricsWriter> metrics;
      if (!metrics_file.empty()) {
        metrics = std::make_unique<zk::MetricsWriter>(fs, metrics_file, &state.metrics,
                                                      [&state] { return GaugesOf(&state); });
      }
      zk::ServiceStatus status(service, {[&state] { return state.peers.Total(); },
                                         [&ref] { return Answers(ref.in()); }});
      status.Ready();
      orb->run();
    }

    watcher->Release();
    try {
      poa->destroy(true, true);
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
      // omniORB's shutdown has destroyed the adapters already.
    }
    orb->destroy();
  } catch (const CORBA::Exception& e) {
    watcher->Release();
    zk::PrintErr("CORBA Exception: " + zk::ExceptionText(e));
    if (!CORBA::is_nil(orb.in())) {
      try {
        orb->destroy();
      } catch (const CORBA::Exception&) {
        // Already reported above; the server ends either way.
      }
    }
  }
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::FromConsole(argv[0]);

  zk::OptionScan options = zk::ScanOptions(argc, argv, "e:");
  if (!options.ok) {
    zk::PrintOut(zk::UsageLine(argv0, {"-e <環境設定ファイル名> "}));
    return zk::kExitFail;
  }

  zk::FileSystem* fs = zk::FileSystem::Default();
  std::string env_file;
  if (!zk::OpenEnvFile(fs, zk::EnvKind::kServer, options.Get('e', zk::kDefaultServerEnvFile),
                       argv[0], &env_file)) {
    return zk::kExitFail;
  }
  const zk::ConnectionSettings connection = zk::ReadConnectionSettings(env_file);

  // The text on the wire, from the ORB configuration file the server is about to use.
  zk::WireCode wire = zk::WireCode::kUtf8;
  if (!zk::ReadWireCode(zk::kServerConfigFile, &wire)) {
    zk::PrintErr(std::string("WARNING:") + zk::kServerConfigFile + "の" + zk::kWireTextKey +
                 "はutf-8かcp932です。utf-8を使います。(" +
                 zk::ConfigValue(zk::kServerConfigFile, zk::kWireTextKey) + ")");
  }
  zk::SetServerWireCode(wire);

  // Where the audit records go; a setting that cannot be followed stops the start.
  const std::string audit_to = zk::ConfigValue(zk::kServerConfigFile, zk::kAuditLogKey);
  std::unique_ptr<zk::AuditSink> audit;
  bool bad_value = false;
  std::string why;
  if (!zk::AuditSinkFor(audit_to, &audit, &bad_value, &why)) {
    zk::PrintErr(bad_value ? std::string("ERROR:") + zk::kServerConfigFile + "の" +
                                 zk::kAuditLogKey + "はjournal、none、または絶対パスです。(" +
                                 audit_to + ")"
                           : "ERROR:監査記録ファイルを開けません。(" + audit_to + ": " + why + ")");
    return zk::kExitFail;
  }

  zk::ServiceManager* manager = zk::ServiceManager::Default();
  ShutdownWatcher watcher(manager);
  Serve(fs, argv0, env_file, connection, manager, std::move(audit), &watcher);
  return zk::kExitOk;
}
