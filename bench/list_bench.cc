// zklistbench: zkls on a directory of 100,000 files against `ls -l` on the same directory.
//
// A real naming service and zksvr on 127.0.0.1 serve one user whose area holds "big/" with
// 100,000 files. Two layouts are measured: names, sizes and times all ascending together (files
// created in name order), and sizes and times descending while names ascend (files created in
// reverse name order), so every sort order meets sorted or reverse-sorted input, the worst case
// of a plain quicksort. For each layout and each sort order (none, -o N, G, F, S, D) zkls runs
// as a client process and `ls -l` runs on the same directory in the same way (output captured);
// the best of a few runs of each is printed with the ratio zkls / ls -l.
//
// Goal: every zkls run within 3x `ls -l` and under 2 s.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/server_fixture.h"

namespace {

constexpr int kFiles = 100000;
constexpr int kRuns = 3;
const time_t kBase = 1300000000;

using Clock = std::chrono::steady_clock;

// Fills `dir` with kFiles sparse files. ascending: file i (in name order) has size i and time
// kBase + i; otherwise size and time fall as the names rise, and the files are created last
// name first.
bool MakeLayout(const std::string& dir, bool ascending) {
  if (system(("rm -rf '" + dir + "'").c_str()) != 0) return false;
  if (mkdir(dir.c_str(), 0700) != 0) return false;
  for (int n = 0; n < kFiles; ++n) {
    int i = ascending ? n : kFiles - 1 - n;
    int rank = ascending ? i : kFiles - 1 - i;
    char name[32];
    snprintf(name, sizeof(name), "/f%06d.dat", i);
    std::string path = dir + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, rank) == 0;
    struct timespec ts[2] = {{kBase + rank, 0}, {kBase + rank, 0}};
    ok = ok && futimens(fd, ts) == 0;
    close(fd);
    if (!ok) return false;
  }
  return true;
}

size_t Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// Best wall time of kRuns runs of `run`, in seconds; *lines is the output's line count.
template <typename F>
double Best(F run, size_t* lines, int* status) {
  double best = 1e9;
  for (int k = 0; k < kRuns; ++k) {
    auto start = Clock::now();
    zk::test::RunResult r = run();
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, secs);
    *lines = Lines(r.out);
    *status = r.status;
  }
  return best;
}

}  // namespace

int main() {
  zk::test::ServerFixture fixture;
  fixture.AddUser("bench", "bench-pw");
  std::string why;
  if (!fixture.StartNaming(&why) || !fixture.StartServer(&why)) {
    std::fprintf(stderr, "zklistbench: %s\n", why.c_str());
    return 1;
  }
  const std::string dir = fixture.storage_dir("bench") + "/big";
  const char* const orders[] = {"", "N", "G", "F", "S", "D"};

  std::printf("zkls ::big\\ versus ls -l, %d files, best of %d runs\n\n", kFiles, kRuns);
  std::printf("%-11s %-6s %10s %10s %7s %9s %s\n", "layout", "order", "zkls s", "ls -l s", "ratio",
              "lines", "goal");
  bool all_met = true;
  for (bool ascending : {true, false}) {
    if (!MakeLayout(dir, ascending)) {
      std::fprintf(stderr, "zklistbench: cannot create the files in %s\n", dir.c_str());
      return 1;
    }
    for (const char* order : orders) {
      std::vector<std::string> args = {"::big\\", "-p", "bench-pw"};
      if (*order) {
        args.push_back("-o");
        args.push_back(order);
      }
      size_t zk_lines = 0, ls_lines = 0;
      int zk_status = 0, ls_status = 0;
      double zk = Best([&] { return fixture.RunClient("bench", "zkls", args, "", 120); }, &zk_lines,
                       &zk_status);
      double ls = Best(
          [&] {
            return zk::test::Run({"/bin/ls", "-l", dir});
          },
          &ls_lines, &ls_status);
      bool met = zk_status == 0 && zk_lines == kFiles + 5 && zk < 2.0 && zk <= 3 * ls;
      all_met = all_met && met;
      std::printf("%-11s %-6s %10.3f %10.3f %7.2f %9zu %s\n",
                  ascending ? "ascending" : "descending", *order ? order : "(none)", zk, ls,
                  zk / ls, zk_lines, met ? "met" : "MISSED");
      std::fflush(stdout);
    }
  }
  std::printf("\n%s\n", all_met ? "every run met the goal" : "some runs missed the goal");
  return all_met ? 0 : 2;
}
