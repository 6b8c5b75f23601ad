// The command line of the real binary: usage text, every option check with
// its message and status, and the values the options leave for the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

const std::string kUsage =
    "\nkxreduce Version 2.6 B3\n"
    "This program converts KESTRALUX true color image file (.pic) into a color\n"
    "mapped image file (.icn). You can impose output image colors by using\n"
    "a colormap or let the program to choose colors and produce a colormap.\n\n"
    "Usage: kxreduce <input file> <output file>\n"
    "                [-n <colors>] [-a [factor] ] [-q <number>]  [-b <bits>]\n"
    "                [-i <format>] [-o <format>]\n"
    "                [-c <colormap>] [-C <colormap>]\n"
    "                [-A] [-T] [-u] [-d] [-v]\n"
    "                [-r <repeat count>] [-s <start frame> <end frame> <step>] \n"
    "\n"
    "       <input file>:  name of the KESTRALUX file\n"
    "       <output file>: name of the color mapped file\n\n"
    "Options:  n lets you specify the desired number of colors for the\n"
    "            output image (default is 256).\n"
    "          a makes colors adjustment to get better result.\n"
    "            0 < [factor] <= 1   (default is 0.7)\n"
    "          q uses a quantization filter to reduce colors.\n"
    "            <number> = 2,3,4,5,6,7\n"
    "          b lets you specify the number of bits for each channel(default is 8).\n"
    "          d displays the output picture.\n"
    "          i lets you specify input image format (pic or pict).\n"
    "          o lets you specify output image format (pic or pict).\n"
    "          c uses a binary colormap file (.clm).\n"
    "          C uses a ASCII colormap file (.cla).\n"
    "          A produces a ASCII colormap file(default is a binary file).\n"
    "          T Transforms input colormap form ASCII to binary or vice versa.\n"
    "          u produce a unique colormap for the whole sequence.\n"
    "          r lets you specify how many times each frame should be repeated.\n"
    "            The default is 1.\n"
    "          s works on a whole sequence instead of only one frame.\n"
    "          v turns on the verbose mode.\n\n";

RunResult kxreduce(const std::vector<std::string>& args, const std::string& cwd = "") {
  return runProgram("kxreduce", args, cwd);
}

// A command line that the scan rejects: message (possibly empty) then the
// usage text, status 255, nothing on stdout.
struct Rejected {
  std::vector<std::string> args;
  std::string message;
};

std::string joined(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) s += (s.empty() ? "" : " ") + a;
  return s.empty() ? "(none)" : s;
}
void PrintTo(const Rejected& r, std::ostream* os) {
  *os << joined(r.args);
}

class RejectedCommandLine : public testing::TestWithParam<Rejected> {};

TEST_P(RejectedCommandLine, PrintsMessageAndUsage) {
  RunResult r = kxreduce(GetParam().args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, GetParam().message + kUsage);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, RejectedCommandLine,
    testing::Values(Rejected{{}, ""}, Rejected{{"in"}, ""},
                    Rejected{{"in", "out", "extra"}, "Too many parameters!\n"},
                    Rejected{{"-n", "1", "in", "out"}, "number of colors must >= 2\n"},
                    Rejected{{"in", "out", "-n", "abc"}, ""}, Rejected{{"in", "out", "-n"}, ""},
                    Rejected{{"-a", "0", "in", "out"}, "adjustment factor mast > 0 and <= 1\n"},
                    Rejected{{"-a", "1.5", "in", "out"}, "adjustment factor mast > 0 and <= 1\n"},
                    Rejected{{"-a", ".5", "in", "out"}, "Too many parameters!\n"},
                    Rejected{{"-q", "8", "in", "out"}, "quantization factor must > 1 and < 8\n"},
                    Rejected{{"-q", "1", "in", "out"}, "quantization factor must > 1 and < 8\n"},
                    Rejected{{"-Q", "9", "in", "out"}, "quantization factor must > 1 and < 8\n"},
                    Rejected{{"-z", "0", "in", "out"}, "compress value must > 1 and < 255\n"},
                    Rejected{{"-z", "256", "in", "out"}, "compress value must > 1 and < 255\n"},
                    Rejected{{"-z", "x", "in", "out"}, "compress value must > 1 and < 255\n"},
                    Rejected{{"-b", "0", "in", "out"}, "number of bits must > 0 "},
                    Rejected{{"-b", "-1", "in", "out"}, "number of bits must > 0 "},
                    Rejected{{"-r", "-2", "in", "out"}, "-2 is an invalid opt.repeat value.\n"},
                    Rejected{{"in", "out", "-s", "1", "5"}, ""},
                    Rejected{{"in", "out", "-s", "1", "x", "1"}, ""},
                    Rejected{{"-i", "pict2", "in", "out"}, "format pict2 unknown.\n\n"},
                    Rejected{{"-o", "gif", "in", "out"}, "format gif unknown.\n\n"},
                    Rejected{{"--verbose", "in", "out"}, "Invalid option --\n\n"},
                    Rejected{{"--refined", "in", "out"}, "Invalid option --\n\n"},
                    Rejected{{"--", "in", "out"}, "Invalid option --\n\n"},
                    Rejected{{"-x", "in", "out"}, "Invalid option -x\n\n"},
                    Rejected{{"-5", "in", "out"}, "Invalid option -5\n\n"},
                    Rejected{{"-V", "in", "out"}, "Invalid option -V\n\n"},
                    Rejected{{"-o", "pic", "same", "same"},
                             "!!!Error: When using option -o, input and output\n"
                             "must have different file names\n"}));

