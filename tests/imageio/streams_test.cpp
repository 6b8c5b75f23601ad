// Streams of frames (YUV4MPEG2, netpbm images one after another) against
// ffmpeg and netpbm, which write them; and their refusals.
#include <cstdio>
#include <numeric>

#include "imageio_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

// What a FrameSource gives: every frame as RGB, one after another.
struct Frames {
  std::string rgb;
  int count = 0;
  std::optional<FrameRate> rate;
};

Frames readFrames(InputFile&& file) {
  Frames out;
  std::unique_ptr<FrameSource> source = openFrames(file);
  if (!source) throw std::runtime_error(file.path() + ": openFrames does not know it");
  for (Image frame; source->next(frame); ++out.count) {
    const Image rgb = expandToRgb(frame, false);
    out.rgb.append(rgb.samples.begin(), rgb.samples.end());
  }
  out.rate = source->frameRate();
  return out;
}

// ffmpeg's test clip of the size and rate, `frames` long, as input options.
std::string testClip(const std::string& size, const std::string& rate, int frames) {
  return "ffmpeg -loglevel error -f lavfi -i testsrc2=size=" + size + ":rate=" + rate +
         " -frames:v " + std::to_string(frames) + " ";
}

struct Y4mCase {
  const char* name;
  const char* options;  // ffmpeg's output options
  const char* tag;      // what the header must say
  const char* size = "64x48";
  const char* rate = "10";
  std::pair<int64_t, int64_t> expectedRate{10, 1};  // frames in so many seconds
};

class Y4mInput : public InFolder<::testing::TestWithParam<Y4mCase>> {};

// Frame for frame as ffmpeg converts the file (the same samples but for a
// few interpolated ones, off by at most 8 levels); the first frame through
// kxconv the same with one thread or two.
TEST_P(Y4mInput, EveryFrameAsFfmpegConvertsIt) {
  const Y4mCase& c = GetParam();
  const std::string path = dir.path("in.y4m");
  const RunResult made =
      shell(testClip(c.size, c.rate, 3) + c.options + " -f yuv4mpegpipe " + quoted(path));
  ASSERT_EQ(made.status, 0) << made.err;
  const std::vector<uint8_t> bytes = readFileBytes(path);
  const std::string header(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\n'));
  ASSERT_NE(header.find(c.tag), std::string::npos) << header;

  const RunResult converted =
      shell("ffmpeg -loglevel error -i " + quoted(path) + " -pix_fmt rgb24 -f rawvideo -");
  ASSERT_EQ(converted.status, 0) << converted.err;
  const Frames frames = readFrames(InputFile(path));
  ASSERT_EQ(frames.count, 3);
  ASSERT_EQ(frames.rgb.size(), converted.out.size());
  std::vector<int> d(converted.out.size());
  for (size_t i = 0; i < d.size(); ++i)
    d[i] = std::abs(static_cast<uint8_t>(frames.rgb[i]) - static_cast<uint8_t>(converted.out[i]));
  const int most = *std::max_element(d.begin(), d.end());
  const double mean = std::accumulate(d.begin(), d.end(), 0.0) / static_cast<double>(d.size());
  std::printf("[ against ffmpeg ] %s: mean difference %.4f, largest %d\n", c.name, mean, most);
  EXPECT_LE(mean, 0.05);
  EXPECT_LE(most, 8);
  ASSERT_TRUE(frames.rate);
  EXPECT_EQ(std::pair(frames.rate->frames, frames.rate->seconds), c.expectedRate);

  const std::string first = frames.rgb.substr(0, frames.rgb.size() / 3);
  for (const char* threads : {"KX_THREADS=1", "KX_THREADS=2"}) {
    const RunResult r = runProgram("kxconv", {"in.y4m", "out.ppm"},
                                   RunOptions{.cwd = dir.path(), .env = {threads}});
    ASSERT_EQ(r.status, 0) << r.err;
    const Raster out = netpbm("cat " + quoted(dir.path("out.ppm")));
    EXPECT_TRUE(std::string(out.samples.begin(), out.samples.end()) == first) << threads;
    std::filesystem::remove(dir.path("out.ppm"));
  }
}

// 640 × 360: three stripes of rows on two threads.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, Y4mInput, ::testing::Values(
    Y4mCase{"yuv420_centre", "-pix_fmt yuv420p", " C420jpeg ", "640x360"},
    Y4mCase{"yuv420_left", "-pix_fmt yuv420p -chroma_sample_location left", " C420mpeg2 "},
    Y4mCase{"yuv420_top_left", "-pix_fmt yuv420p -chroma_sample_location topleft", " C420paldv "},
    Y4mCase{"yuv420_full_range_ntsc", "-pix_fmt yuv420p -color_range pc", " XCOLORRANGE=FULL",
            "64x48", "30000/1001", {30000, 1001}},
    Y4mCase{"yuv422", "-pix_fmt yuv422p", " C422 "},
    Y4mCase{"yuv444", "-pix_fmt yuv444p", " C444 ", "640x360"},
    Y4mCase{"mono", "-pix_fmt gray", " Cmono "},
    Y4mCase{"yuv444_chroma_at_both_ends",
            "-vf 'format=yuv444p,geq=lum=p(X\\,Y):cb=if(lt(X\\,W/2)\\,0\\,255):"
            "cr=if(lt(Y\\,H/2)\\,0\\,255)' -pix_fmt yuv444p", " C444 "},
    // An odd width over an even height: pairs of pixels, the last one alone.
    Y4mCase{"yuv420_odd_width", "-vf format=rgb24,crop=63:48:0:0 -pix_fmt yuv420p", " W63 H48 "},
    // Odd sizes take ffmpeg's other conversions: interpolated chroma.
    Y4mCase{"yuv420_odd_height", "-vf format=rgb24,crop=640:359:0:0 -pix_fmt yuv420p", " H359 ",
            "640x360"},
    Y4mCase{"yuv420_odd_sides", "-vf format=rgb24,crop=641:359:0:0 -pix_fmt yuv420p",
            " W641 H359 ", "642x360"},
    Y4mCase{"yuv422_odd_sides", "-vf format=rgb24,crop=63:47:0:0 -pix_fmt yuv422p", " W63 H47 "},
    Y4mCase{"yuv422_odd_height", "-vf format=rgb24,crop=64:47:0:0 -pix_fmt yuv422p", " H47 "}),
    CaseName());
