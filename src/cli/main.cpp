// kxreduce's entry point: --help and --version, the command line (run/),
// the settings kxreduce refuses before it reads anything, the preview module
// for -d, the run, and how it ends: every message and status in its design's
// words.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_pvt.h"
#include "common/outfile.h"
#include "common/threads.h"
#include "common/version.h"

namespace kx {

namespace {

int run(const CommandLine& cl, const std::string& program) {
  if (std::string threads = kx_threadSettingError(); !threads.empty()) {
    threads.pop_back();  // its line end: an Error has none
    return endWith(Error(ErrorCode::badArgument, threads), program);
  }
  // The preview module is loaded before any work: a run that cannot show
  // its frames says so at once.
  std::unique_ptr<Preview> preview;
  if (cl.opt.display) {
    Result<std::unique_ptr<Preview>> loaded = Preview::load();
    if (!loaded) return endWith(loaded.error(), program);
    preview = std::move(*loaded);
  }
  const Done done = operation(cl, preview.get());
  return done ? 0 : endWith(done.error(), program);
}

}  // namespace

Failure::Failure(Error e) : error(std::move(e)) {
  if (error.code == ErrorCode::usage) words = Words::usage;
  if (error.code == ErrorCode::tooManyColors) {
    words = Words::asItStands;
    status = 1;
  }
}

Failure Failure::asItStands(Error e) {
  Failure f(std::move(e));
  f.words = Words::asItStands;
  return f;
}

int endWith(const Failure& failure, const std::string& program) {
  const std::string& message = failure.error.message;
  switch (failure.words) {
    case Failure::Words::error:
      kx_print(Stream::Err, "Error: " + message + "\n");
      break;
    case Failure::Words::asItStands:
      kx_print(Stream::Err, message + "\n");
      break;
    case Failure::Words::usage:
      kx_print(Stream::Err, message + usageText(program));
      break;
  }
  return failure.status & 0xFF;
}

int kxreduceMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  const std::string program = argc > 0 ? argv[0] : "kxreduce";
  // The two long options: anywhere on the line, and before anything else.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      kx_print(Stream::Out, usageText(program));
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      kx_print(Stream::Out, std::string("kxreduce ") + toolVersion() + "\n");
      return 0;
    }
  }
  int status = 0;
  try {
    const ParsedCommandLine parsed =
        parseCommandLine(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    kx_print(Stream::Err, parsed.notes);
    status = parsed.error ? endWith(*parsed.error, program) : run(parsed.line, program);
  } catch (const std::bad_alloc&) {
    kx_print(Stream::Err, "Error: out of memory\n");
    status = 255;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return status;
}

}  // namespace kx
