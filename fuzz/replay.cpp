// Plain main() for the fuzz targets: replays every file named on the command
// line (directories are walked), so a corpus of past crashes runs as an
// ordinary test without libFuzzer. With KX_PINS=FILE, what the target made of
// each file (kxfuzz::seen) must be what FILE says; KX_REGENERATE=1 writes FILE
// first, for a deliberate change.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      files.emplace_back(argv[i]);
      continue;
    }
    for (const auto& e : fs::recursive_directory_iterator(argv[i]))
      if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  const char* pins = std::getenv("KX_PINS");
  kxfuzz::pinning = pins != nullptr;
  std::ostringstream made;
  int failures = 0;
  for (const fs::path& p : files) {
    std::ifstream in(p, std::ios::binary);
    if (!in) std::fprintf(stderr, "cannot read %s\n", p.c_str());
    failures += !in;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    kxfuzz::seen = 14695981039346656037ull;
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    made << p.filename().string() << ' ' << std::hex << kxfuzz::seen << '\n';
  }
  std::stringstream pinned;
  if (pins && std::getenv("KX_REGENERATE")) std::ofstream(pins) << made.str();
  if (pins) pinned << std::ifstream(pins).rdbuf();
  if (pins && pinned.str() != made.str()) {
    std::fprintf(stderr, "%s: the corpus is read differently now:\n%s", pins, made.str().c_str());
    failures += 1;
  }
  std::printf("replayed %zu inputs\n", files.size());
  return failures == 0 ? 0 : 1;
}
