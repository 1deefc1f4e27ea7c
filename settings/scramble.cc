// Scrambling of the ids and values of environment files: a byte shift driven by the system's
// key, and the filler letters stored in columns that a row does not need.
#include <random>
#include <string>

#include "settings/zkdb.h"

namespace zk {
namespace {

// The system's key. Every program shares it; it lives here and nowhere else.
const char kScrambleKey[] = "52830417769305128846";

// Shifts every byte by the key digit of its position (+1 or -1 times the digit), taking the
// byte as a signed value. A byte that comes out as 0 is dropped; the positions go on counting.
std::string Shift(const std::string& text, int direction) {
  const std::string key = kScrambleKey;
  const size_t key_len = key.size();
  int digits[sizeof(kScrambleKey)];
  for (size_t p = 0; p < key_len; ++p) digits[p] = key[p] - '0';

  std::string out;
  out.reserve(text.size());
  size_t j = 0;
  for (size_t i = 1; i <= text.size(); ++i) {
    int c = static_cast<signed char>(text[i - 1]);
    unsigned char r = static_cast<unsigned char>((c + direction * digits[j]) & 0xFF);
    if (r != 0) out.push_back(static_cast<char>(r));
    j = (i % key_len == 0) ? 0 : j + 1;
  }
  return out;
}

}  // namespace

std::string ScrambleText(const std::string& text) { return Shift(text, -1); }

std::string UnscrambleText(const std::string& text) { return Shift(text, +1); }

std::string MakeFillerText() {
  // The letters are never read back as data; any uniform generator serves.
  thread_local std::mt19937 gen{std::random_device{}()};
  std::uniform_int_distribution<int> length(1, 15);
  std::uniform_int_distribution<int> letter(0, 24);
  std::string out;
  int n = length(gen);
  for (int i = 0; i < n; ++i) out.push_back(static_cast<char>('A' + letter(gen)));
  return out;
}

}  // namespace zk
