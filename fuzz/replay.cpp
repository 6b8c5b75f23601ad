// Plain main() for the fuzz targets: replays every file named on the command
// line (directories are walked), so a corpus of past crashes runs as an
// ordinary test without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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
  int failures = 0;
  for (const fs::path& p : files) {
    std::ifstream in(p, std::ios::binary);
    if (!in) std::fprintf(stderr, "cannot read %s\n", p.c_str());
    failures += !in;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return failures == 0 ? 0 : 1;
}
