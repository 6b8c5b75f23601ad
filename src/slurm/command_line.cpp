// kxslurm's command line: its own long options, kxreduce's arguments (read
// the way kxreduce reads them, for the few settings that decide the shares
// and their files) and the sbatch options after "--".
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "slurm/slurm.h"

#ifndef KX_VERSION
#define KX_VERSION "unknown"
#endif

namespace kx {

const char* const kSlurmUsage =
    "Usage: kxslurm --tasks <count> [--wait] [--workdir <folder>]\n"
    "               <kxreduce arguments, with -s <start> <end> <step>> [-- <sbatch options>]\n";
const char* const kSlurmVersion = "kxslurm " KX_VERSION "\n";

namespace {

// kxreduce reads integers with strtol and clamps them to 32 bits; a value
// without digits is its error to report.
int32_t readInteger(const std::string& text) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<int32_t>(v);
}

bool startsWithDigit(const std::string& s) {
  return !s.empty() && s[0] >= '0' && s[0] <= '9';
}

// The sbatch options that would take from kxslurm what it relies on: the
// array, the dependencies, where the logs go, the working directory, and
// an sbatch that returns only when the job is over.
void refuseSbatchOption(const std::string& arg) {
  static const char* const kLong[] = {"--array", "--dependency", "--output", "--error",
                                      "--chdir", "--parsable",   "--wait",   "--wrap"};
  if (arg.rfind("--", 0) == 0) {
    const std::string name = arg.substr(0, arg.find('='));
    for (const char* taken : kLong) {
      if (name == taken) throw SlurmError("kxslurm sets sbatch's " + name + " itself");
    }
  } else if (arg.size() >= 2 && arg[0] == '-' &&
             std::string_view("adoeDW").find(arg[1]) != std::string_view::npos) {
    throw SlurmError("kxslurm sets sbatch's -" + std::string(1, arg[1]) + " itself");
  }
}

// The files of a frame that would land on another frame's input: kxreduce
// refuses it for a frame's own input, and with -r the copies reach the
// inputs of later frames, which one process reads after they are written.
void refuseOutputsOnInputs(const ReduceCommand& c) {
  if (c.input.empty() || c.output.empty()) return;
  const bool sameKind = c.inPict ? (c.outPict != 0 && !c.outPic) : c.outPic;
  if (!sameKind) return;
  namespace fs = std::filesystem;
  std::error_code e1, e2;
  const fs::path in = fs::weakly_canonical(fs::absolute(c.input), e1);
  const fs::path out = fs::weakly_canonical(fs::absolute(c.output), e2);
  if (!e1 && !e2 && in == out) {
    throw SlurmError("the output frames would be written over the input frames " + c.input +
                     ".<n>: give another output name");
  }
}

}  // namespace

SlurmCommand parseCommandLine(int argc, char** argv) {
  SlurmCommand cmd;
  // As in kxreduce: anywhere before the sbatch options, before anything else.
  for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    if (std::string_view(argv[i]) == "--help") cmd.help = true;
    if (std::string_view(argv[i]) == "--version") cmd.version = true;
  }
  if (cmd.help || cmd.version) return cmd;
  ReduceCommand& c = cmd.reduce;
  bool tasksGiven = false;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> bool { return i + 1 < argc; };
    if (arg.rfind("--", 0) == 0) {
      if (arg == "--") {
        for (int k = i + 1; k < argc; ++k) {
          refuseSbatchOption(argv[k]);
          cmd.sbatch.push_back(argv[k]);
        }
        break;
      }
      const size_t eq = arg.find('=');
      const std::string name = arg.substr(0, eq);
      // kxreduce's own long options, none of which takes a value; one
      // kxslurm does not know could take one, and then the names would be
      // read wrong.
      if (arg == "--refine") {
        c.args.push_back(arg);
        continue;
      }
      auto value = [&]() -> std::string {
        if (eq != std::string::npos) return arg.substr(eq + 1);
        if (!next()) throw SlurmError(name + " needs a value");
        return argv[++i];
      };
      if (name == "--tasks") {
        const std::string v = value();
        char* rest = nullptr;
        const long long n = std::strtoll(v.c_str(), &rest, 10);
        if (rest == v.c_str() || *rest != '\0' || n < 1) {
          throw SlurmError("--tasks takes the number of array tasks, 1 or more, not " + v);
        }
        cmd.tasks = n;
        tasksGiven = true;
      } else if (name == "--workdir") {
        cmd.workdir = value();
        if (cmd.workdir.empty()) throw SlurmError("--workdir needs a folder");
      } else if (arg == "--wait") {
        cmd.wait = true;
      } else {
        throw SlurmError("unknown option " + name +
                         " (kxslurm gives kxreduce its --frames, --palettes-to, --gather and "
                         "--palette itself)");
      }
      continue;
    }
    c.args.push_back(arg);
    if (arg[0] != '-') {
      if (positional == 0) c.input = arg;
      if (positional == 1) c.output = arg;
      ++positional;
      continue;
    }
    // Only the option's second character counts, as in kxreduce.
    auto take = [&]() -> std::string {
      if (!next()) return "";
      c.args.push_back(argv[++i]);
      return argv[i];
    };
    switch (arg.size() > 1 ? arg[1] : '\0') {
      case 'n':
      case 'b':
      case 'z':
        take();
        break;
      case 'a':
      case 'q':
      case 'Q':
        if (next() && startsWithDigit(argv[i + 1])) take();
        break;
      case 'i':
        c.inPict = take() == "pict";
        break;
      case 'o': {
        const std::string f = take();
        if (f == "pic" || f == "kest") c.outPic = true;
        if (f == "pict") c.outPict = 1;
        if (f == "pict2") c.outPict = 2;
        break;
      }
      case 'c':
      case 'C':
        c.colormapMode = arg[1] == 'c' ? 1 : 2;
        c.colormap = take();
        break;
      case 'r':
        c.repeat = readInteger(take());
        break;
      case 's':
        c.sequence = true;
        c.start = readInteger(take());
        c.end = readInteger(take());
        c.step = readInteger(take());
        break;
      case 'A':
        c.ascii = true;
        break;
      case 'T':
        c.transform = true;
        break;
      case 'u':
        c.unique = true;
        break;
      case 'd':
        c.display = true;
        break;
      default:
        break;  // -v, and kxreduce's to refuse
    }
  }
  if (!tasksGiven) throw SlurmError("give --tasks <count>, the number of array tasks");
  if (!c.sequence) throw SlurmError("give -s <start> <end> <step>: kxslurm runs a sequence");
  if (c.display) {
    throw SlurmError("-d shows every frame in a window, and cluster tasks have no display");
  }
  refuseOutputsOnInputs(c);
  return cmd;
}

}  // namespace kx
