// Colormap readers on arbitrary bytes: the first byte picks the reader and
// options (bit 0: ASCII, bit 1: -T, bit 2: -n 16), the rest is the file.
// Refusals (Errors) are expected; a crash or a bad colormap is a finding.
#include <cstdio>

#include "fuzz.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const bool ascii = selector & 1;
  const std::string name = kxfuzz::workDir("colormap") + "/map";
  const std::string path = name + (ascii ? ".cla" : ".clm");
  kxfuzz::writeInput(path, data + 1, size - 1);
  std::remove((name + (ascii ? ".clm" : ".cla")).c_str());

  const kx::ColormapReading reading{selector & 4 ? 16 : 0, ((selector >> 1) & 1) != 0};
  const kx::Result<kx::ColormapFile> read =
      ascii ? kx::kx_readASCIIColorMap(name, reading) : kx::kx_readColorMap(name, reading);
  if (!read) {
    kxfuzz::seeWords(read.error().message);
    return 0;
  }
  const size_t colours = read->colormap.size();
  kxfuzz::seeBytes(read->colormap.data(), colours * sizeof read->colormap[0]);
  if (colours == 0 || colours > 256 || static_cast<size_t>(read->header.colors) != colours ||
      read->header.bits < 1 || read->header.bits > 16)
    std::abort();
  return 0;
}
