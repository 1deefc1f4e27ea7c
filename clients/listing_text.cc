// Console lines of the list and remove tools.
#include "clients/listing_text.h"

#include "idl/wire.h"
#include "platform/text.h"

namespace zk {

std::string SortCodeOf(const std::vector<std::string>& values) {
  std::string code;
  for (const std::string& v : values) {
    std::string up = UpperAscii(v);
    if (up == "N") {
      code = kSortByName;
    } else if (up == "G") {
      code = kSortDirsFirst;
    } else if (up == "F") {
      code = kSortByBaseName;
    } else if (up == "S") {
      code = kSortBySize;
    } else if (up == "D") {
      code = kSortByTime;
    }
  }
  return code;
}

std::string HeadingLine(const std::string& server_dir) {
  return " " + server_dir + "のディレクトリ";
}

std::string EntryLine(const std::string& upd_dt, bool is_dir, int64_t size,
                      const std::string& name) {
  std::string line = LeftField(upd_dt, 20);
  line += is_dir ? LeftField(kDirType, 17) : RightField(FormatGrouped(size), 17);
  return line + " " + name;
}

std::string FileSummaryLine(int32_t files, int64_t bytes) {
  return CountField(files) + LeftField("個のファイル", 18) + RightField(FormatGrouped(bytes), 20) +
         " バイト";
}

std::string DirSummaryLine(int32_t dirs) {
  return CountField(dirs) + LeftField("個のディレクトリ", 18);
}

std::string RemoveSummaryLine(int32_t removed) {
  return CountField(removed) + "個のディレクトリ・ファイルを削除しました。";
}

std::string EntryPath(const std::string& server_dir, const std::string& name) {
  if (!server_dir.empty() && server_dir.back() == '\\') return server_dir + name;
  return server_dir + "\\" + name;
}

}  // namespace zk
