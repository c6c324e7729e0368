#pragma once
// Scratch directories and environment overrides for tests of files the program keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/Files.h"

namespace ph::test {

// An empty directory of the running test's own, removed with everything in it afterwards.
class ScratchDir {
public:
    // Kept short: a local socket's path inside it must fit in 108 bytes.
    ScratchDir() {
        static int counter = 0;
        m_path = std::filesystem::path(testing::TempDir()) /
                 ("ph-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& Path() const { return m_path; }

    // The names in the directory, for spotting leftovers.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_path)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path m_path;
};

// Sets (or with nullopt unsets) an environment variable for the guard's lifetime.
class EnvOverride {
public:
    EnvOverride(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~EnvOverride() {
        if (m_old) ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else ::unsetenv(m_name.c_str());
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace ph::test
