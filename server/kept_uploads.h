// Uploads kept after they stopped, for their owner to continue. A verified upload that a batch
// left in progress gets a record beside its temporary file (the same hidden name with ".kept"
// after it) saying whose it is, which file it becomes and what its chunks said of the source.
// When its connection ends, or the server ends, the temporary file and its record stay: the
// upload is kept, until its time is up, its owner is no longer registered, or it completes.
// Nothing but zkFileKept and zkFileResume of its owner reaches it: its names are hidden like every
// temporary name (server/uploads.h).
//
//   KeptUploads kept(24h);
//   kept.Keep(part);                          // a stopped upload
//   kept.Find(area, target, user, size, upd, &part)
//   kept.Take(...)                            // continued: the upload table has it again
#ifndef ZK_SERVER_KEPT_UPLOADS_H_
#define ZK_SERVER_KEPT_UPLOADS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"

namespace zk {

// How long a stopped upload is kept unless server.conf says otherwise (zkKeptHours).
constexpr int kDefaultKeptHours = 24;

// One kept upload, or the record of an upload in progress that may be kept.
struct KeptPart {
  std::string area;    // the storage directory of its area
  std::string target;  // the file it becomes, a path in the area
  std::string temp;    // its temporary file, a path in the area
  std::string user;    // its owner (UTF-8)
  std::string upd;     // the last-write time text its chunks gave
  int32_t size = 0;    // the fileSize its chunks gave
  int64_t until = 0;   // kept until then (seconds since the epoch)
};

// The name of the record of the temporary file `temp` (a path; the record lies beside it).
std::string KeptRecordName(const std::string& temp);
// True for a name that KeptRecordName makes.
bool IsKeptRecordName(const std::string& name);
// Writes the record of `part` (whose temp is a path in `area`): false when it cannot be written.
bool WriteKeptRecord(FileSystem* area, const KeptPart& part);
// Reads the record at `record` (a path in `area`) into *part (its owner, target, upd, size and
// temp; area and until are the caller's): false when there is none or it is not one.
bool ReadKeptRecord(FileSystem* area, const std::string& record, KeptPart* part);
// Removes the temporary file of `part` and its record; `fs` opens its area.
void RemoveKeptPart(FileSystem* fs, const KeptPart& part);

class KeptUploads {
 public:
  explicit KeptUploads(std::chrono::seconds keep = std::chrono::hours(kDefaultKeptHours))
      : keep_(keep) {}

  std::chrono::seconds keep() const { return keep_; }
  void set_keep(std::chrono::seconds keep) { keep_ = keep; }

  // Keeps `part`, until `part.until` when it is set, else until the keeping time from now. An
  // earlier kept upload of the same target is returned for removal.
  std::vector<KeptPart> Keep(KeptPart part);
  // The kept upload of `target` in `area` when `user` owns it and its chunks gave `size` and
  // `upd`: true, with it in *part. Take removes it from the table as well.
  bool Find(const std::string& area, const std::string& target, const std::string& user,
            int32_t size, const std::string& upd, KeptPart* part) const;
  bool Take(const std::string& area, const std::string& target, const std::string& user,
            int32_t size, const std::string& upd, KeptPart* part);
  // The kept upload of `target` in `area`, whoever owns it, taken out for removal: the file was
  // uploaded whole meanwhile. False when there is none.
  bool Drop(const std::string& area, const std::string& target, KeptPart* part);
  // Takes out, for removal, the kept uploads whose time is up at `now` (seconds since the epoch)
  // and those that `gone` says have lost their owner.
  std::vector<KeptPart> Expired(int64_t now,
                                const std::function<bool(const KeptPart&)>& gone = nullptr);
  size_t size() const;

 private:
  using Key = std::pair<std::string, std::string>;  // area, target
  mutable std::mutex mu_;
  std::chrono::seconds keep_;
  std::map<Key, KeptPart> parts_;
};

// The kept uploads an earlier server process left below every directory of `area` (the storage
// directory `area_dir`, owned by `user`): those whose record names `user` and whose time is not up
// go into `kept`, kept until their temporary file's last write plus the keeping time; every other
// temporary file of another process and every record without its file is removed. Returns how
// many files it removed.
int TakeOverEarlierUploads(FileSystem* area, const std::string& area_dir, const std::string& user,
                           KeptUploads* kept, int64_t now);

// The setting of server.conf that says how many hours a stopped upload is kept.
constexpr char kKeptHoursKey[] = "zkKeptHours";
// The keeping time that `conf_file` sets (kDefaultKeptHours when it sets none); a value that is
// not a whole number of hours from 0 to 87600 is reported and the default used.
std::chrono::seconds KeptTime(const std::string& conf_file);

// The seconds since the epoch.
int64_t UnixNow();

}  // namespace zk

#endif  // ZK_SERVER_KEPT_UPLOADS_H_
