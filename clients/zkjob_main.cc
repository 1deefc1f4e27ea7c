// zkjob: runs one registered job on the server, either waiting for its exit code (-s) or letting
// it run on, and leaves the return value in a file that a calling script can read.
#include <ace/OS_main.h>

#include <string>

#include "clients/session.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "platform/startdir.h"

namespace {

std::string Usage(const std::string& argv0) {
  return zk::UsageLine(
      argv0, {"<ジョブID> ", "-o <実行パラメタ> ", "-r <実行パスワード> ", "-s ",
              "-l <ジョブ戻り値ファイル> ", "-e <環境設定ファイル名> ", "-p <パスワード> "});
}

const char kRunFailed[] = "ジョブの実行に失敗しました。";

// The message of a result code other than kJobStarted.
const char* FailureMessage(long result) {
  switch (result) {
    case zk::kJobUnknown:
      return "存在しないジョブIDが指定されました。";
    case zk::kJobNoProgram:
      return "存在しないプログラムが指定されました。";
    case zk::kJobWrongPassword:
      return "実行パスワードに誤りがあります。";
    case zk::kJobStartFailed:
      return "ジョブの起動に失敗しました。";
    default:
      return kRunFailed;
  }
}

// Failures to create or write the file are not reported.
void WriteReturnValue(zk::FileSystem* fs, const std::string& path, const std::string& value) {
  const std::string line = value + "\n";
  fs->WriteAt(path, true, 0, line.data(), line.size());
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = argv[0];

  // Parse.
  zk::OptionScan opts = zk::ScanOptions(argc, argv, "e:p:o:r:sl:");
  if (!opts.ok || opts.positional.size() > 1 || opts.positional.empty() ||
      opts.positional[0].empty()) {
    zk::PrintOut(Usage(argv0));
    return zk::kExitFail;
  }
  const std::string job_id = opts.positional[0];
  const bool wait = opts.Has('s');

  // The return-value file is named from the starting directory, and a run that gets this far
  // leaves one behind only when the job was started.
  zk::FileSystem* fs = zk::FileSystem::Default();
  const std::string ret_file = zk::AbsoluteFrom(zk::CurrentDir(), opts.Get('l', "./zkjob.log"));
  if (fs->Exists(ret_file)) fs->RemoveFile(ret_file);

  zk::ClientSession session(fs, argv0);
  return zk::RunGuarded(false, [&]() -> int {
    // Locate, check, authenticate.
    if (!session.Open(opts.Get('e', zk::kDefaultUserEnvFile))) return zk::kExitFail;
    const std::string password = zk::PasswordOrPrompt(opts.Get('p'));
    if (!session.Login(password)) return zk::kExitFail;
    const std::string user = session.wire_user();

    // Work. The return value is a decimal number, the same bytes in every wire code.
    std::string job, params, run_password;
    if (!session.text().Out(job_id, &job) || !session.text().Out(opts.Get('o'), &params) ||
        !session.text().OutSecret(opts.Get('r'), &run_password)) {
      zk::PrintErr(kRunFailed);
      session.Shutdown();
      return zk::kExitFail;
    }
    CORBA::String_var ret_value = CORBA::string_dup("");
    CORBA::Long result = session.server()->zkRemoteJob(
        user.c_str(), job.c_str(), params.c_str(), run_password.c_str(),
        wait ? zk::kJobWaitMode : zk::kJobNoWaitMode, ret_value.inout());
    if (result != zk::kJobStarted) {
      zk::PrintErr(FailureMessage(result));
      session.Shutdown();
      return zk::kExitFail;
    }
    zk::PrintOut("ジョブが実行されました。");
    zk::PrintOut("ジョブID     : " + job_id);
    if (wait) zk::PrintOut(std::string("ジョブ戻り値 : ") + ret_value.in());
    session.Shutdown();
    WriteReturnValue(fs, ret_file, ret_value.in());
    return zk::kExitOk;
  });
}
