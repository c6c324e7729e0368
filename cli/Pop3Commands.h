#pragma once
// phctl pop3 probe: a POP3 mailbox looked at directly, without the store.
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

void AddPop3Commands(CLI::App& pop3, CommandContext& context);

}  // namespace ph::cli
