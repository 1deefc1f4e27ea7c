// The client tools' side of the text on the wire. The tools hold UTF-8 text; the server gets its
// strings in the code that client.conf chooses: UTF-8, or code page 932 for an original Windows
// server ("zkWireText = cp932"). The conversion comes after the tools' own path handling, so a
// trail byte 0x5C is never taken for a separator. A text that has no form in that code is not
// sent, and a name from the server that cannot be read is left out, each with one "WARNING:" line.
#ifndef ZK_CLIENTS_SERVER_TEXT_H_
#define ZK_CLIENTS_SERVER_TEXT_H_

#include <string>

#include "platform/codepage.h"

namespace zk {

class ServerText {
 public:
  explicit ServerText(WireCode code = WireCode::kUtf8) : code_(code) {}
  WireCode code() const { return code_; }

  // The wire form of `text`; false after "WARNING:サーバへ送れない文字を含んでいます。(text)"
  // (a password is not shown).
  bool Out(const std::string& text, std::string* wire) const;
  bool OutSecret(const std::string& text, std::string* wire) const;
  // The text of the string `wire` from the server; false after
  // "WARNING:サーバから受け取った名前を変換できません。(bytes)".
  bool In(const char* wire, std::string* text) const;

 private:
  WireCode code_;
};

}  // namespace zk

#endif  // ZK_CLIENTS_SERVER_TEXT_H_