// Command lines that the scan accepts end in the driver; a missing input file
// shows that the run got that far.
struct Accepted {
  std::vector<std::string> args;
  std::string before;  // what the scan prints before the run starts
};

void PrintTo(const Accepted& a, std::ostream* os) {
  *os << joined(a.args);
}

class AcceptedCommandLine : public testing::TestWithParam<Accepted> {};

TEST_P(AcceptedCommandLine, ReachesTheRun) {
  TempDir dir;
  RunResult r = kxreduce(GetParam().args, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, GetParam().before + "Error: Cannot open input file in\n");
}

INSTANTIATE_TEST_SUITE_P(
    Options, AcceptedCommandLine,
    testing::Values(Accepted{{"in", "out"}, ""},
                    Accepted{{"-n", "300", "in", "out"}, "Too many colors, 256 colors used.\n"},
                    Accepted{{"-n", "12abc", "in", "out"}, ""}, Accepted{{"-a", "in", "out"}, ""},
                    Accepted{{"in", "out", "-a"}, ""}, Accepted{{"-a", "1", "in", "out"}, ""},
                    Accepted{{"-q", "in", "out"}, ""}, Accepted{{"-q", "7.99", "in", "out"}, ""},
                    Accepted{{"-z", "1", "in", "out"}, ""},
                    Accepted{{"-z", "255", "in", "out"}, ""},
                    Accepted{{"-b", "1", "in", "out"}, ""}, Accepted{{"-r", "0", "in", "out"}, ""},
                    Accepted{{"-o", "pict2", "in", "out"}, ""},
                    Accepted{{"in", "--refine", "out"}, ""},
                    Accepted{{"-o", "pict", "in", "in"}, ""},
                    Accepted{{"-verbose", "in", "out"}, "Reading image in...\n"},
                    Accepted{{"-c", "x", "-C", "y", "-A", "-T", "-u", "in", "out"}, ""}));

TEST(CommandLine, EmptySequenceReadsNothing) {
  TempDir dir;
  RunResult r = kxreduce({"-s", "5", "1", "1", "in", "out"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, StepBelowOneIsRefused) {
  TempDir dir;
  RunResult r = kxreduce({"-s", "1", "5", "0", "in", "out"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Error: Frame step 0 is below 1: the sequence 1 to 5 would never end\n");
  // A step below 1 is harmless when the sequence is empty.
  EXPECT_EQ(kxreduce({"-s", "5", "1", "-1", "in", "out"}, dir.path()).status, 0);
}

// Values that reach the run: seen in what it writes.
TEST(CommandLine, ColourCountFromLeadingDigits) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 40, 30);
  RunResult r = kxreduce({"-n", "12abc", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // 16-byte header and 6 bytes per entry.
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 12u * 6u);
}

TEST(CommandLine, LaterOptionsOverrideEarlierOnes) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 40, 30);
  RunResult r = kxreduce({"-n", "8", "-n", "4", "-A", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "writeASCIIColorMap\n");
  std::vector<uint8_t> cla = readFileBytes(dir.path("out.cla"));
  EXPECT_EQ(std::string(cla.begin(), cla.begin() + 4), "4 8\n");
}

}  // namespace
}  // namespace kx
