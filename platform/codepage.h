// Text in ZKmd strings. Inside the programs, on disk and in the settings files text is UTF-8;
// the original Windows programs put Windows code page 932 (Shift_JIS with Microsoft's
// extensions) on the wire instead. These functions check UTF-8 and convert between the two,
// exactly or not at all: nothing is ever replaced by "?" or a look-alike.
//
// Code page 932 has trail bytes that are ASCII ("表" is 0x95 0x5C, and 0x5C alone is "\"), so a
// name in that code page must be converted before it is split at separators.
#ifndef ZK_PLATFORM_CODEPAGE_H_
#define ZK_PLATFORM_CODEPAGE_H_

#include <string>

namespace zk {

// How the text of ZKmd strings is written on the wire.
enum class WireCode {
  kUtf8,   // UTF-8, as the native char code set of both sides says
  kCp932,  // code page 932 bytes, without code set negotiation (the original Windows programs)
};

// True when `s` is well-formed UTF-8: every sequence complete, in its shortest form, no
// surrogate halves, nothing above U+10FFFF.
bool IsUtf8(const std::string& s);

// Code page 932 to UTF-8. False when a byte or byte pair is no character of the code page (a
// lone lead byte, an undefined code). Characters that the code page has twice (the NEC and IBM
// extensions) map to their one Unicode character, as on Windows.
bool Cp932ToUtf8(const std::string& in, std::string* out);
// UTF-8 to code page 932. False when `in` is not UTF-8 or holds a character without an exact
// code page 932 form: one whose code would read back as another character ("¥" is no 0x5C,
// "〜" no 0x81 0x60) is refused, so a name never gains a separator or changes on its way back.
bool Utf8ToCp932(const std::string& in, std::string* out);

// The text of a wire string: checked as UTF-8, or converted from code page 932.
bool FromWire(WireCode code, const std::string& wire, std::string* text);
// The wire form of UTF-8 text: checked, or converted to code page 932.
bool ToWire(WireCode code, const std::string& text, std::string* wire);

// `s` for a log line: UTF-8 characters as they are, control characters and bytes that are no
// UTF-8 as "\xHH".
std::string VisibleBytes(const std::string& s);

}  // namespace zk

#endif  // ZK_PLATFORM_CODEPAGE_H_
