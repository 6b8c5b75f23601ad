// kxslurm: runs a kxreduce sequence on a Slurm cluster as job arrays, and
// leaves the files one kxreduce process on one machine would leave.
//
//   kxslurm --tasks N [--wait] [--workdir DIR] <kxreduce arguments> [-- <sbatch options>]
//
// The frames of the -s sequence are split into N contiguous shares, one
// array task each, run by kxreduce's stage commands (--frames; with -u, a
// palette array, one gather job and a remap array, each waiting for the one
// before). Working files (job scripts, palette files, logs, task statuses)
// go to a work folder of their own, <output>.kxslurm by default; it also
// records the command, so that running the same command again submits only
// the shares whose files are missing.
//
// Failures are the one Error of the library, thrown to kxslurm's main, which
// prints "kxslurm: <message>" and ends with status 255.
//
// Stands on: common (output files, errors) and run (kxreduce's command line
// and the names of its files). Runs sbatch, squeue and scancel, and the
// kxreduce found beside kxslurm or on PATH.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/error.h"
#include "run/run.h"

namespace kx {

// kxreduce's part of kxslurm's command line: the arguments, which go to
// kxreduce untouched (kxreduce checks them), and what they say, read by
// kxreduce's own command line.
struct ReduceCommand {
  std::vector<std::string> args;
  CommandLine line;

  const RunSettings& opt() const { return line.opt; }
  int64_t frameCount() const { return kx::frameCount(line.opt); }
  int64_t frameNumber(int64_t ordinal) const { return kx::frameNumber(line.opt, ordinal); }
  bool onePalette() const { return kx::onePalette(line.opt); }
};

struct SlurmCommand {
  ReduceCommand reduce;
  int64_t tasks = 0;
  bool wait = false;
  std::string workdir;              // as given; empty: <output>.kxslurm
  std::vector<std::string> sbatch;  // passed to every sbatch call
  bool help = false, version = false;
};

// Reads kxslurm's command line. Throws an Error for what kxslurm refuses;
// kxreduce's own options are checked by kxreduce (checkWithKxreduce).
SlurmCommand parseSlurmCommandLine(int argc, char** argv);
extern const char* const kSlurmUsage;
std::string slurmVersion();

// ---- Shares of the sequence and their files ---------------------------------------

struct Share {
  int64_t index = 0;  // the array task
  int64_t first = 0;  // ordinals in the sequence, from 0
  int64_t last = 0;
};

// min(tasks, frames) contiguous shares, sizes differing by one at most.
std::vector<Share> splitFrames(int64_t frames, int64_t tasks);
// kxreduce's --frames value for a share: "A-B" in frame numbers.
std::string frameRange(const ReduceCommand& c, const Share& s);

// The names in folders, each folder read once: a sequence can have far more
// files than it is reasonable to look up one by one on a shared file system.
class FolderListing {
 public:
  bool has(const std::string& path);
  // Removes the hidden temporary files (".<name>.XXXXXX") that a killed
  // kxreduce left beside the files of these shares' frames and, with
  // `colormap`, beside the sequence's colormap file.
  void removeTemporaries(const ReduceCommand& c, const std::vector<Share>& shares, bool colormap);

 private:
  const std::unordered_set<std::string>& folder(const std::string& dir);
  std::unordered_map<std::string, std::unordered_set<std::string>> folders_;
};

// The colormap file of the sequence's one palette (-u).
std::string sharedColormapFile(const ReduceCommand& c);
// Whether every file the share's frames write is there (never, with -r 0:
// nothing would show that it ran). The first missing file in *missing.
bool shareDone(const ReduceCommand& c, const Share& s, FolderListing& files,
               std::string* missing = nullptr);

// ---- Jobs -------------------------------------------------------------------------

struct ProgramResult {
  int status = 0;
  std::string out, err;
};
// Writes a file of the work folder whole (through a temporary file).
void writeWorkFile(const std::string& path, const std::string& text);
std::string joinIds(const std::vector<int64_t>& ids, const char* separator);

// Runs a program found on PATH (or by its path), stdin from /dev/null.
ProgramResult runCaptured(const std::vector<std::string>& argv);

// kxreduce beside this program, else on PATH, as an absolute path.
std::string findKxreduce();
// Lets kxreduce check the arguments on an empty share of the sequence; its
// messages are passed on. Throws when it refuses them.
void checkWithKxreduce(const std::string& kxreduce, const ReduceCommand& c);

// One job array of a stage and the shares its tasks run.
struct StageJob {
  std::string stage;  // "frames", "palette", "gather" or "remap"
  int64_t job = 0;
  std::vector<Share> shares;
};

struct WorkFolder {
  std::string path;  // absolute
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string log(const StageJob& j, const Share& s) const;
  std::string status(const StageJob& j, const Share& s) const;
};

// Writes the stage's job script and submits it; returns the job id.
// `after` (if not 0) is the job it waits for.
int64_t submitStage(const WorkFolder& work, const std::string& kxreduce, const SlurmCommand& cmd,
                    StageJob& job, int64_t after);
// The jobs among these that Slurm still has queued or running.
std::vector<int64_t> activeJobs(const std::vector<int64_t>& jobs);
void cancelJobs(const std::vector<int64_t>& jobs);

// The submitted jobs, kept in the work folder between runs.
void saveSubmission(const WorkFolder& work, const std::vector<StageJob>& jobs);
std::vector<StageJob> loadSubmission(const WorkFolder& work);

// Waits until every task has ended, then names each one that failed with
// its log. Returns the status for kxslurm: 0, or the highest status of a
// failed task (255 for one that was killed or never reported).
int waitAndReport(const WorkFolder& work, const std::vector<StageJob>& jobs,
                  const ReduceCommand& c);

int kxslurmMain(int argc, char** argv);

}  // namespace kx
