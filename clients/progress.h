// The progress line of zkcp on a terminal: the file being copied, its bytes done of its total, the
// rate of the run and the time its file still needs, redrawn at most a few times a second.
//
//   CopyProgress progress(ShowStatus, StatusColumns());
//   progress.Update("data/big.bin", done, total, CopyProgress::Clock::now());
#ifndef ZK_CLIENTS_PROGRESS_H_
#define ZK_CLIENTS_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zk {

// The line for `done` of `total` bytes of `name` at `bytes_per_second` (0 when not known yet),
// at most `columns` - 1 display columns wide (a line as wide as the terminal would wrap): the name
// loses its beginning ("...") when the line would not fit.
//   "data/big.bin  1,048,576/5,368,709,120 バイト  104.9 MB/s  残り 0:00:51"
std::string ProgressLine(const std::string& name, int64_t done, int64_t total,
                         double bytes_per_second, int columns);

class CopyProgress {
 public:
  using Clock = std::chrono::steady_clock;
  // `show` draws a line, `columns` wide at most; at most one line every `every`.
  CopyProgress(std::function<void(const std::string&)> show, int columns,
               Clock::duration every = std::chrono::milliseconds(250));

  // `done` of the `total` bytes of the file `name` are copied at `now`. The rate counts every
  // byte of the run since its first update.
  void Update(const std::string& name, int64_t done, int64_t total, Clock::time_point now);

 private:
  std::function<void(const std::string&)> show_;
  int columns_;
  Clock::duration every_;
  bool started_ = false;
  Clock::time_point start_;
  bool drawn_ = false;
  Clock::time_point last_draw_;
  std::string name_;   // the file of the last update
  int64_t done_ = 0;   // its bytes done then
  int64_t moved_ = 0;  // bytes of the run
};

}  // namespace zk

#endif  // ZK_CLIENTS_PROGRESS_H_
