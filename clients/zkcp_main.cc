// zkcp: copies files and directory trees between the local disk and the user's area on the
// server, in either direction, skipping, updating or replacing files that already exist there.
#include <cstdlib>
#include <ace/OS_main.h>
#include <malloc.h>

#include <string>

#include "clients/copy_plan.h"
#include "clients/copy_walk.h"
#include "clients/session.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/options.h"
#include "platform/pathtext.h"
#include "platform/startdir.h"
#include "settings/envfile.h"

namespace {

bool HasPrefix(const std::string& s) { return s.compare(0, 2, "::") == 0; }

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  // Batch buffers of one unit come and go for every request: keep them in the heap instead of
  // mapping (and faulting in) fresh pages each time.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
  const std::string argv0 = argv[0];

  // Parse.
  zk::OptionScan opts = zk::ScanOptions(argc, argv, "e:p:ur");
  std::string source = opts.positional.size() > 0 ? opts.positional[0] : "";
  std::string dest = opts.positional.size() > 1 ? opts.positional[1] : "";
  if (!opts.ok || opts.positional.size() > 2 || source.empty()) {
    zk::PrintOut(zk::UsageLine(argv0, {"<送り側> ", "<受け側> ", "-u -r ",
                                       "-e <環境設定ファイル名> ", "-p <パスワード> "}));
    return zk::kExitFail;
  }
  zk::CopyMode mode = zk::CopyMode::kSkip;
  for (const auto& [c, value] : opts.given) {  // the later of -u and -r wins
    if (c == 'u') mode = zk::CopyMode::kUpdate;
    if (c == 'r') mode = zk::CopyMode::kReplace;
  }

  // Direction and paths.
  if (dest.empty()) dest = HasPrefix(source) ? zk::CurrentDir() : "::";
  if (HasPrefix(source) && HasPrefix(dest)) {
    zk::PrintErr("ERROR:コピー元／コピー先どちらもサーバディレクトリが設定されいています。");
    return zk::kExitFail;
  }
  if (!HasPrefix(source) && !HasPrefix(dest)) {
    zk::PrintErr("ERROR:コピー元／コピー先どちらもローカルディレクトリが設定されいています。");
    return zk::kExitFail;
  }
  const bool to_server = HasPrefix(dest);
  std::string server_path;
  if (!zk::NormaliseServerPath(to_server ? dest : source, &server_path)) return zk::kExitFail;
  std::string local_path = zk::AbsoluteFrom(zk::CurrentDir(), to_server ? source : dest);

  zk::FileSystem* fs = zk::FileSystem::Default();
  zk::ClientSession session(fs, argv0);
  return zk::RunGuarded(true, [&]() -> int {
    // Locate and check the environment file, the unit, the password; connect.
    if (!session.Open(opts.Get('e', zk::kDefaultUserEnvFile))) return zk::kExitFail;
    int64_t unit = 0;
    if (!zk::ParseUnit(zk::ReadConnectionSettings(session.env_file()).unit, &unit)) {
      zk::PrintErr("ERROR:転送単位(unit)は1から" + std::to_string(zk::MaxUnitKb()) +
                   "までのKB数で設定してください。(" + session.env_file() + ")");
      return zk::kExitFail;
    }
    const std::string password = zk::PasswordOrPrompt(opts.Get('p'));
    if (!session.Login(password)) return zk::kExitFail;
    const std::string user = session.wire_user();

    // The destination must be a directory (or not exist yet).
    bool dest_is_file = false;
    if (to_server) {
      std::string wire_path;
      if (!session.text().Out(server_path, &wire_path)) {
        session.Shutdown();
        return zk::kExitFail;
      }
      dest_is_file =
          !zk::EndsWithSeparator(server_path) &&
          session.server()->zkExistsFile(user.c_str(), wire_path.c_str()) != zk::kEntryAbsent;
    } else {
      dest_is_file = local_path.back() != '/' && fs->IsFile(local_path);
    }
    if (dest_is_file) {
      zk::PrintErr("ERROR:コピー先はディレクトリを指定してください。");
      session.Shutdown();
      return zk::kExitFail;
    }

    // Copy.
    zk::ZKmdCopyServer server(session.server(), user, session.text(),
                              [&] { return session.SecondConnection(1, password); });
    // ZK_BENCH_UNVERIFIED: bench/transfer.sh's measure of what the check of every copy costs.
    if (std::getenv("ZK_BENCH_UNVERIFIED") != nullptr) server.SkipVerification();
    zk::CopyWalk walk(fs, &server, mode, unit, zk::CopyConsole::Standard());
    int result;
    if (to_server) {
      if (!zk::EndsWithSeparator(server_path)) server_path += "\\";
      std::string dir, mask;
      zk::SplitLocalPath(local_path, &dir, &mask);
      result = walk.ToServer(dir, mask, server_path);
    } else {
      zk::ServerPath from = zk::SplitServerPath(server_path);
      result = walk.FromServer(from.dir, from.mask, zk::WithSlash(local_path));
    }
    for (const std::string& line : zk::ResultLines(walk.copied(), walk.unreadable())) {
      zk::PrintOut(line);
    }
    session.Shutdown();
    // A file that could not be read, stored or written fails the run, so that scripts can tell.
    return result == zk::kExitOk && !walk.failed() ? zk::kExitOk : zk::kExitFail;
  });
}
