#pragma once
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// "phctl message compose": writes a composed message to stdout. Added to the `message`
// subcommand, which other message commands share.
void AddMessageComposeCommand(CLI::App& message, CommandContext& context);

}  // namespace ph::cli
