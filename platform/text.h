// Column layout of console lines and number text. Widths are display columns: one for ASCII and
// half-width katakana, two for every other character (the byte count of the same text in
// Shift_JIS), so Japanese lines keep the alignment they had on the original consoles.
#ifndef ZK_PLATFORM_TEXT_H_
#define ZK_PLATFORM_TEXT_H_

#include <cstdint>
#include <string>

namespace zk {

// Display columns of UTF-8 text.
int DisplayWidth(const std::string& text);

// `text` followed by spaces, cut to its first `width` columns (left-aligned field).
std::string LeftField(const std::string& text, int width);
// Spaces followed by `text`, cut to its last `width` columns (right-aligned field).
std::string RightField(const std::string& text, int width);

// "#,##0": decimal with "," between groups of three digits.
std::string FormatGrouped(int64_t n);

// A count as the summary lines start with it: grouped, then one blank, right-aligned in 19
// columns ("              1,234 ").
std::string CountField(int64_t n);

// ASCII-only upper case (a-z), the platform's upper-casing of names.
std::string UpperAscii(const std::string& text);

}  // namespace zk

#endif  // ZK_PLATFORM_TEXT_H_
