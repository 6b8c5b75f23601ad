// The version of the tools, set once, in CMakeLists.txt (project VERSION):
// what every tool's --version and the manual pages say.
//
// Stands on: nothing.
#pragma once

namespace kx {

const char* toolVersion();

}  // namespace kx
