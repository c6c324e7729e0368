#pragma once
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// check [--all | ACCOUNT ...], watch
void AddCheckCommands(CLI::App& app, CommandContext& context);

}  // namespace ph::cli
