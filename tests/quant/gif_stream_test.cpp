// kxquant's GIF from streams that ffmpeg writes into a pipe (PPM images,
// YUV4MPEG2): every frame, the clip's clock, frames stored as what changed
// yet composed by giflib and by Pillow into exactly the quantized frames,
// dithering that stands still, the same bytes on any number of threads and
// with the frames kept in a temporary file; streams cut short or refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "conv/conv_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

constexpr int kWidth = 64, kHeight = 48, kFrames = 20;

// ffmpeg's test pattern at a frame rate; or a still gradient with a small
// test pattern moving over it.
std::string source(const std::string& rate, bool overGradient = false) {
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  const std::string frames = " -frames:v " + std::to_string(kFrames);
  if (overGradient) {
    return "ffmpeg -loglevel error -f lavfi -i gradients=s=" + size + ":r=" + rate +
           ":speed=0.0001:seed=1 -f lavfi -i testsrc=s=16x16:r=" + rate +
           " -filter_complex [0][1]overlay=x=t*60:y=10" + frames;
  }
  return "ffmpeg -loglevel error -f lavfi -i testsrc=size=" + size + ":rate=" + rate + frames;
}

struct StreamCase {
  const char* name;
  std::string stream;   // ffmpeg's output options
  std::string rate;     // the clip's frame rate
  std::string options;  // kxquant's, before -o
  int totalCentiseconds;
  bool exact;  // the stream's pixels are ffmpeg's rgb24 frames (PPM)
  bool overGradient = false;
};

class GifFromStream : public InFolder<::testing::TestWithParam<StreamCase>> {};

