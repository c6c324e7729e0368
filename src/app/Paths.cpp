#include "app/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace ph {
namespace {

std::string ExecutablePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

std::string XdgDir(const char* variable, const char* fallbackBelowHome) {
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/" + fallbackBelowHome;
}

}  // namespace

std::string ExecutableDirectory() {
    return std::filesystem::path(ExecutablePath()).parent_path().string();
}

bool IsPortable() {
    const std::filesystem::path exe = ExecutablePath();
    if (exe.empty()) return false;
    std::error_code ec;
    return std::filesystem::is_regular_file(exe.parent_path() / (exe.stem().string() + ".ini"), ec);
}

std::string DefaultStorePath() {
    if (IsPortable()) return ExecutableDirectory() + "/" + kStoreFileName;
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/postharbour/" + kStoreFileName;
}

bool MakeDirectories(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return !ec && std::filesystem::is_directory(dir, ec);
}

}  // namespace ph
