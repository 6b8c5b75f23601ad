// Private parts of sequence/: the frames kept between the two passes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/outfile.h"
#include "indexed/indexed.h"
#include "sequence/sequence.h"

namespace kx {

// ---- Frames kept for a second pass ---------------------------------------------

// Every frame of a sequence, kept as it was read until the palette for all
// of them is chosen: a row equal to the same row of the frame before is
// kept once, for both; the rest in memory up to a budget, after it in a
// temporary file beside the output (removed whenever the store goes, and
// by the signals that end the process, as every temporary output is).
class FrameStore {
 public:
  // `beside`: a file name in the folder for the temporary file; `budget`:
  // the bytes kept in memory.
  FrameStore(std::string beside, size_t budget);
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // ConvError when the temporary file cannot be written.
  void add(const SourcePicture& frame);
  // Every frame is in; ConvError when the temporary file could not be written.
  void finish();
  size_t size() const { return entries_.size(); }
  // Frame k as it was added; any thread, after finish().
  SourcePicture get(size_t k) const;

 private:
  // Where a row's bytes are: in block `block` of memory_ at `at`, or at
  // file offset `at` when block is kInFile.
  struct Place {
    uint32_t block = 0;
    uint64_t at = 0;
  };
  static constexpr uint32_t kInFile = UINT32_MAX;
  struct Entry {
    int width = 0, height = 0;
    size_t transparentCount = 0;
    // In memory; for a frame in the file its places are there too, after
    // its rows, at `table`: memory stays bounded whatever the clip's length.
    std::vector<Place> rows;
    uint64_t table = 0;
  };
  void readAt(uint64_t offset, uint8_t* out, size_t bytes) const;
  void readRow(const Place& place, uint8_t* out, size_t bytes) const;

  std::string beside_;
  size_t budget_;
  size_t inMemory_ = 0;
  std::vector<Entry> entries_;
  std::vector<std::vector<uint8_t>> memory_;
  std::vector<Place> lastRows_;  // where the frame before's rows are kept
  // Its rows kept in the file, as kept (RGB, then mask bytes), at their
  // place in the frame; empty until the file is used.
  std::vector<uint8_t> last_;
  std::unique_ptr<PendingFile> spill_;
  std::FILE* stream_ = nullptr;
  int reader_ = -1;
  uint64_t spilled_ = 0;
};

}  // namespace kx
