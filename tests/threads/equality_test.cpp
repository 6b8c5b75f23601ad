// The same output for any thread count: every file's name and bytes, both
// streams and the exit status of whole runs with KX_THREADS=2, 3 and 8
// against KX_THREADS=1, over a table of runs covering the options, on a
// real photograph, on synthetic pictures, and on sequences whose frames
// differ in size. The pictures hold several stripes' worth of pixels so that
// the work really is split.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "imageio/imageio.h"
#include "output/output.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

// The photograph tiled `across` × `down`, every other tile mirrored so that
// the seams stay photograph-like; each tile's samples are raised by `shift`
// times its number, which multiplies the colours.
std::vector<uint8_t> tiled(const std::vector<uint8_t>& rgb, int w, int h, int across, int down,
                           int shift) {
  const int width = w * across;
  std::vector<uint8_t> out(static_cast<size_t>(width) * h * down * 3);
  for (int ty = 0; ty < down; ++ty) {
    for (int tx = 0; tx < across; ++tx) {
      const int add = shift * (ty * across + tx);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const int sx = tx % 2 ? w - 1 - x : x;
          const uint8_t* from = &rgb[(static_cast<size_t>(y) * w + sx) * 3];
          uint8_t* to = &out[((static_cast<size_t>(ty) * h + y) * width + tx * w + x) * 3];
          for (int c = 0; c < 3; ++c) to[c] = static_cast<uint8_t>(std::min(from[c] + add, 255));
        }
      }
    }
  }
  return out;
}

std::vector<uint8_t> noise(int width, int height, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (uint8_t& v : rgb) v = static_cast<uint8_t>(random());
  return rgb;
}

// The files every run reads, made in-process: each test of the table runs
// in a process of its own, where running the tools to make them would cost
// more than the test (under ThreadSanitizer most of all).
class Inputs {
 public:
  Inputs() {
    const Image png = readPngFile(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png");
    const Image rgb = expandToRgb(png, false);
    const int w = rgb.width, h = rgb.height;
    writeRgbPicture(at("astronaut"), w, h, rgb.samples);
    const std::vector<uint8_t> photo = tiled(rgb.samples, w, h, 2, 2, 0);
    writeRgbPicture(at("photo"), 2 * w, 2 * h, photo);
    // Beyond the colour limit: counted, compressed, counted again.
    writeRgbPicture(at("shifted"), 2 * w, 2 * h, tiled(rgb.samples, w, h, 2, 2, 9));
    writeRgbPicture(at("noise"), 400, 300, noise(400, 300, 5));
    // Frames of different sizes.
    writeRgbPicture(at("seq.1"), 2 * w, 2 * h, photo);
    writeSamplePicture(at("seq.2"), 300, 200, 2);
    writeRgbPicture(at("seq.3"), w, h, rgb.samples);
    writeSamplePicture(at("seq.4"), 480, 360, 4);
    // A sequence whose second frame keeps too many colours.
    writeSamplePicture(at("bad.1"), 480, 360, 1);
    writeRgbPicture(at("bad.2"), 400, 300, noise(400, 300, 6));
    writeSamplePicture(at("bad.3"), 300, 200, 3);
    // A palette of 24 of the photograph's colours, as both colormap files,
    // and the photograph's pixels as indices into it.
    RunSettings opt;
    opt.colors = 24;
    Colormap palette;
    for (int i = 0; i < opt.colors; ++i) {
      const uint8_t* p = &rgb.samples[(static_cast<size_t>(i) * 2731 % (w * h)) * 3];
      palette.push_back(HistogramEntry{p[0], p[1], p[2], 0});
    }
    kx_writeColorMap(at("pal"), palette, &opt);
    kx_writeASCIIColorMap(at("pal"), palette, &opt);
    const std::shared_ptr<OutFile> icn = kx_writeIconeFileHeader(at("photo-pal"), 2 * w, 2 * h);
    for (size_t i = 0; i < photo.size() / 3; ++i) icn->u8((photo[3 * i] + photo[3 * i + 1]) % 24);
    icn->u32(0);
    icn->text("_EOF");
    if (!icn->commit()) throw std::runtime_error("cannot write photo-pal.icn");
    Image image;
    image.width = 2 * w;
    image.height = 2 * h;
    image.channels = 3;
    image.samples = photo;
    writePngFile(at("photo.png"), image);
  }
  std::string at(const std::string& name) const { return dir_.path(name); }

 private:
  TempDir dir_;
};

struct Case {
  const char* name;
  const char* program;
  // "@name" stands for the input of that name.
  std::vector<std::string> args;
};

// Test lists name a case, not its bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const Case kCases[] = {
    {"Plain", "kxreduce", {"@photo", "out"}},
    {"VerboseSixteen", "kxreduce", {"-v", "-n", "16", "@photo", "out"}},
    {"Adjust", "kxreduce", {"-a", "@photo", "out"}},
    {"AdjustFactorFewColours", "kxreduce", {"-a", "0.35", "-n", "12", "@seq.4", "out"}},
    {"QuantFilter", "kxreduce", {"-v", "-q", "4", "@photo", "out"}},
    {"BitsFilterAdjust", "kxreduce", {"-b", "5", "-a", "@photo", "out"}},
    {"Compress", "kxreduce", {"-v", "-z", "40", "@photo", "out"}},
    {"AutomaticCompression", "kxreduce", {"-v", "-a", "@shifted", "out"}},
    {"PaletteQuant", "kxreduce", {"-Q", "4", "-n", "32", "@photo", "out"}},
    {"Refine", "kxreduce", {"--refine", "-v", "@shifted", "out"}},
    {"AsciiColormap", "kxreduce", {"-A", "-n", "100", "@photo", "out"}},
    {"Imposed", "kxreduce", {"-v", "-c", "@pal", "-a", "@photo", "out"}},
    {"ImposedAsciiTransform", "kxreduce", {"-C", "@pal", "-T", "@photo", "out"}},
    {"UniqueSequence", "kxreduce", {"-v", "-u", "-s", "1", "4", "1", "@seq", "out"}},
    {"RepeatSequence", "kxreduce", {"-r", "2", "-q", "-s", "1", "4", "1", "@seq", "out"}},
    {"PicOutput", "kxreduce", {"-o", "pic", "-z", "100", "@photo", "out"}},
    {"PictOutput", "kxreduce", {"-o", "pict", "@photo", "out"}},
    {"IndexedPict", "kxreduce", {"-o", "pict2", "-n", "64", "@seq.4", "out"}},
    {"TooManyColours", "kxreduce", {"-v", "@noise", "out"}},
    {"TooManyColoursInSequence", "kxreduce", {"-o", "pic", "-s", "1", "3", "1", "@bad", "out"}},
    {"MissingFrame", "kxreduce", {"-s", "3", "5", "1", "@seq", "out"}},
    {"ConvPngToPic", "kxconv", {"@photo.png", "out.pic"}},
    {"ConvPicToPng", "kxconv", {"@photo.pic", "out.png"}},
    {"ConvIconToPpm", "kxconv", {"-c", "@pal", "@photo-pal.icn", "out.ppm"}},
    {"KxquantPng", "kxquant", {"-v", "-o", "out.png", "@photo.png"}},
    {"KxquantAdjustedFromPic", "kxquant", {"-a", "-n", "64", "-o", "out.png", "@shifted.pic"}},
};

