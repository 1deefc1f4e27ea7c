// The walk from a server tree to a local directory: each level's files asked for in batches of
// the unit, every reply written into the temporary files of its downloads while it arrives
// (clients/reply_writer.h), a file put in its place once its last chunk is written. While the
// walk goes on with the chunks of one file, the next batch is asked for on a second connection
// while the reply before it is written (clients/download_ahead.cc).
#ifndef ZK_CLIENTS_DOWNLOAD_WALK_H_
#define ZK_CLIENTS_DOWNLOAD_WALK_H_

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "clients/ahead_state.h"
#include "clients/pending_batch.h"
#include "clients/walk_part.h"

namespace zk {

class DownloadWalk : private WalkPart {
 public:
  explicit DownloadWalk(WalkState* state);
  ~DownloadWalk();
  // CopyWalk::FromServer.
  int Run(const std::string& server_dir, const std::string& mask, const std::string& local_dir);

 private:
  // A download in progress: its temporary file, what the server said of the file when the first
  // chunk came (a later chunk of another size or time is of another file), and where the bytes
  // written so far end (zeros are left as holes, so the file may be shorter than what came).
  // A download that can be continued (ResumableTempName) also holds its temporary file's lock,
  // from before its first chunk is asked for: set up, `begun` once a chunk of it is written.
  struct Incoming {
    std::string temp;
    int64_t size = 0;
    std::string upd;
    int64_t written_end = 0;
    std::shared_ptr<FileSystem::File> lock;
    bool begun = false;
  };
  class ReplyWriter;
  // A thread that makes the download calls of one connection, each reply held back until the
  // walk lets it be written.
  class DownloadLane;
  // A download whose request went out on a lane while the walk went on.
  struct Ahead;

  int DownloadLevel(const std::string& server_dir, const std::string& mask,
                    const std::string& local_dir);
  // The entries of `local_dir`, its leftovers removed; the names of its pipes and devices in
  // `special`. False when it could not be listed (reported).
  bool ListLocal(const std::string& local_dir, std::vector<ListEntry>* local,
                 std::unordered_set<std::string>* special);
  // Queues server file `e` when the mode copies it over what `names` lists and it can be
  // written, and reports it.
  void DownloadFile(const ListEntry& e, const std::string& server_dir, const NameIndex& names,
                    const std::unordered_set<std::string>& special, DownloadBatch* pending,
                    const std::string& local_dir);
  void QueueDownload(const ListEntry& file, const std::string& server_dir, DownloadBatch* pending,
                     const std::string& local_dir);
  // Sets up the download of `file` into `path` under a name that the next zkcp finds, when the
  // file is larger than one batch and the server may let it continue: from where an earlier
  // one's temporary file agrees with the file on the server, or from the start. The position
  // the download starts at (a chunk's); 0 also when it goes under a name of this run's own.
  int64_t SetUpResumable(const ListEntry& file, const std::string& server_dir,
                         const std::string& path);
  // Removes the temporary files of earlier downloads of `name` in `dir` (ending in "/") other
  // than `keep` that no run holds.
  void RemoveOtherParts(const std::string& dir, const std::string& name, const std::string& keep);
  // Removes the temporary file `part` of a download that can be continued, unless a run holds its
  // lock.
  void RemoveUnlessHeld(const std::string& part);
  void SendDownload(DownloadBatch* pending, const std::string& local_dir);
  // Sends the pending batch on the lane that is free, and then writes the reply to the batch sent
  // ahead before it (FinishAhead): while that reply is written, the server is already reading
  // the next one. Only while the walk goes on with the chunks of one file, so that nothing is
  // printed or asked between the two. Without a second connection, SendDownload.
  void SendDownloadAhead(DownloadBatch* pending, const std::string& local_dir);
  // Writes the reply to the batch sent ahead, if any, and reports it as SendDownload does.
  void FinishAhead();
  // The same for the batch sent ahead on `lane`, let go already (AheadState); when the walk
  // stopped, drops it and gives up what it holds instead.
  void FinishLane(int lane);
  // Drops the batch sent ahead, if any, unheard: as if it had never been asked for.
  void DropAhead();
  // Lets the reply of the batch sent ahead on `lane` be read and dropped, unheard.
  void LetGo(int lane);
  // Opens the two lanes when there is a second connection (the first batch to go ahead).
  void OpenLanes();
  // True while the walk asks for more of the file at local `path` (`name` on the server): it has
  // not stopped, and the file's chunks so far were written or its first chunk is in the batch
  // sent ahead (a batch never spans levels, so the name is enough there).
  bool FileGoesOn(const std::string& path, const std::string& name) const;
  // Runs `call`, the download of `requests` into `writer`, and reports the reply: its failures,
  // the files it completed, or the exception of the request.
  void CompleteDownload(const ZKmd::zkSeqFileBuf64& requests, ReplyWriter* writer,
                        const std::string& local_dir,
                        const std::function<void(CORBA::Long*)>& call);
  // After a reply that ReplyWriter wrote: reports its failures, finishes the files it completed.
  void FinishDownloaded(const ZKmd::zkSeqFileBuf64& chunks, const ReplyWriter& writer,
                        const std::string& local_dir);
  // Chunk `c` of the file at local `path` arrived corrupt: the download is given up and, the
  // first time, queued to be made once more (RetryCorrupt); the second time, reported.
  void Corrupt(const ZKmd::zkStrctFileBuf64& c, const std::string& path);
  // Gives up the downloads in progress that chunks from position `from` of `chunks` continue.
  void GiveUpDownloads(const ZKmd::zkSeqFileBuf64& chunks, CORBA::ULong from,
                       const std::string& local_dir, bool interrupted = false);
  // Removes the download's temporary file; or, `interrupted` (its request failed or the walk
  // stopped, not its data) and the download can be continued, leaves it for the next zkcp.
  void GiveUpDownload(const std::string& path, bool interrupted = false);
  // Removes leftovers of interrupted downloads among `entries` of `local_dir`, and drops them.
  void RemoveDownloadLeftovers(const std::string& local_dir, std::vector<DirEntry>* entries);

  // A file whose data arrived corrupt, to be downloaded once more at the end of its level.
  struct Retry {
    ListEntry file;
    std::string server_dir;
  };
  // Downloads the files of this level that arrived corrupt once more, each once.
  void RetryCorrupt(DownloadBatch* pending, const std::string& local_dir);

  std::map<std::string, Incoming> incoming_;  // downloads in progress, by local path
  std::vector<Retry> retries_;                // corrupt files of the level being walked
  std::set<std::string> resent_;              // local paths downloaded a second time
  // The temporary files of earlier downloads that may be continued, by the directory they are in
  // and the name key of the file they are of.
  std::multimap<std::string, std::string> parts_;
  uint64_t temp_serial_ = 0;
  AheadState ahead_state_;
  std::unique_ptr<DownloadLane> lanes_[2];  // this connection and the second one, when there is one
  std::unique_ptr<Ahead> held_[2];          // sent on each lane, its reply not yet written
};

}  // namespace zk

#endif  // ZK_CLIENTS_DOWNLOAD_WALK_H_
