// Directory listings as the server sends them: one record per directory entry, the sort key of
// each sort code, and the listing sort.
//
//   std::vector<ListingRecord> recs = ...;            // in search order
//   std::vector<std::string> keys = SortKeys("df", recs);
//   std::vector<size_t> order = ListingOrder(keys);    // recs[order[0]] comes first
#ifndef ZK_SERVER_LISTING_H_
#define ZK_SERVER_LISTING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace zk {

// The four fields of one listing entry on the wire.
struct ListingRecord {
  std::string name;    // entry name, no directory part
  std::string type;    // kDirType for a directory, "" otherwise
  int64_t size = 0;    // bytes (zkFileList64); zkFileList sends NarrowSize of it (idl/orb.h)
  std::string upd_dt;  // last-write time, "yyyy/mm/dd hh:nn:ss" local time
};

// The record of a directory entry. A zero time gives "1899/12/30 00:00:00".
ListingRecord MakeListingRecord(const DirEntry& entry);

// The key of `rec` under `code` (the sort codes of idl/wire.h):
//   "nm" the name; "df" "1" (directory) or "2" (file) + upper-cased base name; "fn" upper-cased
//   base name; "sz" the size (all 64 bits) zero-padded to 15 digits ("000000000000000" for a
//   directory); "dt" the time text; anything else "" (every key equal: the order stays as found).
// The base name is the name without its extension (from the last "." to the end).
std::string SortKey(const std::string& code, const ListingRecord& rec);
std::vector<std::string> SortKeys(const std::string& code, const std::vector<ListingRecord>& recs);

// The order in which the listing sort leaves positions 0..keys.size()-1: result[i] is the original
// position of the entry that ends at position i. Keys compare byte by byte as unsigned values,
// ascending.
//
// The sort is a quicksort whose pivot is the greater of the first key of a range and the first key
// after it that differs; ranges whose keys are all equal stop there. Equal keys end up in the
// order this procedure gives. Where the recursion gets deeper than about 2*log2(n) (sorted and
// reverse-sorted input would make it quadratic), the range is finished with a stable sort on the
// same keys, so no listing takes more than O(n log n) comparisons.
std::vector<size_t> ListingOrder(std::vector<std::string> keys);

// The depth at which ListingOrder hands a range to the stable sort, for n keys.
int ListingDepthLimit(size_t n);

}  // namespace zk

#endif  // ZK_SERVER_LISTING_H_
