// The way in, as a new user meets it: every ```sh block of the README and of
// docs/ run as written, in order, in a fresh copy of the repository; the installation
// into a prefix, with the man pages rendered without a warning; and the end
// of the demo (scripts/demo-png) on the demo's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// The bodies of the ```sh fences, in order, but for those that set up, build,
// test or benchmark: they take minutes and run what scripts/test runs itself
// (the installation has a test of its own).
std::vector<std::string> shellBlocks(const std::string& markdown) {
  std::vector<std::string> blocks;
  std::istringstream in(markdown);
  std::string block;
  bool inside = false, slow = false;
  for (std::string line; std::getline(in, line);) {
    if (inside && line == "```" && !slow) blocks.push_back(block);
    if (inside) slow = slow || line.starts_with("scripts/") || line.starts_with("bench/");
    if (inside) block += line + "\n";
    if (line == "```sh" || line == "```") inside = line == "```sh", block.clear(), slow = false;
  }
  return blocks;
}

TEST(Readme, EveryCommandBlockOfTheReadmeAndDocsRunsAsWrittenInAFreshCopy) {
  TempDir dir;
  const std::string root = dir.path("clone");
  // The tracked files, copied as a fresh clone has them, with build/ this build.
  const RunResult copy = runProgram(
      "/bin/sh", {"-c",
                  "cd \"$0\" && git rev-parse -q --git-dir >/dev/null || exit 3; mkdir \"$1\"; "
                  "git ls-files -z | xargs -0 cp --parents -t \"$1\" 2>/dev/null; ln -s \"$2\" "
                  "\"$1/build\"",
                  KX_SOURCE_DIR, root, buildDir()});
  if (copy.status == 3) GTEST_SKIP() << "the sources are not a git checkout";
  fs::create_directory(dir.path("home"));
  RunOptions options{.cwd = root, .env = {"HOME=" + dir.path("home")}, .timeoutSeconds = 300};
  // Where the build compiles through ccache, so does the pip block: a copy's
  // paths are taken relative to it, and the cache is the build's.
  const char *cache = std::getenv("CCACHE_DIR"), *home = std::getenv("HOME");
  if (std::string(KX_COMPILER_LAUNCHER).ends_with("ccache") && (cache || home)) {
    options.env.insert(
        options.env.end(),
        {std::string("CC=") + KX_COMPILER_LAUNCHER + " cc", "CCACHE_BASEDIR=" + root,
         "CCACHE_NOHASHDIR=1",
         "CCACHE_DIR=" + (cache ? std::string(cache) : home + std::string("/.cache/ccache"))});
  }
  int ran = 0;
  // The README first: the pages of docs/ start where it ends.
  std::vector<std::string> blocks = shellBlocks(readFileText(root + "/README.md"));
  std::vector<fs::path> pages(fs::directory_iterator(root + "/docs"), {});
  std::ranges::sort(pages);
  for (const fs::path& page : pages)
    for (std::string& block : shellBlocks(readFileText(page.string()))) blocks.push_back(block);
  for (const std::string& block : blocks) {
#ifdef KX_SANITIZED
    // Python cannot load an extension built with a sanitizer's runtime; the
    // plain build runs this block.
    if (block.find("/bin/pip\" install") != std::string::npos) continue;
#endif
    const RunResult r = runProgram("/bin/bash", {"-euo", "pipefail", "-c", block}, options);
    ASSERT_EQ(r.status, 0) << "block:\n" << block << "stderr:\n" << r.err;
    ++ran;
  }
  EXPECT_GE(ran, 5);
  // What the blocks say they make.
  for (const char* made : {"photo-kx.png", "both.gif", "astronaut.icn", "astronaut.clm",
                           "clip.9.pic", "out.9.icn", "a64.icn", "a5.icn", "out.png"})
    EXPECT_TRUE(fs::exists(root + "/" + made)) << made;
  EXPECT_EQ(readFileText(root + "/photo-kx.png").substr(1, 3), "PNG");
}

TEST(Install, TheToolsAndTheirManPages) {
  TempDir prefix;
  RunResult r = runProgram("/usr/bin/cmake", {"--install", buildDir(), "--prefix", prefix.path()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string tool : {"kxquant", "kxreduce", "kxconv", "kxslurm"}) {
    const std::string bin = prefix.path("bin/" + tool);
    r = runProgram(bin, {"--version"});
    EXPECT_TRUE(r.status == 0 && r.out.starts_with(tool + " ")) << r.out;
    r = runProgram(bin, {"--help"});
    EXPECT_TRUE(r.status == 0 && r.out.find("sage") != std::string::npos) << r.out;  // Usage
    r = runProgram("/usr/bin/man",
                   {"--warnings", "-l", prefix.path("share/man/man1/" + tool + ".1")},
                   RunOptions{.env = {"MANWIDTH=80", "MANPAGER=cat", "PAGER=cat"}});
    EXPECT_EQ(r.err, "") << tool;  // groff's warnings, or man's word on a page missing
    EXPECT_TRUE(r.status == 0 && r.out.find("NAME") != std::string::npos &&
                r.out.find("EXIT STATUS") != std::string::npos)
        << tool;
  }
}

TEST(Demo, EndsWithThePngsToLookAt) {
  TempDir dir;
  fs::create_directory(dir.path("demo-out"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"kxsample", "demo-out/sample", "64", "48"},
        {"kxreduce", "-n", "16", "demo-out/sample", "demo-out/sample16"},
        {"kxreduce", "-n", "256", "-a", "demo-out/sample", "demo-out/sample256"}}) {
    const RunResult r = runProgram(args[0], {args.begin() + 1, args.end()}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const RunResult r =
      runProgram(std::string(KX_SOURCE_DIR) + "/scripts/demo-png", {"demo-out"},
                 RunOptions{.cwd = dir.path(), .env = {"KX_BUILD_DIR=" + buildDir()}});
  ASSERT_EQ(r.status, 0) << r.err;
  int listed = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    // "  demo-out/<name>.png   what it shows"; the quality views come from a benchmark.
    if (!line.starts_with("  demo-out/") || line.find("(not made yet") != std::string::npos)
      continue;
    const std::string png = line.substr(2, line.find(' ', 2) - 2);
    ASSERT_TRUE(png.ends_with(".png")) << line;
    ++listed;
    EXPECT_EQ(readFileText(dir.path(png)).substr(1, 3), "PNG") << png;
  }
  EXPECT_EQ(listed, 10) << r.out;
  EXPECT_NE(r.out.find("photo-kx.png"), std::string::npos);
  // The dithering views, and nothing of their making left behind.
  EXPECT_NE(r.out.find("dither-gradient.png"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir.path("demo-out")))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".dither")) << entry.path();
}

}  // namespace
}  // namespace kx
