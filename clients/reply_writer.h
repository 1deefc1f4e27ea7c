// The writer of one download reply, for the download walk and its pipeline alone.
#ifndef ZK_CLIENTS_REPLY_WRITER_H_
#define ZK_CLIENTS_REPLY_WRITER_H_

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "clients/download_walk.h"
#include "platform/digest.h"
#include "platform/pathtext.h"
#include "platform/process.h"

namespace zk {

// Writes a download reply while it arrives: each chunk's data, piece by piece, into the temporary
// file of its download, at the position the walk asked for (the reply's own names and numbers
// are not used). Pieces of zeros are not written, so that they stay holes. Nothing is written of
// a failed reply or of one with another number of chunks than asked for; a chunk of a file that
// changed on the server is not written; after a failure to write, nothing more is. What happened
// to each chunk is reported after the reply (FinishDownloaded), in the order of the chunks.
class DownloadWalk::ReplyWriter : public ChunkSink {
 public:
  enum class Fate {
    kDropped,      // not looked at: a failed reply, or after a failure
    kWritten,      // written (or, all zeros, left as a hole)
    kNoDownload,   // its file's earlier chunks failed, and were reported then
    kReplaced,     // its file changed on the server since its first chunk
    kDirFailed,    // the local directory could not be made
    kWriteFailed,  // the temporary file could not be made, opened or written
    kCorrupt,      // written, but its digest is not the one the server sent
  };
  struct Outcome {
    Fate fate = Fate::kDropped;
    size_t len = 0;          // data bytes taken (never more than asked for)
    bool short_end = false;  // the file does not reach the chunk's end yet (a hole there)
    bool digested = false;   // `digest` is that of the data taken
    Digest128 digest{};
  };

  ReplyWriter(DownloadWalk* walk, const ZKmd::zkSeqFileBuf64& requests,
              const std::string& local_dir)
      : walk_(walk), requests_(requests), base_(WithSlash(local_dir)) {}
  ~ReplyWriter() override { CloseFile(); }

  void Begin(CORBA::Long result, CORBA::ULong count) override {
    begun_ = true;
    result_ = result;
    accept_ = result == kTransferOk && count == requests_.length();
    outcomes_.assign(requests_.length(), Outcome());
  }

  bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char*,
                  size_t len) override {
    current_ = i;
    incoming_ = nullptr;
    digest_.reset();
    if (!accept_ || halted_) return false;
    const ZKmd::zkStrctFileBuf64& c = requests_[i];
    const std::string path = base_ + c.fileNm.in();
    Outcome& out = outcomes_[i];
    out.len = std::min<size_t>(len, static_cast<size_t>(std::max<CORBA::Long>(c.bufUnitSize, 0)));
    if (c.bufNo == 1) {
      CloseFile();
      if (halted_) return false;  // closing the previous file failed
      const std::string dir = DirPart(path);
      if (!dir.empty() && !walk_->fs_->MakeDirs(dir)) return Halt(Fate::kDirFailed);
      Incoming in;
      auto set_up = walk_->incoming_.find(path);
      if (set_up != walk_->incoming_.end() && set_up->second.lock && !set_up->second.begun) {
        in = set_up->second;  // under the name the next zkcp finds (SetUpResumable)
      } else {
        walk_->GiveUpDownload(path);  // an earlier one of the same name that never finished
        in.temp = (dir.empty() ? "" : dir + "/") +
                  DownloadTempName(OwnProcessId(), ++walk_->temp_serial_);
      }
      in.begun = true;
      in.size = file_size;
      in.upd = upd;
      file_ = walk_->fs_->Open(in.temp, FileSystem::OpenMode::kCreate);
      walk_->incoming_[path] = in;  // so that its file is removed when anything fails
      if (!file_) return Halt(Fate::kWriteFailed);
      file_path_ = path;
    } else {
      auto it = walk_->incoming_.find(path);
      if (it == walk_->incoming_.end()) {
        out.fate = Fate::kNoDownload;
        return false;
      }
      if (it->second.size != file_size || it->second.upd != upd) {
        // Replaced on the server while it was read: the parts would not make one file.
        out.fate = Fate::kReplaced;
        if (path == file_path_) CloseFile();
        walk_->GiveUpDownload(path);
        return false;
      }
      if (path != file_path_) {
        CloseFile();
        if (halted_) return false;  // closing the previous file failed
        file_ = walk_->fs_->Open(it->second.temp, FileSystem::OpenMode::kWrite);
        if (!file_) return Halt(Fate::kWriteFailed);
        file_path_ = path;
      }
    }
    out.fate = Fate::kWritten;
    digest_.reset(new ChunkDigest(c.bufPos));
    file_chunk_ = i;
    incoming_ = &walk_->incoming_[path];
    pos_ = c.bufPos;
    return out.len > 0;
  }

