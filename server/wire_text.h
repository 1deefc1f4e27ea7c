// The servant's text boundary. ZKmd strings arrive and leave in the code of the wire: UTF-8, the
// native char code set the server advertises, or code page 932 in the mode for the original
// Windows programs ("zkWireText = cp932" in server.conf). Inside the server, on disk and in the
// settings files, text is UTF-8. A string that is no text of the wire's code is refused with the
// operation's own failure answer and one "WARNING:" line, never turned into a name.
#ifndef ZK_SERVER_WIRE_TEXT_H_
#define ZK_SERVER_WIRE_TEXT_H_

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/fs.h"

namespace zk {

// This server's wire code: set once at start-up, before requests are served (UTF-8 until then).
void SetServerWireCode(WireCode code);
WireCode ServerWireCode();

// omniORB reads the strings of a request that carries no code set negotiation (GIOP 1.0, or a
// peer that does not negotiate) as ISO-8859-1, which makes some character of any byte: a legacy
// peer's "表" (0x95 0x5C) would arrive as U+0095 and a separator. This hook makes the ORB read
// such requests in its native code set, so that their bytes reach the servant as they were sent
// and are checked there. Call once, after ORB_init.
void InstallWireTextHook();

// The strings of one request on their way in. The first one that is no text of the wire's code
// refuses the request: one "WARNING:" line names the operation, the peer and the argument.
class WireRequest {
 public:
  explicit WireRequest(const char* operation) : operation_(operation) {}

  // The UTF-8 text of the incoming string `wire`, the argument `param` (a null string is empty).
  bool In(const char* param, const char* wire, std::string* text);
  // The same for a password: the warning names the argument but does not show it.
  bool InSecret(const char* param, const char* wire, std::string* text);

 private:
  bool Convert(const char* param, const char* wire, std::string* text, bool show);

  const char* operation_;
  bool refused_ = false;
};

// Leaves out the directory entries whose names cannot travel on this server's wire; with `warn`,
// one "WARNING:" line for each, naming it below `dir` (the request's directory).
void KeepWireNames(const std::string& dir, std::vector<DirEntry>* entries, bool warn);

}  // namespace zk

#endif  // ZK_SERVER_WIRE_TEXT_H_
