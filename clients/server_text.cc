// Conversion of the client tools' strings to and from the server's wire code.
#include "clients/server_text.h"

#include "platform/console.h"

namespace zk {

bool ServerText::Out(const std::string& text, std::string* wire) const {
  if (ToWire(code_, text, wire)) return true;
  PrintErr("WARNING:サーバへ送れない文字を含んでいます。(" + VisibleBytes(text) + ")");
  return false;
}

bool ServerText::OutSecret(const std::string& text, std::string* wire) const {
  if (ToWire(code_, text, wire)) return true;
  PrintErr("WARNING:サーバへ送れない文字を含んでいます。(パスワード)");
  return false;
}

bool ServerText::In(const char* wire, std::string* text) const {
  const std::string bytes = wire ? wire : "";
  if (FromWire(code_, bytes, text)) return true;
  PrintErr("WARNING:サーバから受け取った名前を変換できません。(" + VisibleBytes(bytes) + ")");
  return false;
}

}  // namespace zk
