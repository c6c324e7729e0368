#pragma once
// phctl message parse|import: message files read the way retrieved messages are.
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// Adds parse and import to the `message` subcommand.
void AddMessageCommands(CLI::App& message, CommandContext& context);

}  // namespace ph::cli
