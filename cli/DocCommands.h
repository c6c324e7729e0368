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
// list [--account A | --folder F | --all | --hidden | --search] [period] [switches] [--json]
void AddListCommand(CLI::App& list, CommandContext& context);
// Runs the search that phctl search kept last again, filling the document's search results;
// with none kept they stay empty. False with `why` when the kept search cannot be read.
bool RerunLastSearch(Session& session, std::string& why);
// export, import and compact, directly under `app`.
void AddTransferCommands(CLI::App& app, CommandContext& context);

}  // namespace ph::cli
