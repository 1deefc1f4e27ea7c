// zkrm: removes the files and empty directories that a server path names in one directory of
// the user's area (the last component may hold wildcards), printing each path it handled and a
// count. It does not descend into directories.
#include <ace/OS_main.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "clients/listing_text.h"
#include "clients/session.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/options.h"

namespace {

std::string Usage(const std::string& argv0) {
  return zk::UsageLine(argv0, {"<ファイル名> ", "-e <環境設定ファイル名> ", "-p <パスワード> "});
}

// Removes the matching entries of `where` and prints the summary. Remote failures propagate,
// as does a path that cannot be written in the wire code; the answers of the removals are not
// examined. An entry whose name cannot be read is left alone.
void RemoveEntries(ZKmd_ptr server, const zk::ServerText& text, const std::string& user,
                   const zk::ServerPath& where) {
  int32_t removed = 0;
  std::string dir, mask, name;
  if (!text.Out(where.dir, &dir) || !text.Out(where.mask, &mask)) {
    throw std::runtime_error("server path");
  }
  CORBA::Long count = server->zkFileCount(user.c_str(), dir.c_str(), mask.c_str());
  if (count > 0) {
    ZKmd::zkSeqFileLst_var list = new ZKmd::zkSeqFileLst;
    list->length(static_cast<CORBA::ULong>(count));
    server->zkFileList(user.c_str(), dir.c_str(), mask.c_str(), "", list.inout());
    for (CORBA::ULong i = 0; i < list->length(); ++i) {
      const ZKmd::zkStrctFileList& e = list[i];
      // A slot the server left empty (entries removed since the count) is no entry.
      if (e.fileNm.in()[0] == '\0') continue;
      std::string entry;
      if (!text.In(e.fileNm.in(), &name) || !text.Out(zk::EntryPath(where.dir, name), &entry)) {
        continue;
      }
      if (std::string(e.fileType.in()) == zk::kDirType) {
        if (server->zkFileCount(user.c_str(), entry.c_str(), zk::kEveryEntry) != 0) continue;
        server->zkDirRemove(user.c_str(), entry.c_str());
      } else {
        server->zkFileRemove(user.c_str(), entry.c_str());
      }
      ++removed;
      zk::PrintOut(zk::EntryPath(where.dir, name));
    }
  }
  zk::PrintOut(zk::RemoveSummaryLine(removed));
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = argv[0];

  // Parse.
  zk::OptionScan opts = zk::ScanOptions(argc, argv, "e:p:");
  if (!opts.ok || opts.positional.size() > 1) {
    zk::PrintOut(Usage(argv0));
    return zk::kExitFail;
  }
  const std::string path = opts.positional.empty() ? "::" : opts.positional[0];
  if (path.compare(0, 2, "::") != 0) {
    zk::PrintOut(Usage(argv0));
    return zk::kExitFail;
  }

  // Locate, check, authenticate, work.
  return zk::RunOnServerPath(
      zk::FileSystem::Default(), argv0, opts.Get('e', zk::kDefaultUserEnvFile), opts.Get('p'), path,
      {"Error ServerRemove"}, [](zk::ClientSession& session, const zk::ServerPath& where) {
        RemoveEntries(session.server(), session.text(), session.wire_user(), where);
      });
}
