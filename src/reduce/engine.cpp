// The engine's small shared pieces: views of pixel planes, sample maps and
// the words of its events.
#include <string>

#include "reduce/reduce.h"

namespace kx {

PixelView viewOf(const PixelPlanes& planes) {
  return PixelView{planes.data(), planes.width, planes.height,
                   static_cast<size_t>(planes.width) * 3, 3};
}

SampleMap identityMap() {
  SampleMap map;
  for (int v = 0; v < 256; ++v) map[v] = static_cast<uint8_t>(v);
  return map;
}

SampleMap compressionMap(int target) {
  if (target >= 255 || target < 1) return identityMap();
  // The product and the quotient are both rounded doubles, not exact
  // fractions: palettes saved by earlier runs depend on exactly these values.
  const double ratio = static_cast<double>(target) / 255;
  SampleMap map;
  for (int v = 0; v < 256; ++v) {
    const int scaled = static_cast<int>(v * ratio);
    map[v] = static_cast<uint8_t>(static_cast<int>(scaled / ratio));
  }
  return map;
}

SampleMap composeMaps(const SampleMap& first, const SampleMap& then) {
  SampleMap map;
  for (int v = 0; v < 256; ++v) map[v] = then[first[v]];
  return map;
}

SampleCentres centresOf(const SampleMap& counted) {
  // The compressions keep the order of samples, so the values merged into
  // one are a run, and twice their mean is first + last.
  SampleCentres centres;
  for (int v = 0; v < 256; ++v) centres[v] = static_cast<uint16_t>(2 * v);
  int first = 0;
  for (int v = 1; v <= 256; ++v) {
    if (v == 256 || counted[v] != counted[first]) {
      centres[counted[first]] = static_cast<uint16_t>(first + v - 1);
      first = v;
    }
  }
  return centres;
}

std::string eventText(const Event& event) {
  const auto number = [&](int i) { return std::to_string(event.values[i]); };
  switch (event.kind) {
    case EventKind::compressing:
      return "Compressing colors ...\n";
    case EventKind::counting:
      return "Counting colors in the image...  ";
    case EventKind::overflow:
      return "More than " + number(0) +
             " colors found!!!\nNote: you can use option -q to reduce color.\n";
    case EventKind::countingAgain:
      return "Compress and Counting colors again...\n";
    case EventKind::colorsFound:
      return number(0) + " colors found.\n";
    case EventKind::choosing:
      return "Choosing " + number(0) + " colors...\n";
    case EventKind::refined:
      return "Refined the colors: error " + number(0) + " -> " + number(1) + " in " + number(2) +
             " iterations.\n";
    case EventKind::remapping:
      return "Making the new " + number(0) + " colors image...\n";
    case EventKind::adjusting:
      return "Making colors adjustment...\n";
    case EventKind::remapped:
      return "Done.\n";
  }
  return "";
}

}  // namespace kx
