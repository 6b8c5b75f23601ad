// kxslurm's command line: its own long options, kxreduce's arguments (split
// off with kxreduce's own rule for option values, and read by kxreduce's own
// command line, run/), and the sbatch options after "--".
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "common/version.h"
#include "slurm/slurm.h"

namespace kx {

const char* const kSlurmUsage =
    "Usage: kxslurm --tasks <count> [--wait] [--workdir <folder>]\n"
    "               <kxreduce arguments, with -s <start> <end> <step>> [-- <sbatch options>]\n";

std::string slurmVersion() {
  return std::string("kxslurm ") + toolVersion() + "\n";
}

namespace {

Error refused(const std::string& why) {
  return Error(ErrorCode::usage, why);
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
      if (name == taken) throw refused("kxslurm sets sbatch's " + name + " itself");
    }
  } else if (arg.size() >= 2 && arg[0] == '-' &&
             std::string_view("adoeDW").find(arg[1]) != std::string_view::npos) {
    throw refused("kxslurm sets sbatch's -" + std::string(1, arg[1]) + " itself");
  }
}

// The files of a frame that would land on another frame's input: kxreduce
// refuses it for a frame's own input, and with -r the copies reach the
// inputs of later frames, which one process reads after they are written.
void refuseOutputsOnInputs(const CommandLine& cl) {
  if (cl.input.empty() || cl.output.empty()) return;
  const bool sameKind = cl.opt.inPict ? (cl.opt.outPict != 0 && !cl.opt.outPic) : cl.opt.outPic;
  if (!sameKind) return;
  namespace fs = std::filesystem;
  std::error_code e1, e2;
  const fs::path in = fs::weakly_canonical(fs::absolute(cl.input), e1);
  const fs::path out = fs::weakly_canonical(fs::absolute(cl.output), e2);
  if (!e1 && !e2 && in == out) {
    throw refused("the output frames would be written over the input frames " + cl.input +
                  ".<n>: give another output name");
  }
}

// kxslurm's own long options; false for an argument that is none of them.
bool slurmOption(const std::vector<std::string>& args, size_t& i, SlurmCommand& cmd,
                 bool& tasksGiven) {
  const std::string& arg = args[i];
  const size_t eq = arg.find('=');
  const std::string name = arg.substr(0, eq);
  auto value = [&]() -> std::string {
    if (eq != std::string::npos) return arg.substr(eq + 1);
    if (i + 1 >= args.size()) throw refused(name + " needs a value");
    return args[++i];
  };
  if (name == "--tasks") {
    const std::string v = value();
    char* rest = nullptr;
    const long long n = std::strtoll(v.c_str(), &rest, 10);
    if (rest == v.c_str() || *rest != '\0' || n < 1) {
      throw refused("--tasks takes the number of array tasks, 1 or more, not " + v);
    }
    cmd.tasks = n;
    tasksGiven = true;
  } else if (name == "--workdir") {
    cmd.workdir = value();
    if (cmd.workdir.empty()) throw refused("--workdir needs a folder");
  } else if (arg == "--wait") {
    cmd.wait = true;
  } else {
    return false;
  }
  return true;
}

}  // namespace

SlurmCommand parseSlurmCommandLine(int argc, char** argv) {
  SlurmCommand cmd;
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  // As in kxreduce: anywhere before the sbatch options, before anything else.
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help") cmd.help = true;
    if (arg == "--version") cmd.version = true;
  }
  if (cmd.help || cmd.version) return cmd;
  ReduceCommand& c = cmd.reduce;
  bool tasksGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      for (size_t k = i + 1; k < args.size(); ++k) {
        refuseSbatchOption(args[k]);
        cmd.sbatch.push_back(args[k]);
      }
      break;
    }
    // kxreduce's long options that take no value pass; one kxslurm does not
    // know could take one, and then the names would be read wrong.
    if (arg.rfind("--", 0) == 0 && arg != "--refine") {
      if (slurmOption(args, i, cmd, tasksGiven)) continue;
      throw refused("unknown option " + arg.substr(0, arg.find('=')) +
                    " (kxslurm gives kxreduce its --frames, --palettes-to, --gather and "
                    "--palette itself)");
    }
    // kxreduce's arguments, an option with its values.
    const int values = optionValues(args, i);
    for (int k = 0; k <= values; ++k) c.args.push_back(args[i + k]);
    i += values;
  }
  c.line = parseCommandLine(c.args).line;
  if (!tasksGiven) throw refused("give --tasks <count>, the number of array tasks");
  if (!c.opt().sequence) throw refused("give -s <start> <end> <step>: kxslurm runs a sequence");
  if (c.opt().display) {
    throw refused("-d shows every frame in a window, and cluster tasks have no display");
  }
  refuseOutputsOnInputs(c.line);
  return cmd;
}

}  // namespace kx
