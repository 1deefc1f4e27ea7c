// zkls: lists one directory of the user's area on the server, like a directory listing: a heading,
// one line per entry in the requested sort order, and the file and directory summaries.
#include <ace/OS_main.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "clients/listing_text.h"
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
// left out.
void PrintListing(ZKmd_ptr server, const zk::ServerText& text, const std::string& user,
                  const zk::ServerPath& where, const std::string& sort_code) {
  std::string dir, mask, name;
  if (!text.Out(where.dir, &dir) || !text.Out(where.mask, &mask)) {
    throw std::runtime_error("server path");
  }
  CORBA::Long count = server->zkFileCount(user.c_str(), dir.c_str(), mask.c_str());
  if (count <= 0) return;
  ZKmd::zkSeqFileLst_var list = new ZKmd::zkSeqFileLst;
  list->length(static_cast<CORBA::ULong>(count));
  server->zkFileList(user.c_str(), dir.c_str(), mask.c_str(), sort_code.c_str(), list.inout());

  int32_t files = 0, dirs = 0;
  uint32_t bytes = 0;  // a 32-bit sum, as the summary shows it
  for (CORBA::ULong i = 0; i < list->length(); ++i) {
    const ZKmd::zkStrctFileList& e = list[i];
    // A slot the server left empty (entries removed since the count) is no entry.
    if (e.fileNm.in()[0] == '\0') continue;
    if (!text.In(e.fileNm.in(), &name)) continue;
    bool is_dir = std::string(e.fileType.in()) == zk::kDirType;
    if (is_dir) {
      ++dirs;
    } else {
      ++files;
      bytes += static_cast<uint32_t>(e.fileSize);
    }
    zk::PrintOut(zk::EntryLine(e.updDt.in(), is_dir, e.fileSize, name));
  }
  zk::PrintOut(zk::FileSummaryLine(files, static_cast<int32_t>(bytes)));
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

  zk::ClientSession session(zk::FileSystem::Default(), argv0);
  return zk::RunGuarded(true, [&]() -> int {
    // Locate, check, authenticate.
    zk::ServerPath where;
    if (!zk::OpenForServerPath(session, opts.Get('e', zk::kDefaultUserEnvFile), opts.Get('p'), path,
                               &where)) {
      return zk::kExitFail;
    }
    const std::string user = session.wire_user();

    // Work.
    zk::PrintOut("");
    zk::PrintOut(zk::HeadingLine(where.dir));
    zk::PrintOut("");
    try {
      PrintListing(session.server(), session.text(), user, where, sort_code);
    } catch (...) {  // a failed request, a path without a wire form, or the ORB's own exceptions
      zk::PrintErr("");
      zk::PrintErr("Error ServerSearch");
      session.Shutdown();
      return zk::kExitFail;
    }
    session.Shutdown();
    return zk::kExitOk;
  });
}
