#pragma once
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// "phctl outbox add".
void AddOutboxCommands(CLI::App& outbox, CommandContext& context);

}  // namespace ph::cli
