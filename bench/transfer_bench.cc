// zktransferbench: zkcp against a real naming service and zksvr on 127.0.0.1, beside scp and
// rsync over an OpenSSH server on loopback and a local `cp -r` as the floor.
//
// Data: one 1 GiB file, and a tree of 10,000 files of 4 KiB (100 directories of 100 files).
// Each is copied up (local to server area / remote directory) and down, by zkcp at the default
// unit (1000 KB) and at two large units (65536 KB and the largest, 245760 KB), by zkcp over TLS
// (the large file only, against a TLS-only server of its own with a private CA), by scp and rsync
// (when bench/transfer.sh passes an sshd in ZK_BENCH_SSH_PORT / ZK_BENCH_SSH_KEY), and by cp -r.
// Every copy starts from an empty destination. Prints MB/s and files/s per row, the peak resident
// memory (VmHWM) of the client and, for zkcp, of the server (restarted before each zkcp row), and
// the ratios of the goals.
//
// The audit trail: zkcp at the default unit against a server of its own that records every file
// it moves in a JSON-lines file, beside the same zkcp against the server without; the cost is
// that row's rate against the other's (goal: at most 5% slower).
//
// Files beyond 4 GiB: a sparse file of 5 GiB (zeros but for a few marks, beyond 2 and 4 GiB too,
// so it costs no disk, nor do its copies), by zkcp at both units and by cp -r, up and down; and a
// sparse file of 1 GiB the same way, so that the size alone can be told from the kind of data.
// Its goal: the MB/s of the 1 GiB file within 20%, and the same memory.
//
// The wire's own limit: the 1 GiB file over one plain loopback TCP connection with the least
// copying Linux allows (sendfile on the sender; recv into a 4 MiB buffer and write on the
// receiver), best of three per run, up (into the server's area) and down (from it). Every zkcp
// row of the large file is given as a share of it, and of the default unit's rate. Beside it, the
// same copy with the sender reading the file into its own memory and sending from there (pread
// and send of 128 KiB at a time): the least copying open to a sender whose data must pass
// through user memory, as a CORBA request's does. zkcp is given as a share of that too.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace {

using zk::test::Program;

constexpr int64_t kBigBytes = 1024LL * 1024 * 1024;
constexpr int64_t kSparseBytes = 5 * kBigBytes;
constexpr int kDirs = 100;
constexpr int kFilesPerDir = 100;
constexpr int kSmallBytes = 4096;
const char kPass[] = "benchpw";
const char kLargeUnitKb[] = "65536";
const char kHugeUnitKb[] = "245760";  // the largest the tools accept

struct Timed {
  int status = -1;
  double seconds = 0;
  long client_hwm_kb = 0;  // peak resident set of the process tree that was waited for
  double client_cpu = 0;   // user and system seconds of that process tree
};

