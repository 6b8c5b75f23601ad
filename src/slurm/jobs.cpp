// The jobs: the programs kxslurm runs (kxreduce for its check, sbatch,
// squeue, scancel), the job scripts, the record of a submission, and the
// wait for its tasks.
//
// Every task writes its kxreduce status to status/<job>_<task> in the work
// folder as its last act; --wait reads those (one folder listing a poll)
// and asks squeue, less and less often, whether any job is still queued
// or running, so that a task that was killed, timed out or never ran (its
// dependency failed) ends the wait too. squeue then tells what became of
// it, as long as the controller still remembers the job (MinJobAge).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "common/outfile.h"
#include "slurm/slurm.h"

namespace kx {

namespace fs = std::filesystem;

namespace {

std::string shellQuoted(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

// "0-2,5,7-9": the array of the tasks to run.
std::string arraySpec(const std::vector<Share>& shares) {
  std::string spec;
  for (size_t i = 0; i < shares.size();) {
    size_t j = i;
    while (j + 1 < shares.size() && shares[j + 1].index == shares[j].index + 1) ++j;
    if (!spec.empty()) spec += ",";
    spec += std::to_string(shares[i].index);
    if (j > i) spec += "-" + std::to_string(shares[j].index);
    i = j + 1;
  }
  return spec;
}

std::string lastLine(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  }
  return last;
}

std::string taskKey(int64_t job, int64_t index) {
  return std::to_string(job) + "_" + std::to_string(index);
}

// The log of every task: WorkFolder::log names the same file. Slurm
// reads "%" in the name as a pattern, "%%" as the character.
std::string logPattern(const WorkFolder& work, const StageJob& job) {
  std::string folder;
  for (char ch : work.file("logs/")) folder += ch == '%' ? std::string("%%") : std::string(1, ch);
  return folder + job.stage + "-%A_%a.log";
}

}  // namespace

void writeWorkFile(const std::string& path, const std::string& text) {
  std::unique_ptr<OutFile> f = OutFile::create(path);
  if (f) f->text(text);
  if (!f || !f->commit())
    throw Error(ErrorCode::failed, "cannot write " + path + ": " + std::strerror(errno));
}

std::string joinIds(const std::vector<int64_t>& ids, const char* separator) {
  std::string s;
  for (int64_t id : ids) s += (s.empty() ? "" : separator) + std::to_string(id);
  return s;
}

ProgramResult runCaptured(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    throw Error(ErrorCode::failed, std::string("pipe: ") + std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw Error(ErrorCode::failed, std::string("pipe: ") + std::strerror(errno));
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  ProgramResult r;
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    throw Error(ErrorCode::failed, "cannot run " + argv[0] + ": " + std::strerror(errno));
  }
  // Both pipes are drained together: a child that fills one while we wait
  // on the other would never finish.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&r.out, &r.err};
  int openPipes = 2;
  char buffer[65536];
  while (openPipes > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[k]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --openPipes;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string findKxreduce() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path() / "kxreduce";
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const fs::path candidate = fs::absolute(fs::path(dir.empty() ? "." : dir) / "kxreduce", ec);
    if (!ec && access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  throw Error(ErrorCode::failed,
              "cannot find kxreduce beside kxslurm" +
                  (self.empty() ? std::string() : " (in " + self.parent_path().string() + ")") +
                  " or on PATH");
}

void checkWithKxreduce(const std::string& kxreduce, const ReduceCommand& c) {
  // A share that ends before the sequence starts holds no frame: kxreduce
  // checks every argument and reads nothing.
  const std::string before = std::to_string(int64_t{c.opt().start} - 1);
  std::vector<std::string> argv = {kxreduce};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  argv.insert(argv.end(), {"--frames", before + "-" + before});
  std::string scratch;
  if (c.onePalette()) {
    scratch = (fs::temp_directory_path() / "kxslurm-XXXXXX").string();
    if (!mkdtemp(scratch.data())) {
      throw Error(ErrorCode::failed,
                  "cannot make a scratch folder: " + std::string(std::strerror(errno)));
    }
    argv.insert(argv.end(), {"--palettes-to", scratch + "/check.kxp"});
  }
  const ProgramResult r = runCaptured(argv);
  if (!scratch.empty()) {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }
  std::fputs(r.err.c_str(), stderr);
  if (r.status != 0) throw Error(ErrorCode::failed, "kxreduce refuses these arguments (see above)");
}

std::string WorkFolder::log(const StageJob& j, const Share& s) const {
  return path + "/logs/" + j.stage + "-" + taskKey(j.job, s.index) + ".log";
}

std::string WorkFolder::status(const StageJob& j, const Share& s) const {
  return path + "/status/" + taskKey(j.job, s.index);
}

int64_t submitStage(const WorkFolder& work, const std::string& kxreduce, const SlurmCommand& cmd,
                    StageJob& job, int64_t after) {
  const ReduceCommand& c = cmd.reduce;
  std::string call = shellQuoted(kxreduce);
  for (const std::string& a : c.args) call += " " + shellQuoted(a);
  std::string comment = call;
  std::replace(comment.begin(), comment.end(), '\n', ' ');
  std::ostringstream s;
  s << "#!/bin/sh\n# Written by kxslurm: the " << job.stage << " tasks of\n#   " << comment << "\n";
  if (job.stage == "gather") {
    // The names come first: --gather takes every argument after it.
    call += " --palettes-to " + shellQuoted(work.file("shared.kxp")) + " --gather";
    for (const Share& share : splitFrames(c.frameCount(), cmd.tasks)) {
      call += " " + shellQuoted(work.file("palettes/" + frameRange(c, share) + ".kxp"));
    }
  } else {
    s << "case \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
    for (const Share& share : job.shares) {
      s << "  " << share.index << ") frames=" << frameRange(c, share) << " ;;\n";
    }
    s << "  *) echo \"kxslurm: this array has no task ${SLURM_ARRAY_TASK_ID:-}\" >&2; exit 255 "
         ";;\nesac\n";
    call += " --frames \"$frames\"";
    if (job.stage == "palette") {
      call += " --palettes-to " + shellQuoted(work.file("palettes/")) + "\"$frames\".kxp";
    } else if (job.stage == "remap") {
      call += " --palette " + shellQuoted(work.file("shared.kxp"));
    }
  }
  const std::string status = shellQuoted(work.file("status/"));
  s << "# kxreduce runs a thread for each CPU the task was given, unless KX_THREADS says.\n"
       "if [ -z \"${KX_THREADS:-}\" ] && [ -n \"${SLURM_CPUS_ON_NODE:-}\" ]; then\n"
       "  KX_THREADS=$SLURM_CPUS_ON_NODE\n  export KX_THREADS\nfi\n"
    << call
    << "\nstatus=$?\n"
       "# For kxslurm --wait, renamed into place whole.\n"
       "task=${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}\n"
       "echo \"$status\" > "
    << status << "\".$task\" && mv -f " << status << "\".$task\" " << status
    << "\"$task\"\nexit \"$status\"\n";
  const std::string script = work.file("scripts/" + job.stage + ".sh");
  writeWorkFile(script, s.str());

  std::vector<std::string> argv = {"sbatch",
                                   "--parsable",
                                   "--array=" + arraySpec(job.shares),
                                   "--job-name=kxslurm-" + job.stage,
                                   "--output=" + logPattern(work, job),
                                   "--chdir=" + fs::current_path().string()};
  if (after != 0) {
    // A dependency that fails cancels the job instead of leaving it
    // pending for ever.
    argv.push_back("--dependency=afterok:" + std::to_string(after));
    argv.push_back("--kill-on-invalid-dep=yes");
  }
  argv.insert(argv.end(), cmd.sbatch.begin(), cmd.sbatch.end());
  argv.push_back(script);
  const ProgramResult r = runCaptured(argv);
  char* rest = nullptr;
  const long long id = std::strtoll(r.out.c_str(), &rest, 10);
  if (r.status != 0 || rest == r.out.c_str() || id <= 0) {
    throw Error(ErrorCode::failed, "sbatch did not take the " + job.stage + " array (status " +
                                       std::to_string(r.status) + "): " + r.err + r.out);
  }
  job.job = id;
  return id;
}

std::vector<int64_t> activeJobs(const std::vector<int64_t>& jobs) {
  if (jobs.empty()) return {};
  // squeue lists the jobs still queued or running by default.
  const ProgramResult r =
      runCaptured({"squeue", "--noheader", "--format=%F", "--jobs=" + joinIds(jobs, ",")});
  if (r.status != 0) {
    // Jobs the controller has forgotten are over.
    if (r.err.find("Invalid job id") != std::string::npos) return {};
    throw Error(ErrorCode::failed,
                "squeue failed (status " + std::to_string(r.status) + "): " + r.err);
  }
  std::vector<int64_t> active;
  std::istringstream lines(r.out);
  long long id;
  while (lines >> id) {
    if (std::find(active.begin(), active.end(), id) == active.end()) active.push_back(id);
  }
  return active;
}

void cancelJobs(const std::vector<int64_t>& jobs) {
  if (jobs.empty()) return;
  std::vector<std::string> argv = {"scancel"};
  for (int64_t id : jobs) argv.push_back(std::to_string(id));
  runCaptured(argv);
}

void saveSubmission(const WorkFolder& work, const std::vector<StageJob>& jobs) {
  std::ostringstream s;
  s << "# stage job task first-ordinal last-ordinal\n";
  for (const StageJob& j : jobs) {
    for (const Share& share : j.shares) {
      s << j.stage << " " << j.job << " " << share.index << " " << share.first << " " << share.last
        << "\n";
    }
  }
  writeWorkFile(work.file("submission"), s.str());
}

std::vector<StageJob> loadSubmission(const WorkFolder& work) {
  std::vector<StageJob> jobs;
  std::ifstream in(work.file("submission"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    StageJob j;
    Share s;
    if (!(fields >> j.stage >> j.job >> s.index >> s.first >> s.last)) {
      throw Error(ErrorCode::failed,
                  work.file("submission") + " is damaged: remove the work folder");
    }
    if (jobs.empty() || jobs.back().job != j.job) jobs.push_back(j);
    jobs.back().shares.push_back(s);
  }
  return jobs;
}

namespace {

// The statuses the tasks have written, by "<job>_<task>", read one folder
// listing at a time.
class TaskStatuses {
 public:
  TaskStatuses(const WorkFolder& work, const std::vector<StageJob>& jobs)
      : work_(work), jobs_(jobs) {}

  void read() {
    if (DIR* d = opendir(work_.file("status").c_str())) {
      while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || statuses_.count(e->d_name)) continue;
        std::ifstream f(work_.file("status/") + e->d_name);
        int s = 0;
        if (f >> s) statuses_[e->d_name] = s;
      }
      closedir(d);
    }
  }
  // Whether every task of the jobs has written its status.
  bool all() const {
    for (const StageJob& j : jobs_) {
      for (const Share& s : j.shares) {
        if (!statuses_.count(taskKey(j.job, s.index))) return false;
      }
    }
    return true;
  }
  const int* of(const std::string& key) const {
    auto it = statuses_.find(key);
    return it == statuses_.end() ? nullptr : &it->second;
  }

 private:
  const WorkFolder& work_;
  const std::vector<StageJob>& jobs_;
  std::map<std::string, int> statuses_;
};

// Reads the statuses every 0.1 s until every task has one, or until Slurm
// has no job of them queued or running any more. The controller is asked
// at growing intervals, so that a long run costs it little.
void waitForTasks(TaskStatuses& statuses, const std::vector<int64_t>& ids) {
  using Clock = std::chrono::steady_clock;
  auto interval = std::chrono::milliseconds(500);
  auto nextQuery = Clock::now() + interval;
  Clock::time_point unanswered{};
  for (;;) {
    statuses.read();
    if (statuses.all()) return;
    if (Clock::now() >= nextQuery) {
      std::vector<int64_t> active;
      try {
        active = activeJobs(ids);
        unanswered = Clock::time_point{};
      } catch (const Error&) {
        // The controller may be restarting or failing over: the tasks run
        // on meanwhile. Five minutes without an answer is an error.
        const auto now = Clock::now();
        if (unanswered == Clock::time_point{}) unanswered = now;
        if (now - unanswered > std::chrono::minutes(5)) throw;
        active = ids;
      }
      if (active.empty()) {
        // A shared file system may show the last statuses a moment late.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        statuses.read();
        return;
      }
      interval = std::min<std::chrono::milliseconds>(interval * 3 / 2, std::chrono::seconds(5));
      nextQuery = Clock::now() + interval;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// What became of tasks, as far as Slurm remembers: "<state> (<reason>)" by
// "<job>_<task>".
std::map<std::string, std::string> taskStates(const std::vector<int64_t>& ids) {
  std::map<std::string, std::string> states;
  const ProgramResult r = runCaptured({"squeue", "--noheader", "--states=all", "--array",
                                       "--format=%F_%K|%T|%r", "--jobs=" + joinIds(ids, ",")});
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t a = line.find('|'), b = line.rfind('|');
    if (a == b) continue;
    states[line.substr(0, a)] = line.substr(a + 1, b - a - 1) + " (" + line.substr(b + 1) + ")";
  }
  return states;
}

// Names every task of the job that failed, with its log and the log's last
// line, and a job that never ran; returns the highest status among them.
int reportJob(const WorkFolder& work, const StageJob& j, const ReduceCommand& c,
              const TaskStatuses& statuses, const std::map<std::string, std::string>& states) {
  int worst = 0;
  bool cancelled = false;
  for (const Share& s : j.shares) {
    const std::string key = taskKey(j.job, s.index);
    const std::string what = j.stage + " task " + std::to_string(s.index) + " (job " + key +
                             (j.stage == "gather" ? "" : ", frames " + frameRange(c, s)) + ")";
    const int* status = statuses.of(key);
    if (status && *status == 0) continue;
    auto state = states.find(key);
    if (!status && state != states.end() &&
        state->second.find("DependencyNeverSatisfied") != std::string::npos) {
      cancelled = true;
      continue;
    }
    std::string message;
    if (status) {
      message = what + " failed with status " + std::to_string(*status);
      worst = std::max(worst, *status);
    } else {
      message = what + " ended without a status: " +
                (state != states.end() ? state->second : "no longer known to Slurm");
      worst = 255;
    }
    const std::string log = work.log(j, s);
    std::fprintf(stderr, "kxslurm: %s; log: %s\n", message.c_str(), log.c_str());
    const std::string last = lastLine(log);
    if (!last.empty()) std::fprintf(stderr, "kxslurm:   %s\n", last.c_str());
  }
  if (cancelled) {
    std::fprintf(stderr, "kxslurm: the %s job %lld did not run: a job it waited for failed\n",
                 j.stage.c_str(), static_cast<long long>(j.job));
    worst = std::max(worst, 1);
  }
  return worst;
}

}  // namespace

int waitAndReport(const WorkFolder& work, const std::vector<StageJob>& jobs,
                  const ReduceCommand& c) {
  std::vector<int64_t> ids;
  for (const StageJob& j : jobs) ids.push_back(j.job);
  TaskStatuses statuses(work, jobs);
  waitForTasks(statuses, ids);
  const std::map<std::string, std::string> states =
      statuses.all() ? std::map<std::string, std::string>{} : taskStates(ids);
  int worst = 0;
  for (const StageJob& j : jobs) worst = std::max(worst, reportJob(work, j, c, statuses, states));
  return worst;
}

}  // namespace kx
