// kxreduce: the design's tool. Its command line and file names are run/'s
// (kxslurm shares them); here are the frame driver and everything the tool
// prints, in its design's words.
//
// Stands on: everything below it (common, picture, output, reduce, pict,
// display, run). Nothing outside cli/ includes this header.
#pragma once

namespace kx {

// The whole program: parses argv, runs, returns the process status.
int kxreduceMain(int argc, char** argv);

}  // namespace kx
