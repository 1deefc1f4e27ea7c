// Listing records, sort keys and the listing sort.
#include "server/listing.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "idl/wire.h"
#include "platform/text.h"
#include "platform/timetext.h"

namespace zk {
namespace {

const char kZeroSize[] = "000000000000000";  // 15 digits

std::string BaseName(const std::string& name) {
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// The sort over parallel arrays: every swap moves a key and its original position together.
class ListingSorter {
 public:
  ListingSorter(std::vector<std::string>* keys, std::vector<size_t>* pos, int limit)
      : keys_(*keys), pos_(*pos), limit_(limit) {}

  void Sort(long i, long j, int depth) {
    if (i >= j) return;
    if (depth > limit_) {
      StableRange(i, j);
      return;
    }
    // Pivot: the greater of key i and the first key after it that differs.
    long k = i + 1;
    while (k <= j && keys_[k] == keys_[i]) ++k;
    if (k > j) return;  // all keys of the range are equal
    const std::string pivot = std::max(keys_[i], keys_[k]);
    long p = Partition(i, j, pivot);
    Sort(i, p - 1, depth + 1);
    Sort(p, j, depth + 1);
  }

 private:
  long Partition(long i, long j, const std::string& pivot) {
    long l = i;
    long r = j;
    while (r >= l) {
      while (l <= j && keys_[l] < pivot) ++l;
      while (r >= i && keys_[r] >= pivot) --r;
      if (r < l) break;
      std::swap(keys_[l], keys_[r]);
      std::swap(pos_[l], pos_[r]);
      ++l;
      --r;
    }
    return l;
  }

  // Finishes positions i..j with a stable sort on the same keys.
  void StableRange(long i, long j) {
    std::vector<size_t> perm(static_cast<size_t>(j - i + 1));
    std::iota(perm.begin(), perm.end(), static_cast<size_t>(i));
    std::stable_sort(perm.begin(), perm.end(),
                     [this](size_t a, size_t b) { return keys_[a] < keys_[b]; });
    std::vector<std::string> keys;
    std::vector<size_t> pos;
    keys.reserve(perm.size());
    pos.reserve(perm.size());
    for (size_t from : perm) {
      keys.push_back(std::move(keys_[from]));
      pos.push_back(pos_[from]);
    }
    for (size_t n = 0; n < perm.size(); ++n) {
      keys_[static_cast<size_t>(i) + n] = std::move(keys[n]);
      pos_[static_cast<size_t>(i) + n] = pos[n];
    }
  }

  std::vector<std::string>& keys_;
  std::vector<size_t>& pos_;
  int limit_;
};

}  // namespace

ListingRecord MakeListingRecord(const DirEntry& entry) {
  ListingRecord rec;
  rec.name = entry.name;
  rec.type = entry.is_dir ? kDirType : "";
  rec.size = entry.is_dir ? 0 : entry.size;
  rec.upd_dt = FormatLocalTime(entry.mtime);
  return rec;
}

std::string SortKey(const std::string& code, const ListingRecord& rec) {
  bool dir = rec.type == kDirType;
  if (code == kSortByName) return rec.name;
  if (code == kSortDirsFirst) return (dir ? "1" : "2") + UpperAscii(BaseName(rec.name));
  if (code == kSortByBaseName) return UpperAscii(BaseName(rec.name));
  if (code == kSortBySize) {
    if (dir) return kZeroSize;
    std::string padded = kZeroSize + std::to_string(rec.size);
    return padded.substr(padded.size() - 15);
  }
  if (code == kSortByTime) return rec.upd_dt;
  return std::string();
}

std::vector<std::string> SortKeys(const std::string& code, const std::vector<ListingRecord>& recs) {
  std::vector<std::string> keys;
  keys.reserve(recs.size());
  for (const ListingRecord& rec : recs) keys.push_back(SortKey(code, rec));
  return keys;
}

int ListingDepthLimit(size_t n) {
  int bits = 0;
  while (n > 0) {
    ++bits;
    n >>= 1;
  }
  return 2 * bits;
}

std::vector<size_t> ListingOrder(std::vector<std::string> keys) {
  std::vector<size_t> pos(keys.size());
  std::iota(pos.begin(), pos.end(), size_t{0});
  ListingSorter sorter(&keys, &pos, ListingDepthLimit(keys.size()));
  sorter.Sort(0, static_cast<long>(keys.size()) - 1, 0);
  return pos;
}

}  // namespace zk
