#pragma once
// Where the program keeps its files: beside the executable in portable mode (an INI file
// named after the executable stands there), else under the XDG base directories.
#include <string>

namespace ph {

constexpr const char* kStoreFileName = "Postharbour.stg";

// The directory holding the running executable.
std::string ExecutableDirectory();
// Portable mode: "<exe dir>/<exe name>.ini" exists.
bool IsPortable();
// The store the program opens when no path is given.
std::string DefaultStorePath();
// Creates `dir` and its missing parents; false when that fails.
bool MakeDirectories(const std::string& dir);

}  // namespace ph