// clang-format on

// netpbm's kinds joined by cat with white space between two of them: every
// image a frame, each of its own size. (ffmpeg's PPM pipe, through kxquant:
// GifFromStream.)
TEST(NetpbmStream, EveryImageAFrame) {
  TempDir dir;
  const std::string png = std::string(KX_SOURCE_DIR) + "/tests/data/png/";
  const std::string bilevel =
      "pngtopam " + png + "grey8.png | pamcut -width 37 | pamditherbw -threshold | pamtopnm";
  const std::vector<std::string> parts = {
      "pngtopam -alphapam " + png + "rgba8_interlaced.png",
      "pngtopam " + png + "grey16.png",
      "pngtopam " + png + "rgb8_interlaced.png | pamscale 0.5 | pnmtoplainpnm",
      "pngtopam " + png + "grey8.png | pamditherbw -threshold | pamtopnm",
      bilevel,
      bilevel + " | pnmtoplainpnm"};
  std::string joined = "{ ";
  for (size_t i = 0; i < parts.size(); ++i)
    joined += parts[i] + (i == 2 ? "; printf ' \\n\\t\\n'; " : "; ");
  ASSERT_EQ(shell(joined + "} > " + quoted(dir.path("all.pnm"))).status, 0);
  InputFile file(dir.path("all.pnm"));
  std::unique_ptr<FrameSource> source = openFrames(file);
  ASSERT_TRUE(source);
  const std::vector<Image> images = allFrames(*source);
  ASSERT_EQ(images.size(), parts.size());
  for (size_t i = 0; i < parts.size(); ++i)
    EXPECT_EQ(rgbaOf(images[i]), asRgb(netpbm(parts[i]), true)) << parts[i];
}

struct BadCase {
  const char* name;
  std::string make;     // sh in a folder with good.y4m (3 frames) and good.ppm (5 frames), 64 × 48
  std::string message;  // the refusal after "<file>: "
};

class BadStream : public InFolder<::testing::TestWithParam<BadCase>> {};

