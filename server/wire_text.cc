// The servant's text boundary: the wire code, the ORB hook for requests that negotiate no code
// set, the check of incoming strings and of listed names.
#include "server/wire_text.h"

#include <atomic>
#include <utility>

#include "idl/omniorb/internals.h"
#include "platform/console.h"
#include "platform/pathtext.h"
#include "server/connection_auth.h"
#include "server/metrics.h"

namespace zk {
namespace {

std::atomic<WireCode> g_wire_code{WireCode::kUtf8};

}  // namespace

void SetServerWireCode(WireCode code) { g_wire_code = code; }

WireCode ServerWireCode() { return g_wire_code; }

void InstallWireTextHook() { ReadUnnegotiatedRequestsAsNative(); }

bool WireRequest::In(const char* param, const char* wire, std::string* text) {
  return Convert(param, wire, text, true);
}

bool WireRequest::InSecret(const char* param, const char* wire, std::string* text) {
  return Convert(param, wire, text, false);
}

bool WireRequest::Convert(const char* param, const char* wire, std::string* text, bool show) {
  const std::string bytes = wire ? wire : "";
  if (FromWire(ServerWireCode(), bytes, text)) return true;
  NoteRefused();
  if (!refused_) {
    refused_ = true;
    const std::string& peer = CurrentCall().peer;
    PrintErr(std::string("WARNING:文字コードを変換できない文字列を含む要求を拒否しました。(") +
             operation_ + " " + (peer.empty() ? "-" : peer) + " " + param +
             (show ? "=" + VisibleBytes(bytes) : std::string()) + ")");
  }
  return false;
}

void KeepWireNames(const std::string& dir, std::vector<DirEntry>* entries, bool warn) {
  const WireCode code = ServerWireCode();
  const std::string prefix = dir.empty() || EndsWithSeparator(dir) ? dir : dir + "\\";
  std::string wire;
  size_t kept = 0;
  for (size_t i = 0; i < entries->size(); ++i) {
    DirEntry& e = (*entries)[i];
    if (!ToWire(code, e.name, &wire)) {
      if (warn) {
        PrintErr("WARNING:通信の文字コードで表せない名前を一覧から除きました。(" +
                 VisibleBytes(prefix + e.name) + ")");
      }
      continue;
    }
    if (kept != i) (*entries)[kept] = std::move(e);
    ++kept;
  }
  entries->resize(kept);
}

}  // namespace zk
