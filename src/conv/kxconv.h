// kxconv: converts between today's image files and the system's own files,
// through the readers and writers of imageio/.
//
// A front end: nothing includes it but conv/ itself.
#pragma once

namespace kx {

// The whole program: returns the process status (0, or 255 after a refusal).
int kxconvMain(int argc, char** argv);

}  // namespace kx
