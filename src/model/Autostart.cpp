#include "model/Autostart.h"

#include <cstdlib>
#include <filesystem>

#include "model/AtomicFile.h"

namespace ph {
namespace {

// The Exec value in two layers: inside double quotes '"', '`', '$' and '\' are escaped with a
// backslash, and then the key file's own string escaping doubles every backslash again. A
// '%' would start a field code and is written "%%".
std::string QuotedExecArgument(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        switch (c) {
            case '"': out += "\\\\\""; break;
            case '`': out += "\\\\`"; break;
            case '$': out += "\\\\$"; break;
            case '\\': out += "\\\\\\\\"; break;
            case '%': out += "%%"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string AutostartEntryPath() {
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.config";
    }
    return base + "/autostart/postharbour.desktop";
}

std::string AutostartEntryText(const std::string& executablePath) {
    if (executablePath.empty() || executablePath.front() != '/') return {};
    for (unsigned char c : executablePath)
        if (c < 0x20 || c == 0x7F) return {};
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Postharbour\n"
           "Exec=" +
           QuotedExecArgument(executablePath) +
           "\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool UpdateAutostart(bool enabled, const std::string& executablePath) {
    const std::string path = AutostartEntryPath();
    std::error_code ec;
    if (!enabled) {
        std::filesystem::remove(path, ec);
        return !ec;
    }
    const std::string text = AutostartEntryText(executablePath);
    if (text.empty()) return false;
    if (ReadWholeFile(path) == text) return true;
    return WriteFileAtomically(path, text);
}

}  // namespace ph