TEST_P(BadStream, RefusedNamingTheFrameOrTheKind) {
  const BadCase& c = GetParam();
  const RunResult made = shell(
      testClip("64x48", "10", 3) + "-pix_fmt yuv420p -f yuv4mpegpipe good.y4m && " +
          testClip("64x48", "10", 5) +
          "-f image2pipe -c:v ppm good.ppm && n=$(head -1 good.y4m | wc -c) && { " + c.make + "; }",
      dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string path = dir.path("bad");
  try {
    readFrames(InputFile(path));
    FAIL() << "read";
  } catch (const ConvError& e) {
    EXPECT_EQ(e.what(), path + ": " + c.message);
  }
}

// good.y4m: its header line ($n bytes), then frames of 6 + 4608 bytes; good.ppm:
// frames of 13 + 9216 bytes.
constexpr const char* kOnly8Bit = " is not read; 8-bit 4:2:0, 4:2:2, 4:4:4 and mono are";
constexpr const char* kProgressive = " is not read; only progressive frames are";
const std::string kFfmpeg = "ffmpeg -loglevel error -i good.y4m ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Streams, BadStream, ::testing::Values(
    BadCase{"y4m_cut_in_a_frame_header", "head -c $((n + 4614 + 3)) good.y4m > bad",
            "frame 2: the file ends inside the FRAME header"},
    BadCase{"y4m_cut_in_the_samples", "head -c $((n + 2 * 4614 + 6 + 100)) good.y4m > bad",
            "frame 3: the file ends inside the frame (100 of 4608 bytes)"},
    BadCase{"y4m_frame_without_its_header",
            "head -c $((n + 4614)) good.y4m > bad; printf 'FRAMX\\n' >> bad",
            "frame 2: not a YUV4MPEG2 frame (no FRAME header)"},
    BadCase{"ppm_cut_in_a_header", "head -c $((9229 + 5)) good.ppm > bad",
            "frame 2: the file ends before the height"},
    BadCase{"ppm_followed_by_other_bytes", "head -c 9229 good.ppm > bad; echo notes >> bad",
            "frame 2: not a netpbm file (no P1 to P7 magic)"},
    BadCase{"y4m_of_10_bits", kFfmpeg + "-pix_fmt yuv420p10le -strict -1 -f yuv4mpegpipe bad",
            std::string("YUV4MPEG2 with 10-bit samples (C420p10)") + kOnly8Bit},
    BadCase{"y4m_of_4_1_1", kFfmpeg + "-pix_fmt yuv411p -f yuv4mpegpipe bad",
            std::string("YUV4MPEG2 with 4:1:1 chroma (C411)") + kOnly8Bit},
    BadCase{"y4m_with_alpha", kFfmpeg + "-pix_fmt yuva444p -strict -1 -f yuv4mpegpipe bad",
            std::string("YUV4MPEG2 with an alpha plane (C444alpha)") + kOnly8Bit},
    BadCase{"y4m_top_field_first", kFfmpeg + "-vf setfield=tff -f yuv4mpegpipe bad",
            std::string("interlaced YUV4MPEG2 (It: top field first)") + kProgressive},
    BadCase{"y4m_of_mixed_fields", "printf 'YUV4MPEG2 W64 H48 F25:1 Im\\n' > bad",
            std::string("interlaced YUV4MPEG2 (Im: mixed field orders)") + kProgressive},
    BadCase{"y4m_without_a_height", "printf 'YUV4MPEG2 W64 F25:1\\n' > bad",
            "malformed YUV4MPEG2 header (no frame size)"},
    BadCase{"y4m_rate_without_a_ratio", "printf 'YUV4MPEG2 W64 H48 F25\\n' > bad",
            "malformed YUV4MPEG2 header (bad frame rate \"F25\")"},
    BadCase{"y4m_rate_without_a_denominator", "printf 'YUV4MPEG2 W64 H48 F25:\n' > bad",
            "malformed YUV4MPEG2 header (bad frame rate \"F25:\")"},
    BadCase{"y4m_header_without_an_end",
            "{ printf 'YUV4MPEG2 W64 H48 X'; head -c 5000 /dev/zero | tr '\\0' a; } > bad",
            "the YUV4MPEG2 header does not end within 4096 bytes"},
    BadCase{"ppm_of_10001_images", "printf 'P5 1 1 255\\n\\n%.0s' $(seq 10001) > bad",
            "more than 10000 frames"},
    BadCase{"y4m_too_wide", "printf 'YUV4MPEG2 W40000 H48\\nFRAME\\n' > bad", "the YUV4MPEG2 "
            "picture is 40000 x 48 pixels; YUV4MPEG2 pictures are read up to 32767 pixels on a "
            "side"}),
    CaseName());
// clang-format on

}  // namespace
}  // namespace kx
