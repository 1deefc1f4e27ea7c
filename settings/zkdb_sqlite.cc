// Reading one row of an environment file.
#include "settings/zkdb_sqlite.h"

namespace zk {
namespace sqlite {

// Reads the three unscrambled values of row `id` with the prepared `select` (kSelectRow); NULL
// columns read as empty. The statement is reset before returning, which ends the read and
// lets go of the file's lock: a kept statement must not hold it between reads. A failure leaves
// its code in *rc (when given).
ReadStatus ReadRow(Statement* select, const std::string& id, std::array<std::string, 3>* values,
                   int* rc) {
  const std::string key = ScrambleText(id);
  select->Bind({&key});
  const int step = select->Step();
  ReadStatus status = ReadStatus::kFailed;
  if (step == SQLITE_DONE) status = ReadStatus::kMissing;
  if (step == SQLITE_ROW) {
    for (int c = 0; c < 3; ++c) {
      const unsigned char* p = sqlite3_column_text(select->get(), c);
      (*values)[c] = p ? UnscrambleText(ColumnText(select->get(), c)) : std::string();
    }
    status = ReadStatus::kFound;
  }
  sqlite3_reset(select->get());
  if (rc) *rc = step;
  return status;
}

// The same with a statement prepared for this read only.
ReadStatus ReadRow(sqlite3* db, const std::string& id, std::array<std::string, 3>* values) {
  Statement s(db, kSelectRow);
  if (!s.ok()) return MissingTable(s) ? ReadStatus::kMissing : ReadStatus::kFailed;
  return ReadRow(&s, id, values);
}

}  // namespace sqlite
}  // namespace zk
