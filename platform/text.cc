// Column layout and number text.
#include "platform/text.h"

#include <vector>

namespace zk {
namespace {

// Splits UTF-8 text into characters with their display width.
struct Glyph {
  std::string bytes;
  int width;
};

std::vector<Glyph> Glyphs(const std::string& text) {
  std::vector<Glyph> out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > text.size()) len = text.size() - i;
    std::string bytes = text.substr(i, len);
    int width = 1;
    if (len >= 2) {
      // Half-width katakana U+FF61..U+FF9F is one column; everything else outside ASCII is two.
      unsigned cp = 0;
      if (len == 3) {
        cp = ((c & 0x0F) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6) |
             (static_cast<unsigned char>(text[i + 2]) & 0x3F);
      }
      width = (cp >= 0xFF61 && cp <= 0xFF9F) ? 1 : 2;
    }
    out.push_back({bytes, width});
    i += len;
  }
  return out;
}

}  // namespace

int DisplayWidth(const std::string& text) {
  int w = 0;
  for (const Glyph& g : Glyphs(text)) w += g.width;
  return w;
}

std::string LeftField(const std::string& text, int width) {
  std::string out;
  int w = 0;
  for (const Glyph& g : Glyphs(text)) {
    if (w + g.width > width) break;
    out += g.bytes;
    w += g.width;
  }
  out.append(width - w, ' ');
  return out;
}

std::string RightField(const std::string& text, int width) {
  std::vector<Glyph> glyphs = Glyphs(text);
  std::string out;
  int w = 0;
  size_t start = glyphs.size();
  while (start > 0 && w + glyphs[start - 1].width <= width) {
    --start;
    w += glyphs[start].width;
  }
  out.append(width - w, ' ');
  for (size_t i = start; i < glyphs.size(); ++i) out += glyphs[i].bytes;
  return out;
}

std::string FormatGrouped(int64_t n) {
  bool neg = n < 0;
  uint64_t v = neg ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  std::string digits = std::to_string(v);
  std::string out;
  int count = 0;
  for (size_t i = digits.size(); i > 0; --i) {
    if (count > 0 && count % 3 == 0) out.insert(out.begin(), ',');
    out.insert(out.begin(), digits[i - 1]);
    ++count;
  }
  return neg ? "-" + out : out;
}

std::string CountField(int64_t n) { return RightField(FormatGrouped(n) + " ", 19); }

std::string UpperAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace zk
