#pragma once
// Files a test lays out and reads back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ph::test {

// An empty directory named after `prefix`, this process and the running test, so that tests
// run side by side never share one.
inline std::filesystem::path TestDir(const std::string& prefix) {
    const std::filesystem::path dir =
        std::filesystem::path(testing::TempDir()) /
        (prefix + "-" + std::to_string(::getpid()) + "-" +
         testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `text` as the whole file, making the folders above it first.
inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace ph::test
