// Palette files: see cli_pvt.h for the layout.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli_pvt.h"
#include "common/bytes.h"
#include "common/outfile.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 24;

Error refusal(const std::string& path, const std::string& what) {
  return Error(ErrorCode::badFile, "palette file " + path + ": " + what);
}

}  // namespace

Status writePaletteFile(const std::string& path, const PaletteFile& file) {
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
  if (out) out->write(bytes.data(), bytes.size());
  if (!out || !out->commit()) {
    return Error(ErrorCode::cannotWrite, "Cannot write " + path + ": " + std::strerror(errno));
  }
  return {};
}

Result<PaletteFile> readPaletteFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return refusal(path, std::strerror(errno));
  uint8_t head[kHeaderBytes];
  const size_t got = std::fread(head, 1, sizeof head, f.get());
  ByteReader r(std::span<const uint8_t>(head, got));
  uint8_t magic[4];
  uint16_t version = 0, colors = 0;
  uint32_t start = 0, end = 0, step = 0, count = 0;
  if (!r.bytes(magic, 4) || std::memcmp(magic, "KXPL", 4) != 0 || !r.u16(version) || version != 1 ||
      !r.u16(colors) || !r.u32(start) || !r.u32(end) || !r.u32(step) || !r.u32(count)) {
    return refusal(path, "not a palette file");
  }
  if (colors < 1 || colors > 256) {
    return refusal(path, std::to_string(colors) + " colours per palette (1 to 256)");
  }
  // The length is checked against the header before anything else is read.
  const size_t recordBytes = 4 + 3 * size_t{colors};
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) != kHeaderBytes + uint64_t{count} * recordBytes) {
    return refusal(path, "its length does not match its " + std::to_string(count) + " palettes");
  }
  PaletteFile file;
  file.colors = colors;
  file.start = static_cast<int32_t>(start);
  file.end = static_cast<int32_t>(end);
  file.step = static_cast<int32_t>(step);
  std::vector<uint8_t> record(recordBytes);
  file.records.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (std::fread(record.data(), 1, recordBytes, f.get()) != recordBytes) {
      return refusal(path, "cut short");
    }
    PaletteRecord p;
    p.ordinal = static_cast<int32_t>(loadBE32(record.data()));
    p.rgb.assign(record.begin() + 4, record.end());
    file.records.push_back(std::move(p));
  }
  return file;
}

}  // namespace kx
