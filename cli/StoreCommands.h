#pragma once
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// "phctl store create [FILE]", "phctl store dump [FILE] [--json]"; FILE defaults to --store.
// The command's exit status goes to `context`.
void AddStoreCommands(CLI::App& store, CommandContext& context);

}  // namespace ph::cli
