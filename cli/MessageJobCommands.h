#pragma once
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// show ID, delete ID..., download ID: the frame's viewer, delete and download commands on
// stored messages, directly under `app`.
void AddMessageJobCommands(CLI::App& app, CommandContext& context);

}  // namespace ph::cli
