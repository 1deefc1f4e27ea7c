// zkquota's limit as typed (every suffix, the edges of 64 bits, what is refused), the lines it
// prints, and the storage directory it measures.
#include "admin/quota.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zk {
namespace {

TEST(ByteLimitTest, SuffixesArePowersOf1024AndOverflowIsRefused) {
  const std::pair<const char*, int64_t> good[] = {
      {"0", 0},
      {"0T", 0},
      {"1", 1},
      {"007", 7},
      {"1k", 1024},
      {"1K", 1024},
      {"3M", 3LL << 20},
      {"20g", 20LL << 30},
      {"2T", 2LL << 40},
      {"8388607T", 8388607LL << 40},
      {"9223372036854775807", INT64_MAX},
      {"9007199254740991K", 9007199254740991LL << 10},
  };
  for (const auto& c : good) {
    int64_t bytes = -1;
    EXPECT_TRUE(ParseByteLimit(c.first, &bytes)) << c.first;
    EXPECT_EQ(c.second, bytes) << c.first;
  }
  for (const char* bad :
       {"", "K", "-1", "+1", " 1", "1 ", "1.5G", "1KB", "1P", "1e9", "0x10", "１２",
        "9223372036854775808", "8388608T", "9007199254740992K", "99999999999999999999999"}) {
    int64_t bytes = -1;
    EXPECT_FALSE(ParseByteLimit(bad, &bytes)) << bad;
    EXPECT_EQ(-1, bytes) << bad;
  }
}

TEST(QuotaLinesTest, LimitAndUseGroupedUnderOneColumn) {
  EXPECT_EQ((std::vector<std::string>{"  ユーザID :u1", "  容量制限 :1,073,741,824 バイト",
                                      "  使用量   :0 バイト"}),
            QuotaLines("u1", 1LL << 30, 0));
  EXPECT_EQ("  容量制限 :なし", LimitLine(0));
  EXPECT_EQ("/srv/u1", NativeStorageDir("/srv/u1/"));
  EXPECT_EQ("store/u1", NativeStorageDir("store\\u1\\"));
  EXPECT_EQ("/", NativeStorageDir("/"));
}

}  // namespace
}  // namespace zk