TEST_P(GifFromStream, EveryFrameOnTheClipsClockComposedExactly) {
  const StreamCase& c = GetParam();
  // ffmpeg's sources need not give the same frames twice: the stream is
  // made once, and fed through a pipe.
  ASSERT_EQ(shell(source(c.rate, c.overGradient) + " " + c.stream + " - > in", dir.path()).status,
            0);
  const std::string command = buildDir() + "/kxquant " + c.options + " -o ";
  RunResult r = shell("cat in | KX_THREADS=2 " + command + "a.gif -", dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // One thread, the frames after the first few in the temporary file: the
  // same bytes, and the temporary file gone.
  r = shell("cat in | KX_THREADS=1 KX_FRAME_MEMORY=30000 " + command + "b.gif -", dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFileBytes(dir.path("a.gif")), readFileBytes(dir.path("b.gif")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);

  const GifFile gif = readGif(dir.path("a.gif"));
  ASSERT_EQ(gif.frames.size(), static_cast<size_t>(kFrames));
  int total = 0;
  for (const GifFrame& f : gif.frames) total += f.delay;
  EXPECT_EQ(total, c.totalCentiseconds);
  ASSERT_EQ(gif.frames[0].transparent, 0);  // for the differencing, before the colours
  EXPECT_LT(gif.frames[1].width * gif.frames[1].height, kWidth * kHeight);

  const std::vector<std::vector<int>> shown = composeGif(gif);
  const std::vector<PilFrame> pil = pilFrames(dir.path("a.gif"));
  ASSERT_EQ(pil.size(), shown.size());
  // The PPM stream: each image's header ("P6\n64 48\n255\n"), then its samples.
  const size_t n = size_t{kWidth} * kHeight, header = 13, image = header + 3 * n;
  const std::vector<uint8_t> stream = readFileBytes(dir.path("in"));
  if (c.exact) {
    ASSERT_EQ(stream.size(), image * kFrames);
  }
  for (size_t f = 0; f < shown.size(); ++f) {
    for (size_t i = 0; i < n; ++i) {
      const int index = shown[f][i];
      ASSERT_GE(index, 0) << f << " " << i;
      const uint8_t* seen = &pil[f].rgba.samples[4 * i];
      ASSERT_EQ(gif.palette[index], (Rgb{seen[0], seen[1], seen[2]}))
          << "Pillow, frame " << f << " pixel " << i;
      if (!c.exact) continue;
      const uint8_t* p = &stream[f * image + header + 3 * i];
      if (c.options.find("--no-dither") != std::string::npos) {
        ASSERT_EQ(index, nearest(gif.palette, 1, static_cast<int>(gif.palette.size()), p))
            << "frame " << f << " pixel " << i;
      }
      // Dithering that stands still: an unchanged pixel keeps its index.
      if (f > 0 && std::equal(p, p + 3, p - image)) {
        ASSERT_EQ(index, shown[f - 1][i]) << "frame " << f << " pixel " << i;
      }
    }
  }
}

const char kPpmPipe[] = "-f image2pipe -c:v ppm";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Streams, GifFromStream, ::testing::Values(
    StreamCase{"PpmPipe", kPpmPipe, "30", "--no-dither --fps 30", 67, true},
    StreamCase{"PpmPipeDefaultDither", kPpmPipe, "30", "-n 8", 200, true, true},
    StreamCase{"PpmPipeAdjusted", kPpmPipe, "30", "-a --delay 50", 100, true},
    StreamCase{"Y4mAtItsOwnRate", "-f yuv4mpegpipe -pix_fmt yuv420p", "30000/1001", "-n 64", 67,
               false}), CaseName());
// clang-format on

TEST(OddStream, CutShortIsRefusedOtherSizesCentredEachSaidInOneLine) {
  const struct {
    std::string make;  // a shell command writing the stream to its standard output
    int status;
    std::string err;
  } cases[] = {
      {source("30") + " -f image2pipe -c:v ppm - 2>/dev/null | head -c 20000", 1,
       "kxquant: -: frame 3: the file ends inside the raster\n"},
      {"printf 'P6 4 2 255\\n%24s' '' && printf 'P6 2 2 255\\n%12s' ''", 0,
       "kxquant: -: frame 2 is 2 x 2, frame 1 4 x 2; frames are centred on the largest\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    TempDir dir;
    const RunResult r =
        shell("(" + c.make + ") | " + buildDir() + "/kxquant -o a.gif -", dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(std::filesystem::exists(dir.path("a.gif")), c.status == 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), c.status == 0);
  }
}

// The frames kept in a temporary file go with the run when the file cannot
// grow (a full disk, a file-size limit), which ends the run with one line,
// and when a signal ends it. The signalled run is held at a known point: its
// input is a FIFO that holds the frames and stays open, so the run waits for
// more after the temporary file is made. Linux opens a FIFO for reading and
// writing without waiting for another end; this one's buffer is made large
// enough for every frame.
TEST(FrameStore, TheTemporaryFileGoesWithAFullDiskOrASignal) {
  TempDir dir;
  ASSERT_EQ(shell(source("30") + " " + kPpmPipe + " - > in", dir.path()).status, 0);
  RunResult r = runProgram(
      "kxquant", {"-o", "a.gif", "in"},
      RunOptions{.cwd = dir.path(), .env = {"KX_FRAME_MEMORY=0"}, .fileSizeLimit = 20000});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("kxquant: .a.gif.frames.")) << r.err;
  EXPECT_TRUE(r.err.ends_with(": cannot keep the frames: File too large\n")) << r.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  const std::vector<uint8_t> frames = readFileBytes(dir.path("in"));
  ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
  const int fifo = ::open(dir.path("fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(::fcntl(fifo, F_SETPIPE_SZ, 1 << 18), static_cast<int>(frames.size()));
  ASSERT_EQ(::write(fifo, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
  const FolderSnapshot before = snapshotFolder(dir.path());
  r = runProgram("kxquant", {"-o", "a.gif", "fifo"},
                 RunOptions{.cwd = dir.path(),
                            .env = {"KX_FRAME_MEMORY=0"},
                            .killWhenExists = ".a.gif.frames.",
                            .killSignal = SIGTERM});
  ::close(fifo);
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_EQ(snapshotFolder(dir.path()), before);
}

}  // namespace
}  // namespace kx
