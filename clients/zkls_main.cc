// zkls: lists one directory of the user's area on the server, like a directory listing: a heading,
// one line per entry in the requested sort order, and the file and directory summaries.
#include <ace/OS_main.h>

#include <cstdint>
#include <string>
#include <vector>

#include "clients/listing_text.h"
#include "clients/server_list.h"
#include "clients/session.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/options.h"

namespace {

std::string Usage(const std::string& argv0) {
  return zk::UsageLine(argv0, {"<ディレクトリ名> ", "-e <環境設定ファイル名> ", "-p <パスワード> ",
                               "-o <ソート順> "});
}
// For a directory argument without the server prefix.
std::string ShortUsage(const std::string& argv0) {
  return zk::UsageLine(argv0,
                       {"<ディレクトリ名> ", "-e <環境設定ファイル名> ", "-p <パスワード> "});
}

// Prints the entries of `where` matching its mask, and the summaries. Remote failures propagate,
// as does a path that cannot be written in the wire code; an entry whose name cannot be read is
// left out. Sizes and the total are those of the 64-bit listing; from a server without it, what
// its 32-bit listing says, summed in 32 bits as that listing always was.
void PrintListing(ZKmd_ptr server, const zk::ServerText& text, const std::string& user,
                  const zk::ServerPath& where, const std::string& sort_code) {
  zk::WideOps ops;
  std::vector<zk::ListEntry> entries;
  if (!zk::ListServer(server, text, user, where.dir, where.mask, sort_code, &ops, &entries)) {
    return;
  }
  int32_t files = 0, dirs = 0;
  int64_t bytes = 0;
  for (const zk::ListEntry& e : entries) {
    if (e.is_dir) {
      ++dirs;
    } else {
      ++files;
      bytes += e.size;
    }
    zk::PrintOut(zk::EntryLine(e.upd, e.is_dir, e.size, e.name));
  }
  if (ops.narrow()) bytes = static_cast<int32_t>(static_cast<uint32_t>(bytes));
  zk::PrintOut(zk::FileSummaryLine(files, bytes));
  zk::PrintOut(zk::DirSummaryLine(dirs));
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = argv[0];

  // Parse.
  zk::OptionScan opts = zk::ScanOptions(argc, argv, "e:p:o:");
  if (!opts.ok || opts.positional.size() > 1) {
    zk::PrintOut(Usage(argv0));
    return zk::kExitFail;
  }
  std::vector<std::string> orders;
  for (const auto& opt : opts.given) {
    if (opt.first == 'o') orders.push_back(opt.second);
  }
  const std::string sort_code = zk::SortCodeOf(orders);
  const std::string path = opts.positional.empty() ? "::" : opts.positional[0];
  if (path.compare(0, 2, "::") != 0) {
    zk::PrintOut(ShortUsage(argv0));
    return zk::kExitFail;
  }

  // Locate, check, authenticate, work.
  return zk::RunOnServerPath(
      zk::FileSystem::Default(), argv0, opts.Get('e', zk::kDefaultUserEnvFile), opts.Get('p'), path,
      {"", "Error ServerSearch"}, [&](zk::ClientSession& session, const zk::ServerPath& where) {
        zk::PrintOut("");
        zk::PrintOut(zk::HeadingLine(where.dir));
        zk::PrintOut("");
        PrintListing(session.server(), session.text(), session.wire_user(), where, sort_code);
      });
}
