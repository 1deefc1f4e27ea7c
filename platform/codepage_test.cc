// The UTF-8 check and the code page 932 conversion, run over every byte pair of the code page and
// every Unicode character.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace zk {
namespace {

// The UTF-8 bytes of code point `cp`, written without any check (surrogates included).
std::string Encode(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

bool IsLead(int b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

TEST(Utf8Test, AcceptsEveryCharacterAndNothingElse) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(!surrogate, IsUtf8(Encode(cp))) << std::hex << cp;
  }
  // Every string of one and two bytes: only ASCII and the two-byte sequences C2..DF 80..BF.
  for (int a = 0; a < 256; ++a) {
    ASSERT_EQ(a < 0x80, IsUtf8(Bytes({a}))) << a;
    for (int b = 0; b < 256; ++b) {
      bool want = (a < 0x80 && b < 0x80) || (a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF);
      ASSERT_EQ(want, IsUtf8(Bytes({a, b}))) << a << " " << b;
    }
  }
  // Overlong forms, code points above U+10FFFF, cut sequences, and a legacy peer's bytes.
  for (const std::string& bad :
       {Bytes({0xE0, 0x80, 0xAF}), Bytes({0xF0, 0x80, 0x80, 0xAF}), Bytes({0xF4, 0x90, 0x80, 0x80}),
        Bytes({0xF5, 0x80, 0x80, 0x80}), Bytes({0xE6, 0x97}), std::string("a\xE6\x97") + "b",
        Bytes({0x95, 0x5C, 0x8E, 0xA6})}) {
    EXPECT_FALSE(IsUtf8(bad)) << VisibleBytes(bad);
  }
  EXPECT_TRUE(IsUtf8(""));
  EXPECT_TRUE(IsUtf8("ソフト\\表示.txt"));
}

TEST(Cp932Test, SingleBytes) {
  for (int b = 0; b < 256; ++b) {
    std::string out;
    bool ok = Cp932ToUtf8(Bytes({b}), &out);
    if (b < 0x80) {
      // ASCII as it is: 0x5C is "\" and 0x7E is "~", not yen sign and overline.
      ASSERT_TRUE(ok);
      ASSERT_EQ(Bytes({b}), out);
    } else if (b >= 0xA1 && b <= 0xDF) {
      ASSERT_TRUE(ok) << b;  // half-width katakana
      ASSERT_EQ(Encode(0xFF61 + (b - 0xA1)), out);
    } else {
      ASSERT_FALSE(ok) << b;  // a lone lead byte, or no character
    }
  }
}

TEST(Cp932Test, EveryBytePairIsOneCharacterOrRefused) {
  int characters = 0;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!IsLead(lead)) continue;
    for (int trail = 0; trail < 256; ++trail) {
      std::string text;
      if (!Cp932ToUtf8(Bytes({lead, trail}), &text)) continue;
      ++characters;
      ASSERT_GE(trail, 0x40) << lead << " " << trail;
      // One character, never an ASCII one: a trail byte 0x5C is no separator.
      ASSERT_TRUE(IsUtf8(text));
      ASSERT_GE(text.size(), 2u) << lead << " " << trail;
      ASSERT_LE(text.size(), 3u);
      ASSERT_NE(0, static_cast<unsigned char>(text[0]) & 0x80);
      ASSERT_NE(0, static_cast<unsigned char>(text.back()) & 0x80);
      // Back to the same code, except for the characters the extension rows hold twice, which
      // come back as their preferred code, and that code reads as the same character.
      std::string back, again;
      ASSERT_TRUE(Utf8ToCp932(text, &back)) << lead << " " << trail;
      if (back != Bytes({lead, trail})) {
        EXPECT_TRUE(lead == 0x87 || lead == 0xED || lead == 0xEE || lead >= 0xFA)
            << std::hex << lead << " " << trail;
        ASSERT_TRUE(Cp932ToUtf8(back, &again));
        ASSERT_EQ(text, again);
      }
    }
  }
  EXPECT_GT(characters, 7000);  // JIS X 0208, the NEC and IBM extensions, the user area
}

TEST(Cp932Test, EveryCharacterHasAnExactFormOrIsRefused) {
  int representable = 0;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string text = Encode(cp);
    std::string code, back;
    if (!Utf8ToCp932(text, &code)) continue;
    ++representable;
    ASSERT_TRUE(Cp932ToUtf8(code, &back)) << std::hex << cp;
    ASSERT_EQ(text, back) << std::hex << cp;
    ASSERT_EQ(cp < 0x80 || (cp >= 0xFF61 && cp <= 0xFF9F) ? 1u : 2u, code.size()) << std::hex << cp;
  }
  EXPECT_GT(representable, 7000);
}

TEST(Cp932Test, KnownCodes) {
  struct Case {
    std::string cp932, utf8;
  } cases[] = {
      {Bytes({0x95, 0x5C, 0x8E, 0xA6}) + ".txt", "表示.txt"},
      {Bytes({0x83, 0x5C, 0x83, 0x74, 0x83, 0x67}) + "\\" + Bytes({0x94, 0x5C}), "ソフト\\能"},
      {Bytes({0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA}), "日本語"},
      {Bytes({0x81, 0x60}), "～"},  // U+FF5E, as on Windows
      {Bytes({0xB1, 0xB2}), "ｱｲ"},
      {"\\~", "\\~"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_TRUE(Cp932ToUtf8(c.cp932, &out));
    EXPECT_EQ(c.utf8, out);
    EXPECT_TRUE(Utf8ToCp932(c.utf8, &out));
    EXPECT_EQ(c.cp932, out) << c.utf8;
  }
  // Characters iconv would write as the code of another one; text that is no UTF-8.
  for (const std::string& refused :
       {std::string("a¥b"), std::string("‾"), std::string("〜"), std::string("—"), std::string("−"),
        std::string("🙂"), Bytes({0x95, 0x5C})}) {
    std::string out = "unchanged?";
    EXPECT_FALSE(Utf8ToCp932(refused, &out)) << refused;
    EXPECT_EQ(std::string::npos, out.find('\\')) << refused;
  }
  std::string out;
  EXPECT_FALSE(Cp932ToUtf8(Bytes({0x81}), &out));  // cut after a lead byte
  EXPECT_FALSE(Cp932ToUtf8("a" + Bytes({0x95}), &out));
}

TEST(VisibleBytesTest, EscapesWhatIsNoPrintableUtf8) {
  EXPECT_EQ("ソフト\\表示.txt", VisibleBytes("ソフト\\表示.txt"));
  // A trail byte 0x5C is "\" once the bytes are read as UTF-8.
  EXPECT_EQ("\\x95\\\\x8E\\xA6.txt", VisibleBytes(Bytes({0x95, 0x5C, 0x8E, 0xA6}) + ".txt"));
  EXPECT_EQ("a\\x0Ab\\x7F\\xC2\\x85é", VisibleBytes("a\nb\x7f\xc2\x85\xc3\xa9"));
  EXPECT_EQ("\\xE6\\x97", VisibleBytes(Bytes({0xE6, 0x97})));
}

}  // namespace
}  // namespace zk
