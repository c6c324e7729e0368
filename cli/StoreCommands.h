#pragma once
#include <CLI/CLI.hpp>

namespace ph::cli {

// "phctl store create FILE", "phctl store dump [FILE] [--json]". `exitCode` receives the
// command's exit status.
void AddStoreCommands(CLI::App& store, int& exitCode);

}  // namespace ph::cli
