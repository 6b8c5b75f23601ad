// Output files that are never seen half-written.
//
// Every output is written to a temporary file in the folder of its final
// name and renamed onto that name only when it is complete, so a run that
// fails, is killed or runs out of disk leaves either the previous file or
// the new one under the final name, never part of one. A failure removes
// only the temporary files the run made itself. An existing output that is
// a symbolic link is replaced by the new file, not written through; a
// device or pipe (/dev/null, /dev/stdout) is written directly.
//
// PendingFile is the temporary file of one output. OutputBatch groups the
// outputs that belong together (the colour-mapped image and the colormap of
// one frame): while a batch is current on a thread, the files published on
// that thread wait for the batch's commit, which renames them all at once;
// a batch destroyed without a commit removes them.
//
// OutFile is the buffered writer over a PendingFile that the formats use:
// it creates the file at once, so that failures to create it are reported
// where the system reports them, remembers the first write error, and
// commit() flushes, closes and publishes it.
//
// Stands on: the standard library only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kx {

class PendingFile {
 public:
  // Opens a new temporary file beside `path` for writing (or `path` itself
  // when it is a device or a pipe) and hands its stream to the caller, who
  // closes it before publish(). Null with errno set when the file could not
  // be opened where `path` could not have been: a missing folder (ENOENT), a
  // folder in the way (EISDIR), no permission (EACCES).
  static std::unique_ptr<PendingFile> open(const std::string& path, std::FILE** stream);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // The stream has been closed and every byte is in the file: renames it
  // onto the final name, or leaves that to the current batch. False with
  // errno when the rename fails (the temporary file is then removed).
  bool publish();
  // Removes the temporary file (nothing happens to the final name).
  void discard();

  const std::string& path() const { return path_; }
  // Where the bytes are until published.
  const std::string& writtenPath() const { return temp_.empty() ? path_ : temp_; }

 private:
  PendingFile(std::string path, std::string temp, bool keepOther = false);
  std::string path_;
  std::string temp_;  // empty when path_ is written directly
  bool keepOther_;    // put in place only while the final name is free
  bool done_ = false;
};

class OutputBatch {
 public:
  // Becomes the current batch of the calling thread.
  OutputBatch();
  // Removes every file still waiting for the commit.
  ~OutputBatch();
  OutputBatch(const OutputBatch&) = delete;
  OutputBatch& operator=(const OutputBatch&) = delete;

  // Renames every waiting file onto its final name, in the order they were
  // published, and stops being current. False with errno and the final name
  // in *failed when a rename fails; the files not yet renamed are removed.
  bool commit(std::string* failed = nullptr);
  // Where the bytes of a waiting output are now (its final name if none).
  std::string source(const std::string& path) const;
  // Takes over the waiting files of another batch, after its own.
  void adopt(OutputBatch& other);
  // Stops being the current batch of the thread that made it, so that it
  // can be committed (or dropped) on another thread.
  void detach();

  static OutputBatch* current();
  // `keepOther`: put in place only while the final name is free.
  void add(std::string temp, std::string path, bool keepOther = false);

 private:
  struct Waiting {
    std::string temp, path;
    bool keepOther;
  };
  OutputBatch* outer_;
  bool attached_ = true;
  std::vector<Waiting> waiting_;
};

// Whether an output replaces the file at its name: yes by default, as
// kxreduce's outputs do. When off, a finished output is put in place only
// while its name is free: a file that is there (one that appeared during
// the run) is kept, and the write fails with EEXIST, its temporary file
// removed. kxquant without --force turns it off.
void kx_replaceOutputs(bool on);

// Removes the temporary files of the process when a signal ends it (every
// signal whose default action does, but SIGKILL), then lets the signal end
// the process as it would have. SIGXFSZ from a file-size limit instead makes
// the write fail (EFBIG), as a full disk does. Signals that are ignored or
// already handled when this is called are left as they are.
void kx_removeTemporariesOnSignals();

// Why no output can be made at `path`, as far as can be told before any work
// (empty when nothing is known against it): "is a folder", "the folder X
// does not exist", "X is not a folder". What only the writing can tell (no
// permission, a full disk) is left to it.
std::string kx_outputPlaceProblem(const std::string& path);

// True when both names exist and are the same file (device and inode).
bool kx_sameFile(const std::string& a, const std::string& b);

class OutFile {
 public:
  // Creates the file; null on failure with errno set by the system call.
  static std::unique_ptr<OutFile> create(const std::string& path);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  void write(const void* data, size_t n);
  void write(std::span<const uint8_t> bytes) { write(bytes.data(), bytes.size()); }
  void u32(uint32_t v);  // big-endian
  void text(const std::string& s) { write(s.data(), s.size()); }

  const std::string& path() const { return path_; }
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }  // errno of the first failure, 0 if none

  // Flushes, closes and publishes. True when every byte was written;
  // otherwise errno is set, error() tells why, and the new file is gone.
  bool commit();
  // Closes and removes the new file now (a later commit is not possible).
  void abandon();

 private:
  OutFile(std::FILE* f, std::string path, std::unique_ptr<PendingFile> pending);
  void flushBuffer();

  std::FILE* file_;
  std::string path_;
  std::unique_ptr<PendingFile> pending_;
  bool done_ = false;
  int error_ = 0;
  size_t used_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace kx
