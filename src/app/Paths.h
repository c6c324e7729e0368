#pragma once
// Where the program keeps its files: beside the executable in portable mode (an INI file
// named after the executable stands there), else under the XDG base directories. The forms
// taking `exePath` decide for a given executable; the others for the running one.
#include <string>

namespace ph {

constexpr const char* kStoreFileName = "Postharbour.stg";

// The running executable's full path; empty when the system does not tell.
std::string ExecutablePath();
// The directory holding the executable, without a trailing separator.
std::string ExecutableDirectory();
std::string ExecutableDirectory(const std::string& exePath);
// Portable mode: "<exe dir>/<exe name>.ini" (or ".INI") exists.
bool IsPortable();
bool IsPortable(const std::string& exePath);
// The INI beside the executable in portable mode, else $XDG_CONFIG_HOME/postharbour/postharbour.ini.
std::string ProfilePath(const std::string& exePath);
// Beside the executable in portable mode, else $XDG_DATA_HOME/postharbour.
std::string StoreDirectory(const std::string& exePath);
// The store opened when the command line names none. An absolute `storeFileName` (from
// "DbFilename") is taken as it stands.
std::string DefaultStorePath(const std::string& exePath, const std::string& storeFileName);
std::string DefaultStorePath();
// Creates `dir` and its missing parents; false when that fails.
bool MakeDirectories(const std::string& dir);

}  // namespace ph
