// Plain main() for the fuzz targets: replays every file named on the command
// line (directories are walked) through LLVMFuzzerTestOneInput, so a corpus of
// past crashes runs as an ordinary test without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replayFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", p.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(arg)) {
        if (e.is_regular_file()) {
          failures += replayFile(e.path());
          ++count;
        }
      }
    } else {
      failures += replayFile(arg);
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return failures == 0 ? 0 : 1;
}
