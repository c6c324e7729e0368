#pragma once
// The suite's private dovecot (tools/dovecot-start): what tools/run-tests publishes about it,
// and its test accounts' maildirs, filled by tools/fill-maildir and read here directly. With
// the server's unique id format, a message's UIDL is its maildir file name up to any ":".
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ph::test {

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Fills `user`'s maildir afresh and returns the unique ids of the messages in server order.
inline std::vector<std::string> FillMaildir(const std::string& user, int count) {
    const std::string command = std::string(PH_FILL_MAILDIR) + " " + PH_BUILD_DIR + " " + user +
                                " " + std::to_string(count) + " --clear --list";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::vector<std::string> ids;
    if (!pipe) return ids;
    std::array<char, 512> line;
    while (fgets(line.data(), line.size(), pipe.get())) {
        std::string id(line.data());
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        ids.push_back(id);
    }
    return ids;
}

// Unique id -> file of every message in `user`'s maildir now, delivered or seen.
inline std::map<std::string, std::filesystem::path> MaildirFiles(const std::string& user) {
    std::map<std::string, std::filesystem::path> files;
    const std::filesystem::path root = std::filesystem::path(Env("POP3_MAILDIR_ROOT")) / user;
    for (const char* sub : {"new", "cur"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(root / sub, error)) {
            const std::string name = entry.path().filename().string();
            files[name.substr(0, name.find(':'))] = entry.path();
        }
    }
    return files;
}

}  // namespace ph::test
