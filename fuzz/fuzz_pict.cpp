// A whole PICT image (framing, opcodes, every raster kind, bands, clipping)
// read from arbitrary bytes, once without and once with the colour table.
#include "common/pixel_limit.h"
#include "fuzz.h"
#include "macfile/macfile.h"
#include "pict/pict.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Planes up to the full limit cost a second an input and prove nothing more.
  kx::kx_setMaxPixels(1 << 20);
  const std::string name = kxfuzz::workDir("pict") + "/f.pict";
  kxfuzz::writeInput(name, data, size);
  for (int wantTable : {-1, 0}) {
    int16_t width = 0, height = 0;
    int colours = wantTable;
    kx::Colormap table;
    kx::PictPlanes planes;
    kx::MacClearError();
    const int failed = kx::readPictImage(name, &width, &height, &colours, &table, planes);
    kxfuzz::see(failed, kx::MacError());
    if (failed != 0) continue;
    // What the reader promises of a picture it accepts.
    if (width <= 0 || height <= 0 || !planes[0]) std::abort();
    if (wantTable == 0 && colours > 0 && table.size() != static_cast<size_t>(colours)) std::abort();
    kxfuzz::see(width, height, colours);
    kxfuzz::seeBytes(table.data(), table.size() * sizeof table[0]);
    for (const auto& plane : planes)
      if (plane) kxfuzz::seeBytes(plane.get(), static_cast<size_t>(width * height));
  }
  return 0;
}
