#include "app/Paths.h"

#include <cstdlib>
#include <filesystem>

namespace ph {
namespace {

namespace fs = std::filesystem;

std::string XdgDir(const char* variable, const char* fallbackBelowHome) {
    // XDG counts a relative value as invalid, to be ignored.
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/" + fallbackBelowHome;
}

// The INI that makes an installation portable, or empty. ".INI" too: a profile carried over
// from another system keeps the name it was given there.
std::string PortableProfile(const std::string& exePath) {
    if (exePath.empty()) return {};
    const fs::path exe = exePath;
    std::error_code ec;
    for (const char* extension : {".ini", ".INI"}) {
        const fs::path ini = exe.parent_path() / (exe.stem().string() + extension);
        if (fs::is_regular_file(ini, ec)) return ini.string();
    }
    return {};
}

}  // namespace

std::string ExecutablePath() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

std::string ExecutableDirectory() { return ExecutableDirectory(ExecutablePath()); }

std::string ExecutableDirectory(const std::string& exePath) { return fs::path(exePath).parent_path().string(); }

bool IsPortable() { return IsPortable(ExecutablePath()); }

bool IsPortable(const std::string& exePath) { return !PortableProfile(exePath).empty(); }

std::string ProfilePath(const std::string& exePath) {
    if (std::string ini = PortableProfile(exePath); !ini.empty()) return ini;
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/postharbour/postharbour.ini";
}

std::string StoreDirectory(const std::string& exePath) {
    if (IsPortable(exePath)) return ExecutableDirectory(exePath);
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/postharbour";
}

std::string DefaultStorePath(const std::string& exePath, const std::string& storeFileName) {
    const std::string name = storeFileName.empty() ? std::string(kStoreFileName) : storeFileName;
    if (fs::path(name).is_absolute()) return name;
    return StoreDirectory(exePath) + "/" + name;
}

std::string DefaultStorePath() { return DefaultStorePath(ExecutablePath(), kStoreFileName); }

bool MakeDirectories(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return !ec && fs::is_directory(dir, ec);
}

}  // namespace ph
