// Taking a password that may be given or typed: a given one prints no prompt and reads nothing;
// an empty one prompts and takes the first word typed.
#include "platform/console.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace zk {
namespace {

// Runs `body` with `typed` on standard input and returns what it printed on standard output.
template <typename Body>
std::string WithInput(const std::string& typed, Body body) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  EXPECT_EQ(static_cast<ssize_t>(typed.size()), write(fds[1], typed.data(), typed.size()));
  close(fds[1]);
  const int saved = dup(0);
  dup2(fds[0], 0);
  close(fds[0]);
  clearerr(stdin);
  testing::internal::CaptureStdout();
  body();
  std::string out = testing::internal::GetCapturedStdout();
  __fpurge(stdin);  // what the body left unread goes with the pipe
  dup2(saved, 0);
  close(saved);
  clearerr(stdin);
  return out;
}

TEST(GivenOrPromptedTest, GivenWinsElseTheFirstTypedWord) {
  std::string word;
  EXPECT_EQ("", WithInput("typed\n", [&] { word = GivenOrPrompted("given", "合言葉"); }));
  EXPECT_EQ("given", word);
  EXPECT_EQ("合言葉\n\n",
            WithInput("  typed rest\n", [&] { word = GivenOrPrompted("", "合言葉"); }));
  EXPECT_EQ("typed", word);
  // End of input: an empty word, which callers refuse.
  WithInput("", [&] { word = GivenOrPrompted("", "合言葉"); });
  EXPECT_EQ("", word);
}

}  // namespace
}  // namespace zk
