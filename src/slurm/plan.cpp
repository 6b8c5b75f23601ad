// The shares of a sequence and the files their frames write (named by
// kxreduce's own rules, run/): which shares are done, and what a killed one
// left.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>

#include "slurm/slurm.h"

namespace kx {

namespace {

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<Share> splitFrames(int64_t frames, int64_t tasks) {
  std::vector<Share> shares;
  const int64_t n = std::min(frames, tasks);
  for (int64_t t = 0; t < n; ++t) {
    // t·frames stays far inside 64 bits: frames < 2^32, tasks <= frames.
    shares.push_back(Share{t, t * frames / n, (t + 1) * frames / n - 1});
  }
  return shares;
}

std::string frameRange(const ReduceCommand& c, const Share& s) {
  return std::to_string(c.frameNumber(s.first)) + "-" + std::to_string(c.frameNumber(s.last));
}

const std::unordered_set<std::string>& FolderListing::folder(const std::string& dir) {
  auto it = folders_.find(dir);
  if (it != folders_.end()) return it->second;
  std::unordered_set<std::string>& names = folders_[dir];
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

bool FolderListing::has(const std::string& path) {
  return folder(folderOf(path)).count(baseOf(path)) != 0;
}

void FolderListing::removeTemporaries(const ReduceCommand& c, const std::vector<Share>& shares,
                                      bool colormap) {
  // Every frame's files lie in the folders of the first frame's. The
  // temporary files there ("." + the final name + "." + six characters) are
  // found first, by the final name; only when there are any are the frames'
  // files named, one frame at a time: a long sequence is never listed whole.
  std::vector<std::string> sample;
  if (!shares.empty()) sample = frameFiles(c.line, shares.front().first, FrameFiles::written);
  if (colormap) sample.push_back(sharedColormapFile(c));
  std::unordered_map<std::string, std::vector<std::string>> left;  // final path: temporaries
  std::unordered_set<std::string> seen;
  for (const std::string& output : sample) {
    const std::string dir = folderOf(output);
    if (!seen.insert(dir).second) continue;
    for (const std::string& name : folder(dir)) {
      if (name.size() < 9 || name[0] != '.' || name[name.size() - 7] != '.') continue;
      left[dir + "/" + name.substr(1, name.size() - 8)].push_back(dir + "/" + name);
    }
  }
  auto remove = [&](const std::string& output) {
    auto it = left.find(folderOf(output) + "/" + baseOf(output));
    if (it == left.end()) return;
    for (const std::string& temp : it->second) unlink(temp.c_str());
    left.erase(it);
  };
  if (left.empty()) return;
  if (colormap) remove(sharedColormapFile(c));
  for (const Share& s : shares) {
    for (int64_t k = s.first; k <= s.last && !left.empty(); ++k) {
      for (const std::string& output : frameFiles(c.line, k, FrameFiles::written)) remove(output);
    }
  }
}

std::string sharedColormapFile(const ReduceCommand& c) {
  return sharedColormapName(c.line) + (c.opt().asciiColormap ? ".cla" : ".clm");
}

bool shareDone(const ReduceCommand& c, const Share& s, FolderListing& files, std::string* missing) {
  if (c.opt().repeat == 0) return false;
  for (int64_t k = s.first; k <= s.last; ++k) {
    for (const std::string& f : frameFiles(c.line, k, FrameFiles::written)) {
      if (!files.has(f)) {
        if (missing) *missing = f;
        return false;
      }
    }
  }
  return true;
}

}  // namespace kx
