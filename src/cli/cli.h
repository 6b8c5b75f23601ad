// kxreduce's command line and frame driver: the option scan with its checks,
// messages and usage text, and operation(), which walks the frames of a run
// through reading, reduction, writing and display.
//
// Stands on: everything below it (common, picture, output, reduce, pict,
// display). Nothing outside cli/ includes this header.
#pragma once

#include <string>

#include "common/settings.h"

namespace kx {

// Stores the defaults; returns 1.
int initialisation(RunSettings& opt);

[[noreturn]] void print_usage(const char* programName);
// The program name as invoked (for the usage text), once main has seen it.
const char* kx_programName();

// Walks the frames of the run. colormapName is empty when no colormap is
// imposed.
void operation(const std::string& inputName, const std::string& outputName,
               const std::string& colormapName, RunSettings opt);

// The whole program: parses argv, runs, returns the process status.
int kxreduceMain(int argc, char** argv);

}  // namespace kx
