// UTF-8 checks and code page 932 conversion over iconv.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace zk {
namespace {

// The length of the UTF-8 sequence at s[i] (1 to 4), or 0 when none starts there.
size_t SequenceAt(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t len;
  uint32_t cp, min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;  // a continuation byte, or a lead byte of no valid sequence
  }
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (t & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool IsAscii(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// One direction of iconv, opened once per thread (a descriptor keeps state and must not be
// shared between threads). Refuses instead of substituting.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // `in` converted; false at the first byte sequence without a counterpart.
  bool Run(const std::string& in, std::string* out) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    // Neither direction makes text more than three times as long (one byte of half-width
    // katakana is three bytes of UTF-8).
    out->assign(in.size() * 3 + 4, '\0');
    char* inp = const_cast<char*>(in.data());
    size_t inleft = in.size();
    char* outp = &(*out)[0];
    size_t outleft = out->size();
    if (iconv(cd_, &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1) || inleft != 0 ||
        iconv(cd_, nullptr, nullptr, &outp, &outleft) == static_cast<size_t>(-1)) {
      out->clear();
      return false;
    }
    out->resize(out->size() - outleft);
    return true;
  }

 private:
  iconv_t cd_;
};

Converter& FromCp932() {
  thread_local Converter c("UTF-8", "CP932");
  return c;
}

Converter& ToCp932() {
  thread_local Converter c("CP932", "UTF-8");
  return c;
}

}  // namespace

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    size_t len = SequenceAt(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

bool Cp932ToUtf8(const std::string& in, std::string* out) {
  if (IsAscii(in)) {  // the ASCII half of the code page is ASCII, "\" and "~" included
    *out = in;
    return true;
  }
  return FromCp932().Run(in, out);
}

bool Utf8ToCp932(const std::string& in, std::string* out) {
  if (IsAscii(in)) {
    *out = in;
    return true;
  }
  if (!IsUtf8(in)) return false;
  std::string back;
  // iconv also maps characters the code page only resembles ("¥" to 0x5C, "〜" to the code of
  // "～"); such a character reads back as another one and is refused.
  if (!ToCp932().Run(in, out) || !FromCp932().Run(*out, &back) || back != in) {
    out->clear();
    return false;
  }
  return true;
}

bool FromWire(WireCode code, const std::string& wire, std::string* text) {
  if (code == WireCode::kCp932) return Cp932ToUtf8(wire, text);
  if (!IsUtf8(wire)) return false;
  *text = wire;
  return true;
}

bool ToWire(WireCode code, const std::string& text, std::string* wire) {
  if (code == WireCode::kCp932) return Utf8ToCp932(text, wire);
  if (!IsUtf8(text)) return false;
  *wire = text;
  return true;
}

std::string VisibleBytes(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = SequenceAt(s, i);
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F, 0xC2 0x80 to 0xC2 0x9F).
    bool control = c < 0x20 || c == 0x7F ||
                   (len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0);
    if (len == 0 || control) {
      for (size_t k = 0; k < (len == 0 ? 1 : len); ++k) {
        char hex[5];
        std::snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned char>(s[i + k]));
        out += hex;
      }
      i += len == 0 ? 1 : len;
    } else {
      out.append(s, i, len);
      i += len;
    }
  }
  return out;
}

}  // namespace zk
