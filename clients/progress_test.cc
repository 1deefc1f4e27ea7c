// The progress line: what it says, that it always fits the terminal, and that it is drawn at most
// once per interval whatever the number of updates.
#include "clients/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"

namespace zk {
namespace {

TEST(ProgressLineTest, SaysTheFileTheBytesTheRateAndTheTimeLeft) {
  EXPECT_EQ("data/big.bin  1,048,576/5,368,709,120 バイト  10.0 MB/s  残り 0:08:57",
            ProgressLine("data/big.bin", 1 << 20, 5LL << 30, 1e7, 120));
  // Before there is a rate, no rate and no time.
  EXPECT_EQ("a  0/10 バイト", ProgressLine("a", 0, 10, 0, 80));
  EXPECT_EQ("a  10/10 バイト  1.0 MB/s  残り 0:00:00", ProgressLine("a", 10, 10, 1e6, 80));
  EXPECT_EQ("a  0/36,000,000,000 バイト  1.0 MB/s  残り 10:00:00",
            ProgressLine("a", 0, 36000000000LL, 1e6, 80));
}

TEST(ProgressLineTest, ALongNameLosesItsBeginningSoThatTheLineFits) {
  const std::string name = "/home/user/とても長いフォルダの名前/その中のファイル.bin";
  for (int columns : {20, 40, 60, 80, 200}) {
    const std::string line = ProgressLine(name, 123456, 7654321, 2.5e6, columns);
    EXPECT_LE(DisplayWidth(line), columns - 1) << columns << ": " << line;
    if (columns >= 80) {
      EXPECT_NE(std::string::npos, line.find("ファイル.bin  123,456/7,654,321 バイト")) << line;
    }
  }
  EXPECT_EQ(0u, ProgressLine(name, 1, 2, 1e6, 60).find("..."));
  EXPECT_EQ(0u, ProgressLine(name, 1, 2, 1e6, 200).find(name));
}

TEST(CopyProgressTest, DrawsAtMostOncePerIntervalWithTheRateOfTheRun) {
  std::vector<std::string> drawn;
  CopyProgress progress([&](const std::string& line) { drawn.push_back(line); }, 200,
                        std::chrono::milliseconds(250));
  const CopyProgress::Clock::time_point t0;
  auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  // A thousand updates in one second of one file of 10 MB: the first, then one every 250 ms.
  for (int i = 1; i <= 1000; ++i) progress.Update("f", i * 10000, 10000000, at(i));
  ASSERT_EQ(4u, drawn.size());
  EXPECT_EQ("f  10,000/10,000,000 バイト", drawn[0]);  // no rate over a moment
  // 7,510,000 bytes in 750 ms after the first update at 1 ms: 10.0 MB/s, 0.25 s left.
  EXPECT_EQ("f  7,510,000/10,000,000 バイト  10.0 MB/s  残り 0:00:01", drawn[3]);
  // A second file counts on from what the run has moved.
  progress.Update("g", 2000000, 4000000, at(1251));
  ASSERT_EQ(5u, drawn.size());
  EXPECT_EQ("g  2,000,000/4,000,000 バイト  9.6 MB/s  残り 0:00:01", drawn[4]);
}

}  // namespace
}  // namespace zk
