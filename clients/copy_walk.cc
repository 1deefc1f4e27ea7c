// CopyWalk: the two walks over one state, and what they share.
#include "clients/copy_walk.h"

#include <memory>

#include "clients/download_walk.h"
#include "clients/progress.h"
#include "clients/upload_walk.h"
#include "platform/console.h"

namespace zk {
namespace {

// True for the exceptions that say the server can no longer be reached on this session's
// connection (it went away, or the connection broke): every further request would fail too, and
// the login is gone with the connection.
bool LostConnection(const CORBA::Exception& e) {
  return CORBA::TRANSIENT::_downcast(&e) != nullptr ||
         CORBA::COMM_FAILURE::_downcast(&e) != nullptr ||
         CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr;
}

}  // namespace

CopyConsole CopyConsole::Standard() {
  CopyConsole c;
  c.out = [](const std::string& s) { PrintOut(s); };
  c.err = [](const std::string& s) { PrintErr(s); };
  if (StatusLineAvailable()) {
    auto progress = std::make_shared<CopyProgress>(ShowStatus, StatusColumns());
    c.progress = [progress](const std::string& name, int64_t done, int64_t total) {
      progress->Update(name, done, total, CopyProgress::Clock::now());
    };
  }
  return c;
}

void WalkPart::Progress(const std::string& name, int64_t done, int64_t total) {
  if (console_.progress) console_.progress(name, done, total);
}

void WalkPart::TransferException(const CORBA::Exception& e) {
  console_.err("CORBA Exception: " + ExceptionText(e));
  failed_ = true;
  if (LostConnection(e)) stopped_ = true;
}

struct CopyWalk::Walks {
  WalkState state;
  std::unique_ptr<UploadWalk> upload;  // made by the first walk of its direction
  std::unique_ptr<DownloadWalk> download;
};

CopyWalk::CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit,
                   CopyConsole console)
    : walks_(std::make_unique<Walks>()) {
  WalkState& s = walks_->state;
  s.fs = fs;
  s.server = server;
  s.mode = mode;
  s.unit = unit;
  s.console = std::move(console);
}

CopyWalk::~CopyWalk() = default;

int CopyWalk::ToServer(const std::string& local_dir, const std::string& mask,
                       const std::string& server_dir) {
  if (!walks_->upload) walks_->upload = std::make_unique<UploadWalk>(&walks_->state);
  return walks_->upload->Run(local_dir, mask, server_dir);
}

int CopyWalk::FromServer(const std::string& server_dir, const std::string& mask,
                         const std::string& local_dir) {
  if (!walks_->download) walks_->download = std::make_unique<DownloadWalk>(&walks_->state);
  return walks_->download->Run(server_dir, mask, local_dir);
}

int32_t CopyWalk::copied() const { return walks_->state.copied; }
int32_t CopyWalk::unreadable() const { return walks_->state.unreadable; }
bool CopyWalk::failed() const { return walks_->state.failed; }
bool CopyWalk::stopped() const { return walks_->state.stopped; }

}  // namespace zk
