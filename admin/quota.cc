// The typed limit and the lines zkquota prints.
#include "admin/quota.h"

#include <cctype>

#include "platform/text.h"

namespace zk {

bool ParseByteLimit(const std::string& text, int64_t* bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || text.size() - digits > 1) return false;
  int shift = 0;
  if (digits < text.size()) {
    switch (std::toupper(static_cast<unsigned char>(text[digits]))) {
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      case 'T':
        shift = 40;
        break;
      default:
        return false;
    }
  }
  const uint64_t max = static_cast<uint64_t>(INT64_MAX) >> shift;
  uint64_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    const uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *bytes = static_cast<int64_t>(v << shift);
  return true;
}

std::string LimitLine(int64_t limit) {
  return "  容量制限 :" + (limit > 0 ? FormatGrouped(limit) + " バイト" : std::string("なし"));
}

std::vector<std::string> QuotaLines(const std::string& user_id, int64_t limit, int64_t use) {
  return {"  ユーザID :" + user_id, LimitLine(limit),
          "  使用量   :" + FormatGrouped(use) + " バイト"};
}

std::string NativeStorageDir(const std::string& registered) {
  std::string dir = registered;
  for (char& c : dir) {
    if (c == '\\') c = '/';
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace zk
