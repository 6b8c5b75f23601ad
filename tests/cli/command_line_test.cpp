// The command line of the real binary: usage text, every option check with
// its message and status, and the values the options leave for the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

// The usage text, byte for byte.
const std::string kUsage = readFileText(KX_SOURCE_DIR "/tests/data/cli/usage.txt");

// kxreduce in the folder, the arguments split at each space; its status
// is checked.
RunResult kxreduce(const TempDir& dir, const std::string& args, int status) {
  RunResult r = runProgram("kxreduce", words(args), dir.path());
  EXPECT_EQ(r.status, status) << args << ": " << r.err;
  return r;
}

// A command line: what the scan prints (possibly nothing), then the usage
// text when it is rejected, or the run's refusal of the missing input when
// it is accepted; status 255 either way, nothing on stdout.
struct Line {
  std::string args;  // split at each space
  std::string message;
  bool accepted = false;
};

void PrintTo(const Line& line, std::ostream* os) {
  *os << line.args;
}

// "-n 1 in out" gives n_1_in_out; "--" alone, EndOfOptions.
std::string lineName(const testing::TestParamInfo<Line>& p) {
  return identifier(p.param.args.starts_with("-- ") ? "EndOfOptions" + p.param.args.substr(2)
                                                    : p.param.args);
}

class CommandLines : public testing::TestWithParam<Line> {};

TEST_P(CommandLines, MessageThenUsageOrTheRun) {
  const Line& line = GetParam();
  TempDir dir;
  const RunResult r = kxreduce(dir, line.args, 255);
  EXPECT_EQ(r.err, line.message + (line.accepted ? "Error: Cannot open input file in\n" : kUsage));
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLines,
    testing::Values(
        Line{"", ""}, Line{"in", ""}, Line{"in out extra", "Too many parameters!\n"},
        Line{"-n 1 in out", "number of colors must >= 2\n"}, Line{"in out -n abc", ""},
        Line{"in out -n", ""}, Line{"-a 0 in out", "adjustment factor mast > 0 and <= 1\n"},
        Line{"-a 1.5 in out", "adjustment factor mast > 0 and <= 1\n"},
        Line{"-a .5 in out", "Too many parameters!\n"},
        Line{"-q 1 in out", "quantization factor must > 1 and < 8\n"},
        Line{"-Q 8 in out", "quantization factor must > 1 and < 8\n"},
        Line{"-z 0 in out", "compress value must > 1 and < 255\n"},
        Line{"-z 256 in out", "compress value must > 1 and < 255\n"},
        Line{"-b 0 in out", "number of bits must > 0 "},
        Line{"-r -2 in out", "-2 is an invalid opt.repeat value.\n"}, Line{"in out -s 1 5", ""},
        Line{"in out -s 1 x 1", ""}, Line{"-i pict2 in out", "format pict2 unknown.\n\n"},
        Line{"-o gif in out", "format gif unknown.\n\n"},
        Line{"--refined in out", "Invalid option --\n\n"},
        Line{"-- in out", "Invalid option --\n\n"}, Line{"-x in out", "Invalid option -x\n\n"},
        Line{"-5 in out", "Invalid option -5\n\n"},
        Line{"-o pic same same",
             "!!!Error: When using option -o, input and output\nmust have different file names\n"},
        Line{"in out", "", true},
        Line{"-n 300 in out", "Too many colors, 256 colors used.\n", true},
        Line{"-a in out", "", true}, Line{"in out -a", "", true}, Line{"-a 1 in out", "", true},
        Line{"-q in out", "", true}, Line{"-q 7.99 in out", "", true},
        Line{"in out -q 3", "", true}, Line{"-z 1 in out", "", true},
        Line{"-z 255 in out", "", true}, Line{"-b 1 in out", "", true},
        Line{"-r 0 in out", "", true}, Line{"-o pict2 in out", "", true},
        Line{"in --refine out", "", true}, Line{"-o pict in in", "", true},
        Line{"-verbose in out", "Reading image in...\n", true},
        Line{"-c x -C y -A -T -u in out", "", true}),
    lineName);

// An empty sequence reads nothing, whatever its step; a step below 1 is
// refused when the sequence would never end.
TEST(CommandLine, EmptySequenceReadsNothingAndAStepBelowOneIsRefused) {
  TempDir dir;
  EXPECT_EQ(kxreduce(dir, "-s 5 1 1 in out", 0).err, "");
  EXPECT_EQ(kxreduce(dir, "-s 5 1 -1 in out", 0).err, "");
  EXPECT_EQ(kxreduce(dir, "-s 1 5 0 in out", 255).err,
            "Error: Frame step 0 is below 1: the sequence 1 to 5 would never end\n");
}

// Values that reach the run, seen in what it writes: the colour count from
// leading digits, a count above 256 taken as 256, and a later option
// overriding an earlier one.
TEST(CommandLine, ValuesReachTheRun) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 40, 30);
  kxreduce(dir, "-n 12abc in out", 0);
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 12u * 6u);
  kxreduce(dir, "-n 300 in out", 0);  // its message is checked in the table above
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 256u * 6u);
  EXPECT_EQ(kxreduce(dir, "-n 8 -n 4 -A in out", 0).out, "writeASCIIColorMap\n");
  std::vector<uint8_t> cla = readFileBytes(dir.path("out.cla"));
  EXPECT_EQ(std::string(cla.begin(), cla.begin() + 4), "4 8\n");
}

}  // namespace
}  // namespace kx
