// kxslurm's run: the work folder, which shares still need doing, the
// stages submitted for them, and the wait.
//
// A share is done when every file its frames write is there (the
// colour-mapped images of every repetition, the frame's colormap, the
// extra pictures). kxreduce renames a frame's files into place only when
// they are complete, so a file that is there is whole. With -u the gather
// is done when the sequence's colormap file and the palette the remap
// tasks read (shared.kxp in the work folder) are both there, and a palette
// task when its palette file is.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/outfile.h"
#include "slurm/slurm.h"

namespace kx {

namespace fs = std::filesystem;

namespace {

void note(const std::string& message) {
  std::fprintf(stderr, "kxslurm: %s\n", message.c_str());
}

std::string commandRecord(const ReduceCommand& c) {
  std::string s = "kxslurm work folder of\n  cd " + fs::current_path().string() + "\n  kxreduce";
  for (const std::string& a : c.args) s += " " + a;
  return s + "\n";
}

// Makes the work folder for a first run, or finds the one an earlier run
// of the same command made (true).
bool openWorkFolder(const WorkFolder& work, const ReduceCommand& c) {
  const std::string record = commandRecord(c);
  std::error_code ec;
  if (!fs::exists(work.path, ec)) {
    if (!fs::create_directory(work.path, ec)) {
      throw Error(ErrorCode::failed,
                  "cannot make the work folder " + work.path + ": " + ec.message());
    }
    for (const char* sub : {"logs", "status", "palettes", "scripts"}) {
      fs::create_directory(work.file(sub), ec);
      if (ec) throw Error(ErrorCode::failed, "cannot make " + work.file(sub) + ": " + ec.message());
    }
    writeWorkFile(work.file("command"), record);
    return false;
  }
  std::ifstream in(work.file("command"));
  if (!in) {
    throw Error(ErrorCode::failed,
                work.path + " is not a kxslurm work folder: give another --workdir");
  }
  std::stringstream text;
  text << in.rdbuf();
  if (text.str() != record) {
    throw Error(ErrorCode::failed, work.path + " holds the work of another command:\n" +
                                       text.str() + "remove it to start afresh, or give --workdir");
  }
  return true;
}

std::vector<int64_t> jobIds(const std::vector<StageJob>& jobs) {
  std::vector<int64_t> ids;
  for (const StageJob& j : jobs) ids.push_back(j.job);
  return ids;
}

// After the wait: every file of every share must be there, not only the
// ones the tasks said they wrote.
int finish(const WorkFolder& work, const std::vector<StageJob>& jobs, const SlurmCommand& cmd) {
  const ReduceCommand& c = cmd.reduce;
  const int status = waitAndReport(work, jobs, c);
  if (status != 0) {
    note("run the same command again to redo what failed");
    return status;
  }
  FolderListing files;
  std::string missing;
  if (c.onePalette() && !files.has(sharedColormapFile(c))) missing = sharedColormapFile(c);
  for (const Share& s : splitFrames(c.frameCount(), cmd.tasks)) {
    if (!missing.empty()) break;
    if (c.opt().repeat != 0) shareDone(c, s, files, &missing);
  }
  if (!missing.empty()) {
    note("every task ended well, but " + missing + " is not there");
    return 255;
  }
  note("all " + std::to_string(c.frameCount()) + " frames are done");
  return 0;
}

int run(const SlurmCommand& cmd, const std::string& kxreduce) {
  const ReduceCommand& c = cmd.reduce;
  const int64_t frames = c.frameCount();
  if (frames == 0) {
    note("the sequence has no frames: nothing to do");
    return 0;
  }
  WorkFolder work{fs::absolute(cmd.workdir.empty() ? c.line.output + ".kxslurm" : cmd.workdir)
                      .lexically_normal()
                      .string()};
  const bool rerun = openWorkFolder(work, c);
  if (rerun) {
    const std::vector<StageJob> earlier = loadSubmission(work);
    // A job whose tasks have all written their status is over but for the
    // shell's exit, however long Slurm takes to see it.
    std::vector<StageJob> unreported;
    for (const StageJob& j : earlier) {
      for (const Share& s : j.shares) {
        if (!fs::exists(work.status(j, s))) {
          unreported.push_back(j);
          break;
        }
      }
    }
    const std::vector<int64_t> active = activeJobs(jobIds(unreported));
    if (!active.empty()) {
      if (!cmd.wait) {
        throw Error(ErrorCode::failed,
                    "jobs " + joinIds(active, ", ") +
                        " of an earlier run of this command are still queued or running: wait "
                        "for them (give --wait), or cancel them (scancel " +
                        joinIds(active, " ") + ")");
      }
      note("waiting for jobs " + joinIds(active, ", ") + " of an earlier run of this command");
      return finish(work, earlier, cmd);
    }
  }

  const std::vector<Share> shares = splitFrames(frames, cmd.tasks);
  FolderListing files;
  std::vector<Share> todo;
  for (const Share& s : shares) {
    if (rerun && shareDone(c, s, files)) continue;
    todo.push_back(s);
  }
  bool gather = false;
  std::vector<Share> palettes;
  if (c.onePalette()) {
    const bool colormapThere = files.has(sharedColormapFile(c));
    gather = !rerun || !colormapThere || (!todo.empty() && !fs::exists(work.file("shared.kxp")));
    for (const Share& s : gather ? shares : std::vector<Share>{}) {
      if (!fs::exists(work.file("palettes/" + frameRange(c, s) + ".kxp"))) palettes.push_back(s);
    }
  }
  if (todo.empty() && !gather) {
    note("every file of the sequence is there already: nothing to submit");
    return 0;
  }
  // The earlier jobs are over: what a killed task left half-written is
  // nobody's now.
  if (rerun) files.removeTemporaries(c, todo, gather);

  std::vector<StageJob> jobs;
  try {
    int64_t after = 0;
    auto submit = [&](const std::string& stage, const std::vector<Share>& of) {
      jobs.push_back(StageJob{stage, 0, of});
      after = submitStage(work, kxreduce, cmd, jobs.back(), after);
      saveSubmission(work, jobs);
    };
    if (!palettes.empty()) submit("palette", palettes);
    if (gather) submit("gather", {Share{0, 0, frames - 1}});
    if (!todo.empty()) submit(c.onePalette() ? "remap" : "frames", todo);
  } catch (const Error& e) {
    // Stages that would wait for ever for one that was never submitted.
    std::vector<int64_t> submitted;
    for (const StageJob& j : jobs) {
      if (j.job != 0) submitted.push_back(j.job);
    }
    if (submitted.empty()) throw;
    cancelJobs(submitted);
    throw Error(ErrorCode::failed, std::string(e.what()) +
                                       "\nkxslurm: cancelled the jobs submitted before it: " +
                                       joinIds(submitted, ", "));
  }
  std::string summary;
  for (const StageJob& j : jobs) {
    summary += (summary.empty() ? "" : ", ") + j.stage + " job " + std::to_string(j.job) + " (" +
               std::to_string(j.shares.size()) + (j.shares.size() == 1 ? " task)" : " tasks)");
  }
  note("submitted " + summary + "; logs in " + work.file("logs"));
  if (rerun) {
    note(std::to_string(shares.size() - todo.size()) + " of " + std::to_string(shares.size()) +
         " shares were done already");
  }
  if (!cmd.wait) return 0;
  return finish(work, jobs, cmd);
}

}  // namespace

int kxslurmMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  SlurmCommand cmd;
  try {
    cmd = parseSlurmCommandLine(argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "kxslurm: %s\n%s", e.what(), kSlurmUsage);
    return 255;
  }
  if (cmd.help || cmd.version) {
    std::fputs(cmd.help ? kSlurmUsage : slurmVersion().c_str(), stdout);
    return 0;
  }
  try {
    const std::string kxreduce = findKxreduce();
    checkWithKxreduce(kxreduce, cmd.reduce);
    return run(cmd, kxreduce);
  } catch (const Error& e) {
    std::fprintf(stderr, "kxslurm: %s\n", e.what());
    return 255;
  }
}

}  // namespace kx