class SameOutput : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() { inputs_ = std::make_unique<Inputs>(); }
  static void TearDownTestSuite() { inputs_.reset(); }

  struct Outcome {
    RunResult result;
    FolderSnapshot files;
  };

  static Outcome outcome(const Case& run, int threads) {
    std::vector<std::string> args;
    for (const std::string& a : run.args)
      args.push_back(a[0] == '@' ? inputs_->at(a.substr(1)) : a);
    TempDir dir;
    RunOptions options;
    options.cwd = dir.path();
    options.env = {"KX_THREADS=" + std::to_string(threads)};
    Outcome o{runProgram(run.program, args, options), {}};
    o.files = snapshotFolder(dir.path());
    return o;
  }

  static std::unique_ptr<Inputs> inputs_;
};

std::unique_ptr<Inputs> SameOutput::inputs_;

TEST_P(SameOutput, ForAnyThreadCount) {
  const Outcome one = outcome(GetParam(), 1);
  ASSERT_TRUE(one.result.status == 0 || !one.result.err.empty()) << "no run at all";
  for (int threads : {2, 3, 8}) {
    SCOPED_TRACE("KX_THREADS=" + std::to_string(threads));
    const Outcome many = outcome(GetParam(), threads);
    EXPECT_EQ(many.result.status, one.result.status);
    EXPECT_EQ(many.result.out, one.result.out);
    EXPECT_EQ(many.result.err, one.result.err);
    ASSERT_EQ(many.files.size(), one.files.size());
    for (size_t i = 0; i < one.files.size(); ++i) {
      EXPECT_EQ(many.files[i].first, one.files[i].first);
      EXPECT_TRUE(many.files[i].second == one.files[i].second) << one.files[i].first << " differs";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, SameOutput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

// An invalid KX_THREADS is refused before anything is read or written (by
// kxquant as a usage error).
TEST(ThreadSetting, InvalidValuesAreRefusedByName) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 64, 48, 1);
  for (const char* value : {"0", "-1", "2x", "many", "1025"}) {
    RunOptions options;
    options.cwd = dir.path();
    options.env = {std::string("KX_THREADS=") + value};
    const std::string message = std::string("KX_THREADS is \"") + value +
                                "\": it must be a whole number of threads from 1 to 1024\n";
    RunResult r = runProgram("kxreduce", {"in", "out"}, options);
    EXPECT_EQ(r.status, 255) << value;
    EXPECT_EQ(r.err, "Error: " + message);
    r = runProgram("kxconv", {"in.pic", "out.png"}, options);
    EXPECT_EQ(r.status, 255) << value;
    EXPECT_EQ(r.err, "kxconv: " + message);
    r = runProgram("kxquant", {"-o", "out.png", "in.pic"}, options);
    EXPECT_EQ(r.status, 2) << value;
    EXPECT_EQ(r.err, "kxquant: " + message);
    EXPECT_EQ(snapshotFolder(dir.path()).size(), 1u) << value;
  }
}

}  // namespace
}  // namespace kx
