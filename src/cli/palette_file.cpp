// Palette files: see cli_pvt.h for the layout.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_pvt.h"
#include "common/bytes.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "common/threads.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 24;

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
  kx_error("palette file " + path + ": " + what + "\n");
}

}  // namespace

void writePaletteFile(const std::string& path, const PaletteFile& file) {
  std::vector<uint8_t> bytes;
  ByteWriter w(bytes);
  w.bytes("KXPL", 4);
  w.u16(1);
  w.u16(static_cast<uint32_t>(file.colors));
  w.u32(static_cast<uint32_t>(file.start));
  w.u32(static_cast<uint32_t>(file.end));
  w.u32(static_cast<uint32_t>(file.step));
  w.u32(static_cast<uint32_t>(file.records.size()));
  for (const PaletteRecord& r : file.records) {
    w.u32(static_cast<uint32_t>(r.ordinal));
    w.bytes(r.rgb.data(), r.rgb.size());
  }
  std::unique_ptr<OutFile> out = OutFile::create(path);
  if (!out) kx_error("Cannot write " + path + ": " + std::strerror(errno) + "\n");
  out->write(bytes.data(), bytes.size());
  if (!out->commit()) kx_error("Cannot write " + path + ": " + std::strerror(errno) + "\n");
}

PaletteFile readPaletteFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) refuse(path, std::strerror(errno));
  uint8_t head[kHeaderBytes];
  const size_t got = std::fread(head, 1, sizeof head, f);
  ByteReader r(std::span<const uint8_t>(head, got));
  uint8_t magic[4];
  uint16_t version = 0, colors = 0;
  uint32_t start = 0, end = 0, step = 0, count = 0;
  if (!r.bytes(magic, 4) || std::memcmp(magic, "KXPL", 4) != 0 || !r.u16(version) || version != 1 ||
      !r.u16(colors) || !r.u32(start) || !r.u32(end) || !r.u32(step) || !r.u32(count)) {
    std::fclose(f);
    refuse(path, "not a palette file");
  }
  if (colors < 1 || colors > 256) {
    std::fclose(f);
    refuse(path, std::to_string(colors) + " colours per palette (1 to 256)");
  }
  // The length is checked against the header before anything else is read.
  const size_t recordBytes = 4 + 3 * size_t{colors};
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) != kHeaderBytes + uint64_t{count} * recordBytes) {
    std::fclose(f);
    refuse(path, "its length does not match its " + std::to_string(count) + " palettes");
  }
  PaletteFile file;
  file.colors = colors;
  file.start = static_cast<int32_t>(start);
  file.end = static_cast<int32_t>(end);
  file.step = static_cast<int32_t>(step);
  std::vector<uint8_t> record(recordBytes);
  file.records.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (std::fread(record.data(), 1, recordBytes, f) != recordBytes) {
      std::fclose(f);
      refuse(path, "cut short");
    }
    PaletteRecord p;
    p.ordinal = static_cast<int32_t>(loadBE32(record.data()));
    p.rgb.assign(record.begin() + 4, record.end());
    file.records.push_back(std::move(p));
  }
  std::fclose(f);
  return file;
}

int kx_frameThreads() {
  return kx_threadCount();
}

}  // namespace kx
