#pragma once
// The commands over the document. Each family adds its actions to the subcommand it is given;
// the action that runs leaves its exit status in `context`.
#include <CLI/CLI.hpp>

#include "Session.h"

namespace ph::cli {

// accounts list|add|set|remove
void AddAccountCommands(CLI::App& accounts, CommandContext& context);
// folders list|add|remove
void AddFolderCommands(CLI::App& folders, CommandContext& context);
// groups list|add|remove, groups member add|remove
void AddGroupCommands(CLI::App& groups, CommandContext& context);
// addressbook list|add|set|remove
void AddAddressBookCommands(CLI::App& addressBook, CommandContext& context);
// prefs get|set
void AddPreferenceCommands(CLI::App& prefs, CommandContext& context);
// rules list|show|add|remove|apply|conversation
void AddRuleCommands(CLI::App& rules, CommandContext& context);
// search [criteria], search save FOLDER [--rule NAME] [criteria]
void AddSearchCommands(CLI::App& search, CommandContext& context);
// export, import and compact, directly under `app`.
void AddTransferCommands(CLI::App& app, CommandContext& context);

}  // namespace ph::cli
