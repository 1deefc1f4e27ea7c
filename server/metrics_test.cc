// The metrics: what each answer counts as, the per-request notes, the exposition's lines, and the
// file written in one step.
#include "server/metrics.h"

#include <gtest/gtest.h>

#include <string>

#include "idl/wire.h"
#include "platform/fs_memory.h"

namespace zk {
namespace {

using Result = Metrics::Result;

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

TEST(MetricsTest, EachOperationsAnswerIsOkFailedOrRefused) {
  struct Case {
    const char* operation;
    long value;
    Result result;
  } cases[] = {
      {"zkExistsUser", kLoginAccepted, Result::kOk},
      {"zkExistsUser", kLoginRefused, Result::kRefused},
      {"zkExistsDir", kEntryAbsent, Result::kOk},  // an answer, not a failure
      {"zkFileCount", 0, Result::kOk},
      {"zkFileList64", 12, Result::kOk},
      {"zkChgUserPwd", kChangeDone, Result::kOk},
      {"zkFileRemove", kChangeFailed, Result::kFailed},
      {"zkDirRemove", kChangeDone, Result::kOk},
      {"zkFileUpload", kTransferOk, Result::kOk},
      {"zkFileUpload", kTransferDirFailed, Result::kFailed},
      {"zkFileUploadVerified", kTransferQuotaFull, Result::kFailed},
      {"zkFileDownloadVerified", kTransferFileFailed, Result::kFailed},
      {"zkRemoteJob", kJobStarted, Result::kOk},
      {"zkRemoteJob", kJobWrongPassword, Result::kRefused},
      {"zkRemoteJob", kJobNoProgram, Result::kFailed},
      {"noSuchOperation", 0, Result::kFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, Metrics::ResultOf(c.operation, c.value)) << c.operation << " " << c.value;
  }
}

TEST(MetricsTest, ARequestCountsWhatItsOperationNoted) {
  Metrics m;
  {
    RequestCount count(&m, "zkFileUpload");
    NoteReceivedBytes(1000);
    NoteReceivedBytes(24);
    EXPECT_EQ(kTransferOk, NoteAnswer(kTransferOk));
  }
  {
    RequestCount count(&m, "zkFileDownload64");
    NoteSentBytes(300);
    NoteAnswer(kTransferOk);
  }
  {
    RequestCount count(&m, "zkFileRemove");  // refused: its answer is not looked at
    NoteRefused();
    NoteAnswer(kChangeDone);
  }
  {
    RequestCount count(&m, "zkExistsUser");
    NoteAnswer(kLoginRefused);
  }
  {
    RequestCount count(&m, "zkExistsUser");
    NoteAnswer(kLoginAccepted);
  }
  { RequestCount count(&m, "zkExistsDir"); }  // ended without an answer (an exception)
  { RequestCount count(&m, "x\"}\n{"); }      // a name of the client's own
  NoteSentBytes(5);  // outside a request: not kept, nor carried into the next
  {
    RequestCount count(&m, "zkFileDownload");
    NoteAnswer(kTransferOk);
  }
  m.CountLoginHeldBack();

  Metrics::Gauges g;
  g.connections = 4;
  g.uploads_in_progress = 2;
  g.audit_records_dropped = 2;
  const std::string text = m.Exposition(g, "1.2.3");
  for (const char* line : {
           "zk_requests_total{operation=\"zkFileUpload\",result=\"ok\"} 1",
           "zk_requests_total{operation=\"zkFileDownload64\",result=\"ok\"} 1",
           "zk_requests_total{operation=\"zkFileDownload\",result=\"ok\"} 1",
           "zk_requests_total{operation=\"zkFileRemove\",result=\"refused\"} 1",
           "zk_requests_total{operation=\"zkFileRemove\",result=\"ok\"} 0",
           "zk_requests_total{operation=\"zkExistsUser\",result=\"refused\"} 1",
           "zk_requests_total{operation=\"zkExistsUser\",result=\"ok\"} 1",
           "zk_requests_total{operation=\"zkExistsDir\",result=\"failed\"} 1",
           "zk_requests_total{operation=\"other\",result=\"failed\"} 1",
           "zk_received_bytes_total 1024",
           "zk_sent_bytes_total 300",
           "zk_logins_total{result=\"accepted\"} 1",
           "zk_logins_total{result=\"refused\"} 1",
           "zk_logins_held_back_total 1",
           "zk_connections 4",
           "zk_uploads_in_progress 2",
           "zk_kept_parts 0",
           "zk_audit_records_dropped_total 2",
           "zk_build_info{version=\"1.2.3\"} 1",
           "# TYPE zk_requests_total counter",
           "# TYPE zk_connections gauge",
       }) {
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  }
  EXPECT_EQ(std::string::npos, text.find("x\\\"")) << "a client's name became a label";
  EXPECT_EQ('\n', text.back());
}

TEST(MetricsTest, TheFileIsReplacedInOneStepAndReadableByEveryone) {
  MemoryFileSystem fs;
  fs.AddDir("/var/lib/zk");
  ASSERT_TRUE(WriteFileAtomically(&fs, "/var/lib/zk/zk.prom", "a 1\n"));
  ASSERT_TRUE(WriteFileAtomically(&fs, "/var/lib/zk/zk.prom", "a 2\n"));
  EXPECT_EQ("a 2\n", fs.Content("/var/lib/zk/zk.prom"));
  EXPECT_EQ(0644, fs.Mode("/var/lib/zk/zk.prom"));
  EXPECT_FALSE(fs.Exists("/var/lib/zk/zk.prom.tmp"));
  // A folder that is not there: a failure, and nothing left behind.
  EXPECT_FALSE(WriteFileAtomically(&fs, "/nowhere/zk.prom", "a 3\n"));
  EXPECT_FALSE(fs.Exists("/nowhere/zk.prom.tmp"));
}

}  // namespace
}  // namespace zk
