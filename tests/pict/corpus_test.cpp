// PICT files read and walked: every file in tests/data/pict/read gives the
// outcome written beside it (README there says what each file holds and
// which fault it guards). KX_REGENERATE=1 rewrites the outcomes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "pict/pict.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// Messages name the file: "@" stands for it.
std::string anonymous(std::string text, const std::string& path) {
  for (size_t at; (at = text.find(path)) != std::string::npos;) text.replace(at, path.size(), "@");
  return text;
}

// The opcodes of a walk to the end or the first failure, and the error state.
std::string walk(const std::string& path) {
  std::ostringstream out;
  MacClearError();
  auto pict = PictOpenFileRead(path);
  if (!pict) {
    out << "refused " << MacError() << ": " << MacGetError() << "\n";
    return out.str();
  }
  out << "version " << pict->version << ", " << pict->width << "x" << pict->height << "\nopcodes";
  for (int i = 0; i < 100; ++i) {
    const int32_t op = PictGetNextOpcode(*pict);
    out << " " << std::hex << op << std::dec;
    if (op == 0xFF || op == -1) break;
  }
  out << "\nerror " << MacError() << ": " << (MacError() ? MacGetError() : "") << "\n";
  return out.str();
}

// readPictImage's result, messages, size, colours and planes (top row first).
std::string read(const std::string& path, bool wantTable) {
  std::ostringstream out;
  MacClearError();
  pict_errstr.clear();
  int16_t w = 0, h = 0;
  int colours = wantTable ? 0 : -1;
  Colormap table;
  PictPlanes planes;
  testing::internal::CaptureStderr();
  const int result = readPictImage(path, &w, &h, &colours, &table, planes);
  out << "result " << result << "\nstderr: " << testing::internal::GetCapturedStderr()
      << "\nerror: " << (result && MacError() ? MacGetError() : "")
      << "\npict_errstr: " << pict_errstr << "\nsize " << w << "x" << h << ", colours " << colours
      << "\n";
  for (int i = 0; i < colours && i < static_cast<int>(table.size()); ++i)
    out << " " << +table[i].red << "," << +table[i].green << "," << +table[i].blue;
  for (int p = 0; p < 4; ++p) {
    for (int y = h - 1; planes[p] && y >= 0; --y) {
      out << "\nplane " << p << ":";
      for (int x = 0; x < w; ++x) out << " " << +planes[p][y * w + x];
    }
  }
  return out.str() + "\n";
}

TEST(PictCorpus, EveryFileGivesItsOutcome) {
  const fs::path dir = fs::path(KX_SOURCE_DIR) / "tests/data/pict/read";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".pict") continue;
    ++files;
    TempDir tmp;  // a fixed name for the messages
    const std::string path = tmp.path("in.pict");
    fs::copy_file(entry.path(), path);
    const std::string name = entry.path().stem().string();
    const std::string got = anonymous(
        name.starts_with("walk-") ? walk(path) : read(path, name.ends_with("-table")), path);
    const fs::path expected = fs::path(entry.path()).replace_extension(".txt");
    if (std::getenv("KX_REGENERATE")) writeFileBytes(expected, {got.begin(), got.end()});
    EXPECT_EQ(got, readFileText(expected)) << entry.path().filename();
  }
  EXPECT_GT(files, 40);
}

}  // namespace
}  // namespace kx
