// Shared by the fault-injection suites: run a real tool in a folder made for
// the case, and check what a refused run must leave behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace kx::safety {

// Sanitizer builds reserve terabytes of address space and double the
// resident memory: memory bounds and address-space limits are checked only
// in plain builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryChecked = false;
#else
constexpr bool kMemoryChecked = true;
#endif

// Runs build/<tool> in `dir` with the arguments and the environment entries
// ("NAME=value"); with an address-space limit (MB) through prlimit when
// asLimitMb > 0.
inline RunResult runTool(const std::string& dir, const std::string& tool,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, long asLimitMb = 0) {
  RunOptions options;
  options.cwd = dir;
  options.env = env;
  options.timeoutSeconds = 60;
  if (asLimitMb <= 0) return runProgram(tool, args, options);
  std::vector<std::string> limited = {"--as=" + std::to_string(asLimitMb << 20),
                                      buildDir() + "/" + tool};
  limited.insert(limited.end(), args.begin(), args.end());
  return runProgram("/usr/bin/prlimit", limited, options);
}

// Every entry of a folder by name: the size and a 64-bit FNV-1a hash of
// regular files (read in blocks), "-> target" for links, "<dir>" and
// "<other>" otherwise. Unlike the bytes themselves it keeps the test process
// small: a child forked from it starts with the parent's resident memory,
// which its peak would otherwise include.
using FolderDigest = std::map<std::string, std::string>;
inline FolderDigest digestFolder(const std::string& dir) {
  namespace fs = std::filesystem;
  FolderDigest digest;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink()) {
      digest[name] = "-> " + fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      uint64_t hash = 14695981039346656037ull, size = 0;
      char block[65536];
      while (in.read(block, sizeof block) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
          hash = (hash ^ static_cast<uint8_t>(block[i])) * 1099511628211ull;
        }
        size += static_cast<uint64_t>(in.gcount());
      }
      digest[name] = std::to_string(size) + " bytes, " + std::to_string(hash);
    } else {
      digest[name] = e.is_directory() ? "<dir>" : "<other>";
    }
  }
  return digest;
}

// A refused run: its status, a fragment of its standard error, a peak
// memory bound (MB, 0: none), and a folder left as it was: no file changed,
// none added, not even a partial one. The one thing a run may add is the
// empty ancillary file that every lookup of a plain file's Macintosh type
// leaves behind, as designed.
inline void expectRefused(const RunResult& r, int status, const std::string& message, long peakMb,
                          const FolderDigest& before, FolderDigest after) {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << "stderr: " << r.err;
  if (kMemoryChecked && peakMb > 0) {
    EXPECT_LE(r.maxRssKb, peakMb * 1024) << r.err;
  }
  const auto ancillary = after.find(".HSancillary");
  if (!before.count(".HSancillary") && ancillary != after.end() &&
      ancillary->second.starts_with("0 bytes")) {
    after.erase(ancillary);
  }
  EXPECT_EQ(before, after) << "the folder changed";
}

}  // namespace kx::safety
