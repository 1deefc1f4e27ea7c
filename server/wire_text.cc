// The servant's text boundary: the wire code, the ORB hook for requests that negotiate no code
// set, the check of incoming strings and of listed names.
#include "server/wire_text.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>
// clang-format off
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/GIOP_S.h>
#include <omniORB4/internal/orbParameters.h>
// clang-format on

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/console.h"
#include "platform/pathtext.h"
#include "server/connection_auth.h"

namespace zk {
namespace {

std::atomic<WireCode> g_wire_code{WireCode::kUtf8};

// omniORB gives a request that negotiated nothing ISO-8859-1 as its transmission code set (and
// keeps it for the connection). No peer that negotiates with this server's reference gets
// ISO-8859-1 (it lists UTF-8 alone), so such a request is read in the native code set instead.
CORBA::Boolean ReadUnnegotiatedAsNative(
    omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  omni::GIOP_S& request = info.giop_s;
  const omni::CONV_FRAME::CodeSetId native = omni::orbParameters::nativeCharCodeSet->id();
  omni::omniCodeSet::TCS_C* chosen = request.TCS_C();
  if (native == omni::omniCodeSet::ID_8859_1 ||
      (chosen && chosen->id() != omni::omniCodeSet::ID_8859_1)) {
    return true;
  }
  GIOP::Version version = request.version();
  if (version.major == 1 && version.minor == 0) version.minor = 1;  // strings travel alike
  omni::omniCodeSet::TCS_C* tcs = omni::omniCodeSet::getTCS_C(native, version);
  if (tcs) request.TCS_C(tcs);
  return true;
}

}  // namespace

void SetServerWireCode(WireCode code) { g_wire_code = code; }

WireCode ServerWireCode() { return g_wire_code; }

void InstallWireTextHook() {
  static std::once_flag once;
  std::call_once(
      once, [] { omniORB::getInterceptors()->serverReceiveRequest.add(ReadUnnegotiatedAsNative); });
}

bool WireRequest::In(const char* param, const char* wire, std::string* text) {
  return Convert(param, wire, text, true);
}

bool WireRequest::InSecret(const char* param, const char* wire, std::string* text) {
  return Convert(param, wire, text, false);
}

bool WireRequest::Convert(const char* param, const char* wire, std::string* text, bool show) {
  const std::string bytes = wire ? wire : "";
  if (FromWire(ServerWireCode(), bytes, text)) return true;
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
