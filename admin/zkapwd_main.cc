// zkapwd: changes the administrator password of a server environment file.
#include <ace/OS_main.h>

#include <string>
#include <vector>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

namespace {

// The positional argument `i` when given and not empty, else the word typed at `prompt`.
std::string ArgOrPrompt(const std::vector<std::string>& pos, size_t i, const char* prompt) {
  if (i < pos.size() && !pos[i].empty()) return pos[i];
  return zk::PromptWord(prompt);
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:");
  const auto& pos = scan.positional;
  if (!scan.ok || pos.size() > 3) {
    return zk::PrintUsage(argv0, {"<現在のパスワード> ", "<新しいパスワード> ",
                                  "<新しいパスワード(確認)> ", zk::kUsageEnvFile});
  }

  std::string file;
  if (!zk::LocateServerEnv(scan.Get('e', zk::kDefaultServerEnv), argv0, &file)) {
    return zk::kExitFail;
  }
  const std::string current = ArgOrPrompt(pos, 0, "現在のパスワードを入力してください");
  if (current.empty() || current != zk::ReadEnvSetting(file, "adminpwd")) {
    zk::PrintErr("ERROR:現在のパスワードが誤っています。");
    return zk::kExitFail;
  }
  const std::string fresh = ArgOrPrompt(pos, 1, "新しいパスワードを入力してください");
  const std::string again = ArgOrPrompt(pos, 2, "新しいパスワード(確認)を入力してください");
  // An empty password would be stored as random filler that nobody knows.
  if (fresh.empty() || fresh != again) {
    zk::PrintErr("ERROR:新しいパスワードが誤っています。");
    return zk::kExitFail;
  }
  if (zk::UpdateEnvSetting(file, "adminpwd", fresh, "", "") != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:管理者パスワードの変更に失敗しました。");
    return zk::kExitFail;
  }
  zk::PrintOut("管理者パスワードを変更しました。");
  return zk::kExitOk;
}