  bool Piece(size_t offset, const uint8_t* data, size_t len) override {
    const size_t want = outcomes_[current_].len;
    if (!incoming_ || offset >= want) return false;
    len = std::min(len, want - offset);
    if (digest_) digest_->Update(data, len);
    if (!IsAllZero(data, len)) {
      if (!file_->WriteAt(pos_ + static_cast<int64_t>(offset), data, len)) {
        Halt(Fate::kWriteFailed);
        return false;
      }
      incoming_->written_end =
          std::max(incoming_->written_end, pos_ + static_cast<int64_t>(offset + len));
    }
    return offset + len < want;
  }

  void ChunkEnd() override {
    if (digest_) {  // only for a chunk of the reply that has its outcome
      outcomes_[current_].digest = digest_->Finish();
      outcomes_[current_].digested = true;
      digest_.reset();
    }
    if (!incoming_) return;
    Outcome& out = outcomes_[current_];
    out.short_end = incoming_->written_end < pos_ + static_cast<int64_t>(out.len);
    incoming_ = nullptr;
  }

  // The server's digests, after the last chunk: a chunk written whose data has another digest
  // (or none) is corrupt, and so is its file.
  void Digests(const std::vector<Digest128>& digests) override {
    for (CORBA::ULong i = 0; i < outcomes_.size(); ++i) {
      Outcome& out = outcomes_[i];
      if (out.fate != Fate::kWritten) continue;
      if (i >= digests.size() || !out.digested || out.digest != digests[i])
        out.fate = Fate::kCorrupt;
    }
  }

  // Closes the file last written; a failure to close fails the chunk that last wrote to it.
  void CloseFile() {
    if (!file_) return;
    if (!file_->Close() && !halted_) {
      outcomes_[file_chunk_].fate = Fate::kWriteFailed;
      halted_ = true;
    }
    file_.reset();
    file_path_.clear();
  }

  // True when the reply came, succeeded and had a chunk for every request.
  bool accepted() const { return begun_ && accept_; }
  CORBA::Long result() const { return result_; }
  const Outcome& outcome(CORBA::ULong i) const { return outcomes_[i]; }

 private:
  bool Halt(Fate fate) {
    outcomes_[current_].fate = fate;
    incoming_ = nullptr;
    if (file_) file_->Close();  // the failure is already reported for this chunk
    file_.reset();
    file_path_.clear();
    halted_ = true;
    return false;
  }

  DownloadWalk* walk_;
  const ZKmd::zkSeqFileBuf64& requests_;
  const std::string base_;
  bool begun_ = false;
  bool accept_ = false;
  bool halted_ = false;
  CORBA::Long result_ = 0;
  std::vector<Outcome> outcomes_;
  CORBA::ULong current_ = 0;
  Incoming* incoming_ = nullptr;         // of the chunk being written
  int64_t pos_ = 0;                      // of the chunk being written, in its file
  std::unique_ptr<ChunkDigest> digest_;  // of the chunk being written, from its first byte
  std::unique_ptr<FileSystem::File> file_;
  std::string file_path_;  // the local path whose temporary file file_ is
  CORBA::ULong file_chunk_ = 0;
};

}  // namespace zk

#endif  // ZK_CLIENTS_REPLY_WRITER_H_
