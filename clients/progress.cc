// The progress line: its text and how often it is drawn.
#include "clients/progress.h"

#include <cstdio>

#include "platform/text.h"

namespace zk {
namespace {

// h:mm:ss of `seconds` (whole seconds, rounded up).
std::string Hms(double seconds) {
  long s = static_cast<long>(seconds + 0.999);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// The last characters of `text` that fit `width` columns (a UTF-8 character is never split).
std::string Tail(const std::string& text, int width) {
  size_t start = text.size();
  while (start > 0) {
    size_t prev = start - 1;
    while (prev > 0 && (static_cast<unsigned char>(text[prev]) & 0xC0) == 0x80) --prev;
    if (DisplayWidth(text.substr(prev)) > width) break;
    start = prev;
  }
  return text.substr(start);
}

}  // namespace

std::string ProgressLine(const std::string& name, int64_t done, int64_t total,
                         double bytes_per_second, int columns) {
  std::string rest = "  " + FormatGrouped(done) + "/" + FormatGrouped(total) + " バイト";
  if (bytes_per_second > 0) {
    char rate[32];
    std::snprintf(rate, sizeof(rate), "%.1f MB/s", bytes_per_second / 1e6);
    const double left = total > done ? static_cast<double>(total - done) / bytes_per_second : 0;
    rest += std::string("  ") + rate + "  残り " + Hms(left);
  }
  const int width = columns - 1;
  const int room = width - DisplayWidth(rest);
  if (DisplayWidth(name) <= room) return name + rest;
  if (room > 3) return "..." + Tail(name, room - 3) + rest;
  return Tail(name + rest, width);
}

CopyProgress::CopyProgress(std::function<void(const std::string&)> show, int columns,
                           Clock::duration every)
    : show_(std::move(show)), columns_(columns), every_(every) {}

void CopyProgress::Update(const std::string& name, int64_t done, int64_t total,
                          Clock::time_point now) {
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  moved_ += name == name_ && done >= done_ ? done - done_ : done;
  name_ = name;
  done_ = done;
  if (drawn_ && now - last_draw_ < every_) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // A rate over less than a moment says nothing yet.
  const double rate = seconds >= 0.2 ? moved_ / seconds : 0;
  show_(ProgressLine(name, done, total, rate, columns_));
  drawn_ = true;
  last_draw_ = now;
}

}  // namespace zk