// Runs argv in `cwd` with output to /dev/null and measures wall time and peak memory.
Timed RunTimed(const std::vector<std::string>& argv, const std::string& cwd) {
  Timed t;
  // Every run starts with the write-back of the runs before it done: a 1 GiB run otherwise took
  // 0.6 s or 3 s by whether it met the last one's dirty pages, whatever it ran.
  sync();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru = {};
  wait4(pid, &status, 0, &ru);
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  t.client_hwm_kb = ru.ru_maxrss;
  t.client_cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                 (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return t;
}

// The median of `v` (0 when it is empty).
double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// User and system seconds the process has used so far (0 when it cannot be read).
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // The fields after the command's name, which ends with the last ')': state is the first,
  // utime the twelfth, stime the thirteenth.
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ProcessHwmKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

void Sh(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
}

// Bytes and files below `dir` (regular files only).
void Measure(const std::string& dir, int64_t* bytes, int64_t* files) {
  *bytes = 0;
  *files = 0;
  std::vector<zk::DirEntry> entries;
  zk::FileSystem::Default()->Search(dir, "*", &entries);
  for (const zk::DirEntry& e : entries) {
    if (e.is_dir) {
      int64_t b, f;
      Measure(dir + "/" + e.name, &b, &f);
      *bytes += b;
      *files += f;
    } else {
      *bytes += e.size;
      *files += 1;
    }
  }
}

void MakeData(const std::string& root) {
  std::string block(1 << 20, '\0');
  uint64_t x = 88172645463325252ULL;
  for (char& c : block) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  zk::FileSystem::Default()->MakeDirs(root + "/big");
  {
    std::ofstream out(root + "/big/big.bin", std::ios::binary);
    for (int64_t i = 0; i < kBigBytes / static_cast<int64_t>(block.size()); ++i) {
      block[i % block.size()] ^= static_cast<char>(i);  // no two blocks alike
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  for (int d = 0; d < kDirs; ++d) {
    std::string dir = root + "/tree/d" + std::to_string(d);
    zk::FileSystem::Default()->MakeDirs(dir);
    for (int f = 0; f < kFilesPerDir; ++f) {
      std::ofstream out(dir + "/f" + std::to_string(f) + ".dat", std::ios::binary);
      out.write(block.data() + (d * kFilesPerDir + f) * 64 % (block.size() - kSmallBytes),
                kSmallBytes);
    }
  }
}

// A sparse file of `size` bytes: zeros (holes) but for a mark at its start, around 2 and 4 GiB
// and at its end.
void MakeSparse(const std::string& path, int64_t size) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  if (fd < 0 || ftruncate(fd, size) != 0) std::fprintf(stderr, "cannot make %s\n", path.c_str());
  for (int64_t at :
       {int64_t{0}, 2 * kBigBytes - 3, 4 * kBigBytes - 3, 4 * kBigBytes + 100, size - 8}) {
    if (at + 8 > size) continue;
    if (pwrite(fd, "zk-mark!", 8, at) != 8) std::fprintf(stderr, "cannot mark %s\n", path.c_str());
  }
  close(fd);
}

// The reference bound as "ZKmdImpl" in the naming service on `ns_port` ("" when none).
std::string BoundReference(int ns_port) {
  try {
    ZKmd_var server = zk::test::ResolveServer(ns_port);
    CORBA::String_var ior = zk::test::TestOrb()->object_to_string(server.in());
    return ior.in();
  } catch (...) {
    return std::string();
  }
}

// The rows of the raw copies.
const char kRaw[] = "raw TCP";
const char kRawUserCopy[] = "raw TCP pread";

// How the raw copy's sender moves the file into the connection.
enum class RawSend {
  kSendfile,  // sendfile: from the page cache, no user memory
  kUserCopy,  // pread into a buffer of its own, then send (two copies, as every ORB makes)
};
constexpr size_t kUserCopyBytes = 128 * 1024;

// Copies `from` to `to` (created) over one loopback TCP connection: a child receives into a
// 4 MiB buffer and writes, the parent sends as `how` says. Times both until the receiver is done;
// the memory is the receiver's.
Timed RawTcpCopy(const std::string& from, const std::string& to, RawSend how) {
  Timed t;
  t.status = 1;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t addr_len = sizeof(addr);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
    if (listener >= 0) close(listener);
    return t;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int conn = accept(listener, nullptr, nullptr);
    int out = open(to.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (conn < 0 || out < 0) _exit(1);
    std::vector<char> buf(4 << 20);
    for (;;) {
      ssize_t n = recv(conn, buf.data(), buf.size(), 0);
      if (n < 0) _exit(1);
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = write(out, buf.data() + done, static_cast<size_t>(n - done));
        if (w <= 0) _exit(1);
        done += w;
      }
    }
    _exit(close(out) == 0 ? 0 : 1);
  }
  close(listener);
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  int in = open(from.c_str(), O_RDONLY);
  struct stat st = {};
  bool sent = sock >= 0 && in >= 0 && fstat(in, &st) == 0 &&
              connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (how == RawSend::kSendfile) {
    for (off_t at = 0; sent && at < st.st_size;) {
      if (sendfile(sock, in, &at, static_cast<size_t>(st.st_size - at)) <= 0) sent = false;
    }
  } else {
    std::vector<char> buf(kUserCopyBytes);
    for (off_t at = 0; sent && at < st.st_size;) {
      ssize_t n = pread(in, buf.data(), buf.size(), at);
      if (n <= 0) {
        sent = false;
        break;
      }
      for (ssize_t done = 0; sent && done < n;) {
        ssize_t k = send(sock, buf.data() + done, static_cast<size_t>(n - done), 0);
        if (k <= 0) {
          sent = false;
          break;
        }
        done += k;
      }
      at += n;
    }
  }
  if (in >= 0) close(in);
  if (sock >= 0) close(sock);
  int status = 0;
  struct rusage ru = {};
  wait4(pid, &status, 0, &ru);
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.status = sent && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  t.client_hwm_kb = ru.ru_maxrss;
  return t;
}

struct Row {
  std::string data;  // "1 GiB file" / "10,000 files"
  std::string dir;   // "up" / "down"
  std::string tool;
  Timed t;
  long server_hwm_kb = -1;
  double server_cpu = 0;  // seconds the server (started for the row) used
  int64_t bytes = 0, files = 0;
  bool complete = false;
};

Row NewRow(const std::string& data, const std::string& dir, const std::string& tool) {
  Row r;
  r.data = data;
  r.dir = dir;
  r.tool = tool;
  return r;
}

// zkcp's switch that turns the check of every copy off, for this benchmark only.
const char kUnverifiedSwitch[] = "ZK_BENCH_UNVERIFIED";
const char kUnverifiedTool[] = "zkcp 1000 unchecked";
const char kResumedTool[] = "zkcp 1000 resumed";

// The bytes of the temporary files of uploads in the server folder `dir` (their records left out).
int64_t UploadTempBytes(const std::string& dir) {
  std::vector<zk::DirEntry> entries;
  zk::FileSystem::Default()->Search(dir, "*", &entries);
  int64_t bytes = 0;
  for (const zk::DirEntry& e : entries) {
    const bool record = e.name.size() > 5 && e.name.compare(e.name.size() - 5, 5, ".kept") == 0;
    if (!e.name.empty() && e.name[0] == '\xFF' && !record) bytes += e.size;
  }
  return bytes;
}

// An upload of the folder `src` (`bytes` of data) into `name` of `fx` killed once the server has
// stored about half of it, then, once the server keeps what it stored, run again and timed: the
// resume. *sent is the data the resume had to send: what the server had not kept.
Timed ResumedUpload(zk::test::ServerFixture& fx, const std::string& client, const std::string& env,
                    const std::string& src, int64_t bytes, const std::string& name,
                    int64_t* sent) {
  const std::string there = fx.storage_dir("bench") + "/" + name;
  const std::vector<std::string> argv = {zk::test::Program("zkcp"), src + "/", "::" + name, "-r",
                                         "-e", env, "-p", kPass};
  const pid_t pid = zk::test::Spawn(argv, client);
  zk::test::WaitUntil([&] { return UploadTempBytes(there) >= bytes / 2; }, 120);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // The server looks at its connections every second.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  *sent = bytes - UploadTempBytes(there);
  return RunTimed(argv, client);
}

// The fastest upload time of `tool` for the data set `data` among `rows`; 0 when there is none.
double by_tool_seconds(const std::vector<Row>& rows, const std::string& data,
                       const std::string& tool) {
  double best = 0;
  for (const Row& r : rows) {
    if (r.data == data && r.dir == "up" && r.tool == tool && (best == 0 || r.t.seconds < best)) {
      best = r.t.seconds;
    }
  }
  return best;
}

}  // namespace

