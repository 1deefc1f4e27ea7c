// The audit trail of a real zksvr: the records of a session of the tools read back from the
// JSON-lines file with every field, the file moved away for rotation, sinks that fail while
// requests go on, settings refused at start, and the journal where one is reachable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "platform/timetext.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// A value of a flat JSON object: a string (unescaped), a number (its text) or null.
struct Value {
  enum Kind { kString, kNumber, kNull } kind;
  std::string text;
};
using Object = std::map<std::string, Value>;

// Parses one line holding a flat JSON object of strings, integers and nulls: false when it is
// anything else (not JSON, nested, a repeated key, trailing bytes).
bool ParseObject(const std::string& line, Object* out) {
  size_t i = 0;
  auto string = [&](std::string* s) {
    if (i >= line.size() || line[i] != '"') return false;
    for (++i; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '"') {
        ++i;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *s += c;
        continue;
      }
      if (++i >= line.size()) return false;
      switch (line[i]) {
        case '"':
          *s += '"';
          break;
        case '\\':
          *s += '\\';
          break;
        case '/':
          *s += '/';
          break;
        case 'n':
          *s += '\n';
          break;
        case 'r':
          *s += '\r';
          break;
        case 't':
          *s += '\t';
          break;
        case 'u': {
          if (i + 4 >= line.size()) return false;
          const unsigned long cp = std::stoul(line.substr(i + 1, 4), nullptr, 16);
          i += 4;
          if (cp < 0x80) {
            *s += static_cast<char>(cp);
          } else {
            *s += "<U+" + std::to_string(cp) + ">";  // enough to compare in a test
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  };
  if (line.empty() || line[i++] != '{') return false;
  while (i < line.size() && line[i] != '}') {
    if (!out->empty() && line[i++] != ',') return false;
    std::string key;
    if (!string(&key) || i >= line.size() || line[i++] != ':') return false;
    Value v;
    if (line.compare(i, 4, "null") == 0) {
      v.kind = Value::kNull;
      i += 4;
    } else if (i < line.size() && line[i] == '"') {
      v.kind = Value::kString;
      if (!string(&v.text)) return false;
    } else {
      v.kind = Value::kNumber;
      size_t start = i;
      if (i < line.size() && line[i] == '-') ++i;
      while (i < line.size() && isdigit(static_cast<unsigned char>(line[i]))) ++i;
      v.text = line.substr(start, i - start);
      if (v.text.empty() || v.text == "-") return false;
    }
    if (!out->emplace(key, v).second) return false;
  }
  return i + 1 == line.size() && line[i] == '}';
}

// Milliseconds since the epoch of "yyyy-mm-ddThh:mm:ss.mmm+hh:mm"; false for another form.
bool ParseIsoTime(const std::string& t, int64_t* ms) {
  const char* form = "dddd-dd-ddTdd:dd:dd.dddXdd:dd";
  if (t.size() != strlen(form)) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (form[i] == 'd'   ? !isdigit(static_cast<unsigned char>(t[i]))
        : form[i] == 'X' ? t[i] != '+' && t[i] != '-'
                         : t[i] != form[i]) {
      return false;
    }
  }
  struct tm tm = {};
  tm.tm_year = std::stoi(t.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(t.substr(5, 2)) - 1;
  tm.tm_mday = std::stoi(t.substr(8, 2));
  tm.tm_hour = std::stoi(t.substr(11, 2));
  tm.tm_min = std::stoi(t.substr(14, 2));
  tm.tm_sec = std::stoi(t.substr(17, 2));
  const int64_t offset = (std::stoi(t.substr(24, 2)) * 60 + std::stoi(t.substr(27, 2))) * 60;
  *ms = (static_cast<int64_t>(timegm(&tm)) - (t[23] == '-' ? -offset : offset)) * 1000 +
        std::stoi(t.substr(20, 3));
  return true;
}

std::vector<Object> Records(const std::string& path) {
  std::vector<Object> out;
  const std::string all = ReadFile(path);
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find('\n', at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without its end: " << all.substr(at);
      break;
    }
    Object o;
    const std::string line = all.substr(at, end - at);
    if (!ParseObject(line, &o)) ADD_FAILURE() << "not a flat JSON object: " << line;
    out.push_back(o);
    at = end + 1;
  }
  return out;
}

// Waits until the file at `path` holds a record for which `match` is true.
bool WaitForRecord(const std::string& path, const std::function<bool(const Object&)>& match) {
  return WaitUntil(
      [&] {
        for (const Object& o : Records(path)) {
          if (match(o)) return true;
        }
        return false;
      },
      10);
}

bool Is(const Object& o, const std::string& key, const std::string& text) {
  auto it = o.find(key);
  return it != o.end() && it->second.kind != Value::kNull && it->second.text == text;
}

const char* const kBaseKeys[] = {"time", "event", "user", "peer", "path", "bytes", "result", "ms"};

// Every record has the eight keys, a time of now in the local zone and a duration; nothing but
// the keys the trail knows.
void CheckCommonFields(const Object& o, int64_t since_ms, int64_t until_ms) {
  for (const char* key : kBaseKeys) EXPECT_EQ(o.count(key), 1u) << key;
  for (const auto& kv : o) {
    EXPECT_TRUE(std::string("time event user peer path bytes result ms reason digest job exit")
                    .find(kv.first) != std::string::npos)
        << kv.first;
  }
  ASSERT_EQ(o.at("time").kind, Value::kString);
  int64_t ms = 0;
  ASSERT_TRUE(ParseIsoTime(o.at("time").text, &ms)) << o.at("time").text;
  EXPECT_GE(ms, since_ms - 1000);
  EXPECT_LE(ms, until_ms + 1000);
  EXPECT_EQ(FormatIsoTime(ms), o.at("time").text) << "the server's own zone and offset";
  ASSERT_EQ(o.at("ms").kind, Value::kNumber);
  EXPECT_GE(std::stoll(o.at("ms").text), 0);
  EXPECT_LT(std::stoll(o.at("ms").text), until_ms - since_ms + 1000);
  EXPECT_EQ(o.at("peer").kind, Value::kString);
  // The calling host and port, whether the server's socket is IPv4 or IPv6.
  EXPECT_EQ(o.at("peer").text.rfind("127.0.0.1:", 0), 0u) << o.at("peer").text;
  EXPECT_GT(std::stoi(o.at("peer").text.substr(10)), 0) << o.at("peer").text;
}

// The digest that a record gives for a file of `content`: what xxh128sum prints for it. Where the
// program is installed, it is asked too, for the file at `path` holding that content.
std::string FileDigestOf(const std::string& content, const std::string& path) {
  StreamDigest d;
  d.Update(content.data(), content.size());
  const std::string text = DigestText(d.Value());
  if (Exists("/usr/bin/xxh128sum")) {
    RunResult r = test::Run({"/usr/bin/xxh128sum", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, text + "  " + path + "\n");
  }
  return text;
}

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TEST(AuditTrailTest, ASessionOfTheToolsIsReadBackWithEveryField) {
  ServerFixture fx("1");  // a unit of 1 KB: the file below goes in three chunks
  const std::string trail = fx.dir() + "/audit.jsonl";
  fx.AddServerConf("zkAuditLog = " + trail);
  fx.AddUser("u1", "pw1");
  WriteScript(fx.dir() + "/three.sh", "exit 3\n");
  fx.AddJob("three", fx.dir() + "/three.sh");
  fx.Start();
  const int64_t since = NowMs();

  std::string data;
  for (int i = 0; i < 2500; ++i) data += static_cast<char>('a' + i % 26);
  WriteFile(fx.client_dir("u1") + "/hello.txt", data);
  mkdir((fx.client_dir("u1") + "/back").c_str(), 0700);
  RunResult r = fx.RunClient("u1", "zkcp", {"hello.txt", "::", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = fx.RunClient("u1", "zkcp", {"::hello.txt", "back", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(ReadFile(fx.client_dir("u1") + "/back/hello.txt"), data);
  r = fx.RunClient("u1", "zkrm", {"::hello.txt", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = fx.RunClient("u1", "zkjob", {"three", "-s", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = fx.RunClient("u1", "zkpwd", {"pw1", "pw2", "pw2"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = fx.RunClient("u1", "zkls", {"-p", "pw1"});  // the old password
  ASSERT_EQ(r.status, 20) << r.out << r.err;

  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) {
    return Is(o, "reason", "wrong-password");
  })) << ReadFile(trail);
  const int64_t until = NowMs();
  struct stat st;
  ASSERT_EQ(stat(trail.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::vector<Object> records = Records(trail);
  std::vector<Object> acts;  // everything but the logins
  int accepted = 0, refused = 0;
  for (const Object& o : records) {
    SCOPED_TRACE(ReadFile(trail));
    CheckCommonFields(o, since, until);
    EXPECT_TRUE(Is(o, "user", "u1"));
    if (!Is(o, "event", "login")) {
      acts.push_back(o);
      continue;
    }
    EXPECT_EQ(o.at("path").kind, Value::kNull);
    EXPECT_EQ(o.at("bytes").kind, Value::kNull);
    if (Is(o, "result", "-1")) {
      ++accepted;
      EXPECT_EQ(o.count("reason"), 0u);
    } else {
      ++refused;
      EXPECT_TRUE(Is(o, "result", "0"));
      EXPECT_TRUE(Is(o, "reason", "wrong-password"));
    }
  }
  // Each tool logged in (zkcp may log in on a second connection for its downloads).
  EXPECT_GE(accepted, 5);
  EXPECT_EQ(refused, 1);

  ASSERT_EQ(acts.size(), 5u) << ReadFile(trail);
  const Object& up = acts[0];
  EXPECT_TRUE(Is(up, "event", "upload"));
  EXPECT_TRUE(Is(up, "path", "hello.txt"));
  EXPECT_TRUE(Is(up, "bytes", "2500"));
  EXPECT_TRUE(Is(up, "result", "0"));
  const std::string digest = FileDigestOf(data, fx.client_dir("u1") + "/hello.txt");
  EXPECT_TRUE(Is(up, "digest", digest)) << ReadFile(trail);
  EXPECT_EQ(up.count("job") + up.count("exit") + up.count("reason"), 0u);
  const Object& down = acts[1];
  EXPECT_TRUE(Is(down, "event", "download"));
  EXPECT_TRUE(Is(down, "path", "hello.txt"));
  EXPECT_TRUE(Is(down, "bytes", "2500"));
  EXPECT_TRUE(Is(down, "result", "0"));
  EXPECT_TRUE(Is(down, "digest", digest)) << ReadFile(trail);
  const Object& rm = acts[2];
  EXPECT_TRUE(Is(rm, "event", "remove-file"));
  EXPECT_TRUE(Is(rm, "path", "hello.txt"));
  EXPECT_EQ(rm.at("bytes").kind, Value::kNull);
  EXPECT_TRUE(Is(rm, "result", "0"));
  const Object& job = acts[3];
  EXPECT_TRUE(Is(job, "event", "job"));
  EXPECT_TRUE(Is(job, "job", "three"));
  EXPECT_TRUE(Is(job, "exit", "3"));
  EXPECT_TRUE(Is(job, "result", "0"));
  EXPECT_EQ(job.at("path").kind, Value::kNull);
  const Object& pwd = acts[4];
  EXPECT_TRUE(Is(pwd, "event", "password"));
  EXPECT_TRUE(Is(pwd, "result", "0"));
}

TEST(AuditTrailTest, AFailedUploadAndADirectoryRemovalCarryTheirResults) {
  ServerFixture fx;
  const std::string trail = fx.dir() + "/audit.jsonl";
  fx.AddServerConf("zkAuditLog = " + trail);
  fx.AddUser("u1", "pw1");
  fx.Start();
  // A directory stands where the file would go (replaced with -r): its upload fails with 20.
  mkdir((fx.storage_dir("u1") + "/taken").c_str(), 0700);
  WriteFile(fx.client_dir("u1") + "/taken", "x");
  RunResult r = fx.RunClient("u1", "zkcp", {"taken", "::", "-r", "-p", "pw1"});
  EXPECT_EQ(r.status, 20) << r.out << r.err;
  mkdir((fx.storage_dir("u1") + "/empty").c_str(), 0700);
  r = fx.RunClient("u1", "zkrm", {"::empty", "-p", "pw1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) { return Is(o, "event", "remove-dir"); }))
      << ReadFile(trail);
  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) { return Is(o, "event", "upload"); }))
      << ReadFile(trail);
  std::vector<Object> ups;
  for (const Object& o : Records(trail)) {
    if (Is(o, "event", "upload")) ups.push_back(o);
  }
  ASSERT_EQ(ups.size(), 1u);
  EXPECT_TRUE(Is(ups[0], "path", "taken")) << ups[0].at("path").text;
  EXPECT_TRUE(Is(ups[0], "result", "20")) << ups[0].at("result").text;
  EXPECT_TRUE(Is(ups[0], "bytes", "0"));
  EXPECT_EQ(ups[0].count("digest"), 0u) << "nothing landed";
  for (const Object& o : Records(trail)) {
    if (Is(o, "event", "remove-dir")) {
      EXPECT_TRUE(Is(o, "path", "empty")) << o.at("path").text;
      EXPECT_TRUE(Is(o, "result", "0"));
    }
  }
}

// The records of `path` with `event`, in the order written.
std::vector<Object> RecordsOf(const std::string& trail, const std::string& event,
                              const std::string& path) {
  std::vector<Object> out;
  for (const Object& o : Records(trail)) {
    if (Is(o, "event", event) && Is(o, "path", path)) out.push_back(o);
  }
  return out;
}

// Chunks larger than the pieces the server streams, a stretch of zeros that the server stores as
// a hole, and the plain upload beside the checked one: each record still names the whole file's
// digest.
TEST(AuditTrailTest, LargeChunksAndZerosAreDigestedAsTheFileHoldsThem) {
  ServerFixture fx;  // a unit of 1000 KB
  const std::string trail = fx.dir() + "/audit.jsonl";
  fx.AddServerConf("zkAuditLog = " + trail);
  fx.AddUser("u1", "pw1");
  fx.Start();
  std::string data;
  uint32_t x = 12345;
  for (int i = 0; i < 1300 * 1024; ++i) {
    x = x * 1103515245u + 12345u;
    data += static_cast<char>(x >> 24);
  }
  data += std::string(1000 * 1024, '\0');  // one whole chunk of zeros
  data += "the end";
  const std::string client = fx.client_dir("u1");
  WriteFile(client + "/big.bin", data);
  WriteFile(client + "/plain.bin", data.substr(1000));
  mkdir((client + "/back").c_str(), 0700);
  RunResult r = fx.RunClient("u1", "zkcp", {"big.bin", "::", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  RunOptions unverified;  // zkFileUpload instead of the checked upload
  unverified.cwd = client;
  unverified.env = {"ZK_BENCH_UNVERIFIED=1"};
  r = test::Run({Program("zkcp"), "plain.bin", "::", "-p", "pw1"}, unverified);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = fx.RunClient("u1", "zkcp", {"::big.bin", "back", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(ReadFile(client + "/back/big.bin"), data);

  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) {
    return Is(o, "event", "download") && Is(o, "path", "big.bin");
  })) << ReadFile(trail);
  const std::string digest = FileDigestOf(data, client + "/big.bin");
  const std::vector<Object> up = RecordsOf(trail, "upload", "big.bin");
  ASSERT_EQ(up.size(), 1u) << ReadFile(trail);
  EXPECT_TRUE(Is(up[0], "bytes", std::to_string(data.size())));
  EXPECT_TRUE(Is(up[0], "digest", digest)) << ReadFile(trail);
  const std::vector<Object> plain = RecordsOf(trail, "upload", "plain.bin");
  ASSERT_EQ(plain.size(), 1u) << ReadFile(trail);
  EXPECT_TRUE(Is(plain[0], "digest", FileDigestOf(data.substr(1000), client + "/plain.bin")))
      << ReadFile(trail);
  const std::vector<Object> down = RecordsOf(trail, "download", "big.bin");
  ASSERT_EQ(down.size(), 1u) << ReadFile(trail);
  EXPECT_TRUE(Is(down[0], "digest", digest)) << ReadFile(trail);
}

// Batches larger than what the connection buffers: the download's next batch, asked for on the
// second connection, is served while the reply before it is still being written. Its record
// carries the file's digest all the same.
TEST(AuditTrailTest, ADownloadOverTwoConnectionsCarriesTheDigest) {
  ServerFixture fx("16384");
  const std::string trail = fx.dir() + "/audit.jsonl";
  fx.AddServerConf("zkAuditLog = " + trail);
  fx.AddUser("u1", "pw1");
  fx.Start();
  std::string data(96 << 20, '\0');
  uint32_t x = 88172645u;
  for (char& c : data) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  WriteFile(fx.storage_dir("u1") + "/large.bin", data);
  const std::string client = fx.client_dir("u1");
  mkdir((client + "/back").c_str(), 0700);
  RunResult r = fx.RunClient("u1", "zkcp", {"::large.bin", "back", "-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) { return Is(o, "event", "download"); }))
      << ReadFile(trail);
  const std::vector<Object> down = RecordsOf(trail, "download", "large.bin");
  ASSERT_EQ(down.size(), 1u) << ReadFile(trail);
  EXPECT_TRUE(Is(down[0], "result", "0"));
  EXPECT_TRUE(Is(down[0], "digest", FileDigestOf(data, client + "/back/large.bin")))
      << ReadFile(trail);
}

TEST(AuditTrailTest, AFileMovedAwayIsFollowedByANewOwnerOnlyOne) {
  ServerFixture fx;
  const std::string trail = fx.dir() + "/audit.jsonl";
  fx.AddServerConf("zkAuditLog = " + trail);
  fx.AddUser("u1", "pw1");
  fx.Start();
  RunResult r = fx.RunClient("u1", "zkls", {"-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) { return Is(o, "event", "login"); }));
  const std::string rotated = trail + ".1";
  ASSERT_EQ(rename(trail.c_str(), rotated.c_str()), 0);
  const std::string before = ReadFile(rotated);

  r = fx.RunClient("u1", "zkls", {"-p", "nope"});
  ASSERT_EQ(r.status, 20) << r.err;
  ASSERT_TRUE(WaitForRecord(trail, [](const Object& o) { return Is(o, "event", "login"); }))
      << "no new file at the path";
  std::vector<Object> now = Records(trail);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_TRUE(Is(now[0], "reason", "wrong-password"));
  struct stat st;
  ASSERT_EQ(stat(trail.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(rotated), before) << "the moved file gets nothing more";
}

// A sink that cannot take records: requests go on, at their usual pace, and the server's log says
// so once.
void RequestsGoOnWith(const std::string& sink, const std::string& reason) {
  ServerFixture fx;
  fx.AddServerConf("zkAuditLog = " + sink);
  fx.AddUser("u1", "pw1");
  fx.Start();
  for (int i = 0; i < 5; ++i) {
    const auto started = std::chrono::steady_clock::now();
    RunResult r = fx.RunClient("u1", "zkls", {"-p", "pw1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  }
  const std::string said =
      "WARNING:監査記録を書けませんでした。書けるようになるまで、記録は数えて"
      "捨てます。(" +
      sink + ": " + reason + ")\n";
  ASSERT_TRUE(WaitUntil([&] { return fx.ServerLog().find(said) != std::string::npos; }, 10))
      << fx.ServerLog();
  const std::string log = fx.ServerLog();
  EXPECT_EQ(log.find("監査記録"), log.rfind("監査記録")) << "said once: " << log;
}

TEST(AuditTrailTest, AFullDiskDropsRecordsAndRequestsGoOn) {
  RequestsGoOnWith("/dev/full", strerror(ENOSPC));
}

TEST(AuditTrailTest, AFifoNobodyReadsDropsRecordsAndRequestsGoOn) {
  TempDir tmp;
  const std::string fifo = tmp / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RequestsGoOnWith(fifo, strerror(ENXIO));
}

TEST(AuditTrailTest, ASettingThatCannotBeFollowedStopsTheStart) {
  ServerFixture fx;
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"audit.jsonl",
            "ERROR:server.confのzkAuditLogはjournal、none、または絶対パスです。(audit.jsonl)\n"},
           {"/nonexistent/audit.jsonl",
            "ERROR:監査記録ファイルを開けません。(/nonexistent/audit.jsonl: " +
                std::string(strerror(ENOENT)) + ")\n"}}) {
    WriteFile(fx.dir() + "/server.conf",
              "endPointPublish = giop:tcp:127.0.0.1:\nzkAuditLog = " + c.first + "\n");
    RunOptions options;
    options.cwd = fx.dir();
    options.timeout_seconds = 20;
    RunResult r = test::Run({fx.dir() + "/zksvr", "-e", fx.server_env()}, options);
    EXPECT_TRUE(Ended(r, 20, "", c.second));
  }
}

TEST(AuditTrailTest, JournalRecordsCarryTheFieldsAndTheKindsMessageId) {
  if (!Exists("/run/systemd/journal/socket")) {
    GTEST_SKIP() << "no journal here (/run/systemd/journal/socket): journald records not checked";
  }
  ServerFixture fx;
  fx.AddServerConf("zkAuditLog = journal");
  const std::string user = "audit" + std::to_string(getpid()) + "x" + std::to_string(NowMs());
  fx.AddUser(user, "pw1");
  fx.Start();
  RunResult r = fx.RunClient(user, "zkls", {"-p", "pw1"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string out;
  const bool found = WaitUntil(
      [&] {
        out = test::Run({"/bin/sh", "-c",
                         "journalctl --no-pager -o export ZK_USER=" + user +
                             " MESSAGE_ID=d7c991fb8f5a405ea56941496d2da767"})
                  .out;
        return out.find("ZK_EVENT=login") != std::string::npos;
      },
      10);
  if (!found && out.empty()) GTEST_SKIP() << "the journal is not readable here";
  ASSERT_TRUE(found) << out;
  EXPECT_NE(out.find("ZK_RESULT=-1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ZK_PEER=127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("SYSLOG_IDENTIFIER=zksvr\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ZK_TIME="), std::string::npos) << out;
}

}  // namespace
}  // namespace test
}  // namespace zk
