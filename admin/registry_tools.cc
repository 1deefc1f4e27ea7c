// The table of the registry tools and the run they share.
#include "admin/registry_tools.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

struct RegistryTool {
  const char* name;
  // The usage piece of the one id the tool takes; null when it takes none.
  const char* id_usage;
  // With an id: the read that must find it, and the message (before "(ID)") when it does not.
  ReadStatus (*find)(const std::string& file, const std::string& id);
  const char* unknown;
  // Without an id: the count that must not be 0, and the message when it is.
  int (*count)(const std::string& file);
  const char* none;
  // The work once the checks passed (`id` is empty for the tools without one): the exit status.
  int (*work)(const std::string& file, const std::string& id);
};

ReadStatus FindUser(const std::string& file, const std::string& id) { return ReadUser(file, id); }
ReadStatus FindJob(const std::string& file, const std::string& id) { return ReadJob(file, id); }

// The result line of a deletion.
int Deleted(WriteStatus status, const char* done, const char* failed) {
  if (status != WriteStatus::kDone) {
    PrintErr(failed);
    return kExitFail;
  }
  PrintOut(done);
  return kExitOk;
}

int DeleteUserWork(const std::string& file, const std::string& id) {
  // The user's storage directory and files stay in place.
  return Deleted(DeleteUser(file, id), "ユーザを削除しました。",
                 "ERROR:ユーザ削除に失敗しました。");
}

int DeleteJobWork(const std::string& file, const std::string& id) {
  return Deleted(DeleteJob(file, id), "ジョブを削除しました。", "ERROR:ジョブ削除に失敗しました。");
}

int RewriteUserFile(const std::string& file, const std::string& id) {
  // The connection settings that the server file holds now and the user's current password.
  UserRow user;
  ReadUser(file, id, &user);
  return WriteUserEnvFile(file, id, user.password);
}

// One line per registered user with the storage directory, numbered by the listing (not by the
// users' numbers).
int ListUsers(const std::string& file, const std::string&) {
  int k = 0;
  for (const std::string& name : RegisteredUsers(file)) {
    UserRow user;
    ReadUser(file, name, &user);
    PrintOut(std::to_string(++k) + ": " + name + " (" + user.storage_dir + ")");
  }
  return kExitOk;
}

// One line per registered job with its program and parameters; a job guarded by a run password
// is marked " (*)", the password itself is never shown.
int ListJobs(const std::string& file, const std::string&) {
  int k = 0;
  for (const std::string& id : RegisteredJobs(file)) {
    JobRow job;
    ReadJob(file, id, &job);
    std::string line = std::to_string(++k) + ": " + id + " = " + job.program + " " + job.params;
    if (!job.run_password.empty()) line += " (*)";
    PrintOut(line);
  }
  return kExitOk;
}

const RegistryTool kTools[] = {
    {"zkdu", "<ユーザID> ", FindUser, "ERROR:存在しないユーザIDです。", nullptr, nullptr,
     DeleteUserWork},
    {"zkdj", "<ジョブID> ", FindJob, "ERROR:存在しないジョブIDです。", nullptr, nullptr,
     DeleteJobWork},
    {"zkuenv", "<ユーザID> ", FindUser, "ERROR:存在しないユーザIDです。", nullptr, nullptr,
     RewriteUserFile},
    {"zklu", nullptr, nullptr, nullptr, ReadUserCount, "ERROR:ユーザが存在しません。", ListUsers},
    {"zklj", nullptr, nullptr, nullptr, ReadJobCount, "ERROR:ジョブが存在しません。", ListJobs},
};

}  // namespace

int RunRegistryTool(const char* name, int argc, char* argv[]) {
  const RegistryTool* tool = nullptr;
  for (const RegistryTool& t : kTools) {
    if (std::strcmp(t.name, name) == 0) tool = &t;
  }
  if (!tool) std::abort();  // a main that names no tool of the table is a build mistake
  InitConsole();
  const std::string argv0 = ProgramName(argv[0]);

  // Parse: -e, -a and, for the tools that take one, exactly one id (the others ignore words).
  OptionScan scan = ScanOptions(argc, argv, "e:a:");
  const bool takes_id = tool->id_usage != nullptr;
  if (!scan.ok || (takes_id && (scan.positional.size() != 1 || scan.positional[0].empty()))) {
    return takes_id ? PrintUsage(argv0, {tool->id_usage, kUsageEnvFile, kUsageAdminPassword})
                    : PrintUsage(argv0, {kUsageEnvFile, kUsageAdminPassword});
  }
  const std::string id = takes_id ? scan.positional[0] : std::string();

  // Open the server file as the administrator.
  std::string file;
  if (!OpenServerEnv(FileSystem::Default(), scan.Get('e', kDefaultServerEnvFile), argv[0],
                     scan.Get('a'), &file)) {
    return kExitFail;
  }

  // Check. A registry that cannot be read is not taken for one without the id: the work then
  // fails on its own.
  if (takes_id && tool->find(file, id) == ReadStatus::kMissing) {
    PrintErr(std::string(tool->unknown) + "(" + id + ")");
    return kExitFail;
  }
  if (!takes_id && tool->count(file) == 0) {
    PrintErr(tool->none);
    return kExitFail;
  }

  // Work.
  return tool->work(file, id);
}

}  // namespace zk