int main() {
  zk::test::TempDir tmp;
  const std::string data = tmp / "data";
  std::printf("preparing data in %s ...\n", data.c_str());
  std::fflush(stdout);
  MakeData(data);
  zk::FileSystem::Default()->MakeDirs(data + "/sparse5");
  zk::FileSystem::Default()->MakeDirs(data + "/sparse1");
  MakeSparse(data + "/sparse5/five.bin", kSparseBytes);
  MakeSparse(data + "/sparse1/one.bin", kBigBytes);
  int64_t want_big_bytes, want_big_files, want_tree_bytes, want_tree_files;
  Measure(data + "/big", &want_big_bytes, &want_big_files);
  Measure(data + "/tree", &want_tree_bytes, &want_tree_files);

  zk::test::ServerFixture fixture("1000");
  const std::string client = fixture.AddUser("bench", kPass);
  const std::string env_default = client + "/client.zkd";
  const std::string env_large = client + "/large.zkd";
  zk::test::WriteFile(env_large, zk::test::ReadFile(env_default));
  zk::UpdateEnvSetting(env_large, "unit", kLargeUnitKb, "", "");
  const std::string env_huge = client + "/huge.zkd";
  zk::test::WriteFile(env_huge, zk::test::ReadFile(env_default));
  zk::UpdateEnvSetting(env_huge, "unit", kHugeUnitKb, "", "");
  if (!fixture.StartNaming() || !fixture.StartServer()) {
    std::fprintf(stderr, "naming service or server did not start\n");
    return 1;
  }
  const std::string area = fixture.storage_dir("bench");

  // The same server over TLS only, for the large file: the user's client.conf trusts its CA.
  zk::test::ServerFixture tls_fixture("1000");
  std::string tls_why;
  bool tls_ok = tls_fixture.EnableTls(&tls_why);
  const std::string tls_client = tls_ok ? tls_fixture.AddUser("bench", kPass) : std::string();
  tls_ok = tls_ok && tls_fixture.StartNaming(&tls_why) && tls_fixture.StartServer(&tls_why);
  if (!tls_ok) std::fprintf(stderr, "no TLS rows: %s\n", tls_why.c_str());
  const std::string tls_area = tls_fixture.storage_dir("bench");
  const std::string tls_tool = "zkcp TLS 1000 KB";

  // The same server with the audit trail and the metrics file on, at the default unit.
  zk::test::ServerFixture audit_fixture("1000");
  audit_fixture.AddServerConf("zkAuditLog = " + audit_fixture.dir() + "/audit.jsonl");
  audit_fixture.AddServerConf("zkMetricsFile = " + audit_fixture.dir() + "/zk.prom");
  const std::string audit_client = audit_fixture.AddUser("bench", kPass);
  if (!audit_fixture.StartNaming() || !audit_fixture.StartServer()) {
    std::fprintf(stderr, "the audited server did not start\n");
    return 1;
  }
  const std::string audit_area = audit_fixture.storage_dir("bench");
  const std::string audit_tool = "zkcp 1000 KB audit+metrics";

  const char* ssh_port = std::getenv("ZK_BENCH_SSH_PORT");
  const char* ssh_key = std::getenv("ZK_BENCH_SSH_KEY");
  const bool have_ssh = ssh_port && ssh_key;
  std::vector<std::string> ssh_opts = {"-o", "StrictHostKeyChecking=no",
                                       "-o", "UserKnownHostsFile=/dev/null",
                                       "-o", "BatchMode=yes",
                                       "-o", "LogLevel=ERROR"};
  std::string ssh_cmd;
  if (have_ssh) {
    ssh_cmd = std::string("ssh -p ") + ssh_port + " -i " + ssh_key;
    for (const std::string& o : ssh_opts) ssh_cmd += " " + o;
  }
  const std::string user_at = std::string(getpwuid(getuid())->pw_name) + "@127.0.0.1:";

  // Every row writes into a destination of its own that nothing wrote before: deleting
  // thousands of files just before a run makes the file system's inode allocation slower for a
  // while, which would penalise whichever tool comes next. Destinations are removed per data set
  // (the large file: right after its row).
  std::vector<Row> rows;
  struct Set {
    std::string label, name;
    int64_t bytes, files;
  };
  int serial = 0;
  int64_t resume_sent = 0;  // data sent by the resumed upload
  // Every row is measured ZK_BENCH_ROUNDS times (default 2), in turns; the table shows the
  // fastest run of each, which is the least disturbed by whatever else the machine does.
  const int rounds = std::getenv("ZK_BENCH_ROUNDS") ? std::atoi(std::getenv("ZK_BENCH_ROUNDS")) : 2;
  // What the check and the audit trail cost is a few per cent of runs that differ by more than
  // that from one run to the next: after the last round, the plain, unchecked and audited zkcp
  // run ZK_BENCH_COST_TURNS more times each (default 7), side by side in turns, and the cost is
  // the median of the turns' ratios. Seconds of each turn by data|dir|variant (0 plain,
  // 1 unchecked, 2 audited).
  const int cost_turns =
      std::getenv("ZK_BENCH_COST_TURNS") ? std::atoi(std::getenv("ZK_BENCH_COST_TURNS")) : 7;
  std::map<std::string, std::vector<double>> turns;
  // The same turns' processor seconds: the client's and the server's.
  std::map<std::string, std::vector<std::pair<double, double>>> cpu_turns;
  for (const Set& set : {Set{"1 GiB file", "big", want_big_bytes, want_big_files},
                         Set{"10,000 files", "tree", want_tree_bytes, want_tree_files},
                         Set{"5 GiB sparse", "sparse5", kSparseBytes, 1},
                         Set{"1 GiB sparse", "sparse1", kBigBytes, 1}}) {
    // ZK_BENCH_SETS="big", "tree", "sparse5 sparse1"... measures those data sets only (the
    // default is all).
    const char* only = std::getenv("ZK_BENCH_SETS");
    if (only && std::string(only).find(set.name) == std::string::npos) continue;
    const std::string src = data + "/" + set.name;
    // One large file: its copies are removed after each row. The sparse ones are measured by
    // zkcp and cp -r only (scp and rsync would write their zeros).
    const bool sparse_set = set.name.compare(0, 6, "sparse") == 0;
    const bool big_set = set.name == "big" || sparse_set;
    std::string uploaded;      // the server directory of the last zkcp upload
    std::string tls_uploaded;  // the same on the TLS server
    std::string audit_uploaded;  // and on the audited one
    for (int round = 0; round < rounds; ++round)
      for (const char* dir : {"up", "down"}) {
        const bool up = std::string(dir) == "up";
        // One zkcp row against `fx` (restarted first), whose area `fx_area` is the "remote" side.
        // Without `verified`, zkcp copies as it would with a server that does not check.
        auto zkcp_row = [&](const std::string& tool, zk::test::ServerFixture& fx,
                            const std::string& fx_client, const std::string& fx_area,
                            const std::string& env, std::string* last_upload,
                            bool verified = true) {
          Row row = NewRow(set.label, dir, tool);
          const std::string name = set.name + "-" + std::to_string(++serial);
          const std::string dest = up ? fx_area + "/" + name : tmp / name;
          const std::string before = BoundReference(fx.ns_port());
          fx.StopServer();
          Sh("sync");
          if (!fx.StartServer()) return false;
          // The naming service still holds the stopped server's reference until the new one
          // has bound its own (the fixture cannot ask a TLS-only server whether it serves).
          zk::test::WaitUntil([&] { return BoundReference(fx.ns_port()) != before; }, 20);
          std::vector<std::string> argv = {Program("zkcp")};
          if (up) {
            argv.insert(argv.end(), {src + "/", "::" + name, "-r"});
          } else {
            argv.insert(argv.end(), {"::" + *last_upload + "\\", dest, "-r"});
          }
          argv.insert(argv.end(), {"-e", env, "-p", kPass});
          if (!verified) argv.insert(argv.begin(), {"env", std::string(kUnverifiedSwitch) + "=1"});
          // ZK_BENCH_TRACE=DIR: system-call counts of the client per zkcp row (slows it down).
          if (const char* trace = std::getenv("ZK_BENCH_TRACE")) {
            argv.insert(argv.begin(),
                        {"strace", "-f", "-c", "-o", std::string(trace) + "/" + name});
          }
          row.t = RunTimed(argv, fx_client);
          row.server_hwm_kb = ProcessHwmKb(fx.server_pid());
          row.server_cpu = ProcessCpuSeconds(fx.server_pid());
          Measure(dest, &row.bytes, &row.files);
          rows.push_back(row);
          // Only the last upload stays (the downloads read it), so that every turn writes into
          // a file system as full as the turn before.
          if (up) {
            if (!last_upload->empty()) Sh("rm -rf '" + fx_area + "/" + *last_upload + "'");
            *last_upload = name;
          } else {
            Sh("rm -rf '" + dest + "'");
          }
          return true;
        };
        // zkcp at the three units, each round starting one unit further, so that no unit always
        // follows the same row (what the machine does after a row, such as writing back or
        // reclaiming its gigabyte, falls on the next one); and over TLS.
        std::vector<std::pair<std::string, std::string>> units = {
            {"zkcp 1000 KB", env_default},
            {std::string("zkcp ") + kLargeUnitKb + " KB", env_large},
            {std::string("zkcp ") + kHugeUnitKb + " KB", env_huge}};
        std::rotate(units.begin(), units.begin() + round % units.size(), units.end());
        for (const auto& unit : units) {
          if (!zkcp_row(unit.first, fixture, client, area, unit.second, &uploaded)) return 1;
        }
        if (!zkcp_row(audit_tool, audit_fixture, audit_client, audit_area,
                      audit_client + "/client.zkd", &audit_uploaded)) {
          return 1;
        }
        if (!zkcp_row(kUnverifiedTool, fixture, client, area, env_default, &uploaded, false)) {
          return 1;
        }
        for (int turn = 0; round == rounds - 1 && !sparse_set && turn < cost_turns; ++turn) {
          // Each turn starts with another variant, so that none always follows the same one.
          for (int k = 0; k < 3; ++k) {
            const int v = (turn + k) % 3;
            const bool ok =
                v == 0   ? zkcp_row("zkcp 1000 KB", fixture, client, area, env_default, &uploaded)
                : v == 1 ? zkcp_row(kUnverifiedTool, fixture, client, area, env_default, &uploaded,
                                    false)
                         : zkcp_row(audit_tool, audit_fixture, audit_client, audit_area,
                                    audit_client + "/client.zkd", &audit_uploaded);
            if (!ok) return 1;
            const std::string key = set.label + "|" + dir + "|" + std::to_string(v);
            turns[key].push_back(rows.back().t.seconds);
            cpu_turns[key].emplace_back(rows.back().t.client_cpu, rows.back().server_cpu);
          }
        }
        if (set.name == "big" && up) {
          Row resumed = NewRow(set.label, dir, kResumedTool);
          resumed.t = ResumedUpload(fixture, client, env_default, src, set.bytes,
                                    set.name + "-" + std::to_string(++serial), &resume_sent);
          Measure(area + "/" + set.name + "-" + std::to_string(serial), &resumed.bytes,
                  &resumed.files);
          rows.push_back(resumed);
        }
        // The wire's limit for the large file: up into the area, down from the last upload; with
        // sendfile, and with the sender's copy through its own memory.
        for (RawSend how : {RawSend::kSendfile, RawSend::kUserCopy}) {
          if (set.name != "big") break;
          Row row = NewRow(set.label, dir, how == RawSend::kSendfile ? kRaw : kRawUserCopy);
          const std::string name = set.name + "-" + std::to_string(++serial);
          const std::string dest = up ? area + "/" + name : tmp / name;
          const std::string from =
              up || uploaded.empty() ? src + "/big.bin" : area + "/" + uploaded + "/big.bin";
          zk::FileSystem::Default()->MakeDirs(dest);
          for (int attempt = 0; attempt < 3; ++attempt) {
            Sh("rm -f '" + dest + "/big.bin' && sync");
            Timed t = RawTcpCopy(from, dest + "/big.bin", how);
            if (attempt == 0 || t.status != 0 || t.seconds < row.t.seconds) row.t = t;
            if (t.status != 0) break;
          }
          Measure(dest, &row.bytes, &row.files);
          rows.push_back(row);
          Sh("rm -rf '" + dest + "'");
        }
        if (set.name == "big" && tls_ok &&
            !zkcp_row(tls_tool, tls_fixture, tls_client, tls_area, tls_client + "/client.zkd",
                      &tls_uploaded)) {
          return 1;
        }
        // scp and rsync over the loopback sshd; downloads read the data set itself.
        if (have_ssh && !sparse_set) {
          for (const std::string tool : {"scp", "rsync"}) {
            Row row = NewRow(set.label, dir, tool);
            const std::string dest = tmp / (set.name + "-" + std::to_string(++serial));
            Sh("mkdir -p '" + dest + "' && sync");
            std::string from = up ? src : user_at + src;
            std::string to = up ? user_at + dest : dest;
            std::vector<std::string> argv;
            if (tool == "scp") {
              argv = {"scp", "-q", "-r", "-P", ssh_port, "-i", ssh_key};
              argv.insert(argv.end(), ssh_opts.begin(), ssh_opts.end());
              argv.insert(argv.end(), {from + "/.", to + "/"});
            } else {
              argv = {"rsync", "-a", "-e", ssh_cmd, from + "/", to + "/"};
            }
            row.t = RunTimed(argv, "");
            Measure(dest, &row.bytes, &row.files);
            rows.push_back(row);
            if (big_set) Sh("rm -rf '" + dest + "'");
          }
        }
        // The floor: a local copy.
        {
          Row row = NewRow(set.label, dir, "cp -r");
          const std::string dest = tmp / (set.name + "-" + std::to_string(++serial));
          Sh("mkdir -p '" + dest + "' && sync");
          row.t = RunTimed({"cp", "-r", src + "/.", dest + "/"}, "");
          Measure(dest, &row.bytes, &row.files);
          rows.push_back(row);
          if (big_set) Sh("rm -rf '" + dest + "'");
        }
      }
    Sh("rm -rf '" + area + "'/* '" + tls_area + "'/* '" + audit_area + "'/* '" + tmp.path() +
       "'/" + set.name + "-*");
    for (Row& r : rows) {
      if (r.data == set.label) r.complete = r.bytes == set.bytes && r.files == set.files;
    }
  }
  fixture.StopServer();
  fixture.StopNaming();
  tls_fixture.StopServer();
  tls_fixture.StopNaming();
  audit_fixture.StopServer();
  audit_fixture.StopNaming();
  long audit_records = 0;
  {
    std::ifstream in(audit_fixture.dir() + "/audit.jsonl");
    std::string line;
    while (std::getline(in, line)) {
      audit_records += line.find("\"event\":\"upload\"") != std::string::npos ||
                       line.find("\"event\":\"download\"") != std::string::npos;
    }
  }

  // The fastest run of each row; memory is the highest seen, "ok" only when every run was.
  std::vector<Row> best;
  for (const Row& r : rows) {
    auto it = std::find_if(best.begin(), best.end(), [&](const Row& b) {
      return b.data == r.data && b.dir == r.dir && b.tool == r.tool;
    });
    if (it == best.end()) {
      best.push_back(r);
      continue;
    }
    bool faster = r.t.seconds < it->t.seconds;
    long client = std::max(it->t.client_hwm_kb, r.t.client_hwm_kb);
    long server = std::max(it->server_hwm_kb, r.server_hwm_kb);
    bool complete = it->complete && r.complete && it->t.status == 0 && r.t.status == 0;
    if (faster) *it = r;
    it->t.client_hwm_kb = client;
    it->server_hwm_kb = server;
    it->complete = complete;
  }
  rows = best;

  std::printf("\n%-13s %-5s %-17s %8s %9s %10s %12s %12s %s\n", "data", "dir", "tool", "seconds",
              "MB/s", "files/s", "client HWM", "server HWM", "check");
  std::map<std::string, double> rate;  // data|dir|tool -> MB/s
  for (const Row& r : rows) {
    double mbs = r.bytes / 1e6 / r.t.seconds;
    double fps = r.files / r.t.seconds;
    rate[r.data + "|" + r.dir + "|" + r.tool] = mbs;
    std::string server = r.server_hwm_kb < 0 ? "-" : std::to_string(r.server_hwm_kb / 1024) + " MB";
    std::printf("%-13s %-5s %-17s %8.2f %9.1f %10.0f %9ld MB %12s %s\n", r.data.c_str(),
                r.dir.c_str(), r.tool.c_str(), r.t.seconds, mbs, fps, r.t.client_hwm_kb / 1024,
                server.c_str(), r.t.status == 0 && r.complete ? "ok" : "INCOMPLETE");
  }
  std::printf(
      "\nratios (throughput of zkcp / peer; goals: >= 2 vs scp on the large file, "
      ">= 1 vs rsync on 10,000 files, >= 0.5 vs cp -r; over TLS: >= 1 vs scp):\n");
  const std::string big = "1 GiB file", tree = "10,000 files";
  const std::string large = std::string("zkcp ") + kLargeUnitKb + " KB";
  const std::string huge = std::string("zkcp ") + kHugeUnitKb + " KB";
  for (const char* dir : {"up", "down"}) {
    for (const std::string& zk_tool : {std::string("zkcp 1000 KB"), large, huge, tls_tool}) {
      auto ratio = [&](const std::string& set, const std::string& peer) {
        double p = rate[set + "|" + dir + "|" + peer];
        return p > 0 ? rate[set + "|" + dir + "|" + zk_tool] / p : 0.0;
      };
      std::printf("  %-4s %-17s  big/scp %5.2f  tree/rsync %5.2f  big/cp %5.2f  tree/cp %5.2f\n",
                  dir, zk_tool.c_str(), have_ssh ? ratio(big, "scp") : 0.0,
                  have_ssh ? ratio(tree, "rsync") : 0.0, ratio(big, "cp -r"), ratio(tree, "cp -r"));
    }
  }
  // The large file against the wire's limit, the large units against the default one, and
  // downloads against uploads.
  std::printf(
      "\nthe large file (goals: every unit >= 0.8 of the default unit, the default unit >= 0.6 of "
      "raw TCP, down >= 0.9 of up; over TLS >= 2 vs scp; /pread: the share of raw TCP with the "
      "sender's copy through its own memory):\n");
  auto big_rate = [&](const std::string& dir, const std::string& tool) {
    return rate[big + "|" + dir + "|" + tool];
  };
  auto share = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  for (const char* dir : {"up", "down"}) {
    for (const std::string& zk_tool : {std::string("zkcp 1000 KB"), large, huge, tls_tool}) {
      std::printf(
          "  %-4s %-17s  /raw TCP %5.2f  /pread %5.2f  /1000 KB %5.2f  down/up %5.2f  /scp %5.2f\n",
          dir, zk_tool.c_str(), share(big_rate(dir, zk_tool), big_rate(dir, kRaw)),
          share(big_rate(dir, zk_tool), big_rate(dir, kRawUserCopy)),
          share(big_rate(dir, zk_tool), big_rate(dir, "zkcp 1000 KB")),
          share(big_rate("down", zk_tool), big_rate("up", zk_tool)),
          share(big_rate(dir, zk_tool), big_rate(dir, "scp")));
    }
  }
  // What the check costs: zkcp against itself with the check switched off; and a resumed upload.
  // The median over the turns of one variant's throughput against another's in the same turn.
  auto median_ratio = [&](const std::string& set, const char* dir, int of, int against) {
    const std::vector<double>& a = turns[set + "|" + dir + "|" + std::to_string(of)];
    const std::vector<double>& b = turns[set + "|" + dir + "|" + std::to_string(against)];
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      if (a[i] > 0) r.push_back(b[i] / a[i]);
    }
    return Median(r);
  };
  // Ends a line with every turn's seconds of the variant `of`, then `against`.
  auto print_turns = [&](const std::string& set, const char* dir, int of, int against) {
    const std::vector<double>& a = turns[set + "|" + dir + "|" + std::to_string(of)];
    const std::vector<double>& b = turns[set + "|" + dir + "|" + std::to_string(against)];
    std::printf("  (seconds:");
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) std::printf(" %.2f/%.2f", a[i], b[i]);
    std::printf(")\n");
    // Where the difference goes: the median processor time of each side, client and server,
    // which the machine's other work disturbs less than the wall time.
    auto median_cpu = [&](int v, bool server) {
      std::vector<double> s;
      for (const auto& c : cpu_turns[set + "|" + dir + "|" + std::to_string(v)]) {
        s.push_back(server ? c.second : c.first);
      }
      return Median(s);
    };
    std::printf("         processor ms, median of turns (client + server): %.0f + %.0f / %.0f + "
                "%.0f\n",
                1e3 * median_cpu(of, false), 1e3 * median_cpu(of, true),
                1e3 * median_cpu(against, false), 1e3 * median_cpu(against, true));
  };
  std::printf("\nthe check of every copy (goal: >= 0.95 of the same zkcp unchecked; best of the "
              "rounds, and the median of %d turns side by side):\n",
              cost_turns);
  for (const char* dir : {"up", "down"}) {
    for (const std::string& set : {big, tree, std::string("5 GiB sparse"),
                                   std::string("1 GiB sparse")}) {
      const double checked = rate[set + "|" + dir + "|zkcp 1000 KB"];
      const double unchecked = rate[set + "|" + dir + "|" + kUnverifiedTool];
      if (checked <= 0 || unchecked <= 0) continue;
      std::printf("  %-4s %-13s  checked/unchecked best %5.2f  median of turns %5.2f", dir,
                  set.c_str(), checked / unchecked, median_ratio(set, dir, 0, 1));
      print_turns(set, dir, 0, 1);
    }
  }
  if (by_tool_seconds(rows, big, kResumedTool) > 0) {
    std::printf(
        "\nthe 1 GiB upload killed half way, then resumed: %.0f MB of data sent on the resume "
        "(what the server had not kept), its time / a fresh upload's %.2f\n",
        resume_sent / 1e6,
        by_tool_seconds(rows, big, kResumedTool) / by_tool_seconds(rows, big, "zkcp 1000 KB"));
  }
  // The audit trail's cost: the audited server's rate against the other's, same unit.
  std::printf("\nthe audit trail (goal: >= 0.95 of the same zkcp without it; %ld file records "
              "written):\n",
              audit_records);
  for (const char* dir : {"up", "down"}) {
    for (const std::string& set : {big, tree, std::string("5 GiB sparse"),
                                   std::string("1 GiB sparse")}) {
      const double plain = rate[set + "|" + dir + "|zkcp 1000 KB"];
      const double audited = rate[set + "|" + dir + "|" + audit_tool];
      if (plain <= 0 || audited <= 0) continue;
      std::printf("  %-4s %-13s  audit/plain best %5.2f  median of turns %5.2f", dir,
                  set.c_str(), audited / plain, median_ratio(set, dir, 2, 0));
      print_turns(set, dir, 2, 0);
    }
  }
  // Files beyond 4 GiB: the rate of the 5 GiB sparse file against the 1 GiB file and the 1 GiB
  // sparse file, and the memory of the client and the server beside those of the 1 GiB file.
  std::map<std::string, const Row*> by_key;
  for (const Row& r : rows) by_key[r.data + "|" + r.dir + "|" + r.tool] = &r;
  std::printf(
      "\nfiles beyond 4 GiB (goal: 5 GiB sparse / 1 GiB file >= 0.8, memory as the 1 GiB file):\n");
  for (const char* dir : {"up", "down"}) {
    for (const std::string& zk_tool : {std::string("zkcp 1000 KB"), large}) {
      const std::string k5 = std::string("5 GiB sparse|") + dir + "|" + zk_tool;
      const std::string k1 = big + "|" + dir + "|" + zk_tool;
      const std::string ks = std::string("1 GiB sparse|") + dir + "|" + zk_tool;
      if (!by_key.count(k5) || !by_key.count(k1)) continue;
      auto ratio = [&](const std::string& of) { return rate[of] > 0 ? rate[k5] / rate[of] : 0.0; };
      std::printf(
          "  %-4s %-17s  5G/1G %5.2f  5G/1G-sparse %5.2f  client HWM %ld/%ld MB  server HWM "
          "%ld/%ld MB\n",
          dir, zk_tool.c_str(), ratio(k1), by_key.count(ks) ? ratio(ks) : 0.0,
          by_key[k5]->t.client_hwm_kb / 1024, by_key[k1]->t.client_hwm_kb / 1024,
          by_key[k5]->server_hwm_kb / 1024, by_key[k1]->server_hwm_kb / 1024);
    }
  }
  return 0;
}
