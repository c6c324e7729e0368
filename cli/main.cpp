// phctl: the command line of the mail program, over the same core as the desktop program.
#include <CLI/CLI.hpp>
#include <iostream>

#include "CheckCommands.h"
#include "DocCommands.h"
#include "MessageCommands.h"
#include "MessageCompose.h"
#include "MessageJobCommands.h"
#include "OutboxCommands.h"
#include "Pop3Commands.h"
#include "StoreCommands.h"

namespace {

// A wrong command line: what was wrong, then the usage of the command it got as far as.
int ShowUsage(const CLI::App& app, const CLI::ParseError& e) {
    std::cerr << "phctl: " << e.what() << "\n\n" << app.help();
    const int code = e.get_exit_code();
    return code != 0 ? code : 2;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"phctl - command line of the Postharbour mail program", "phctl"};
    app.require_subcommand(1);
    // The options below may also follow the command.
    app.fallthrough();
    ph::cli::CommandContext context;
    app.add_option("--store", context.global.store, "Store file (default: the program's own store)");
    app.add_flag("--yes,-y", context.global.yes, "Answer every question with Yes instead of asking");
    app.add_flag("--verbose,-v", context.global.verbose, "Show status texts");

    ph::cli::AddStoreCommands(*app.add_subcommand("store", "Create or inspect store files"), context);
    ph::cli::AddAccountCommands(*app.add_subcommand("accounts", "Mail accounts"), context);
    ph::cli::AddFolderCommands(*app.add_subcommand("folders", "Folders"), context);
    ph::cli::AddGroupCommands(*app.add_subcommand("groups", "Groups of address book entries"), context);
    ph::cli::AddAddressBookCommands(*app.add_subcommand("addressbook", "The address book"), context);
    ph::cli::AddPreferenceCommands(*app.add_subcommand("prefs", "Preferences kept in the store"), context);
    ph::cli::AddRuleCommands(*app.add_subcommand("rules", "Mail rules"), context);
    ph::cli::AddSearchCommands(*app.add_subcommand("search", "Search the messages on their servers"), context);
    ph::cli::AddListCommand(*app.add_subcommand("list", "List the messages of an account, a folder or a mailbox"), context);
    ph::cli::AddCheckCommands(app, context);
    ph::cli::AddMessageJobCommands(app, context);
    ph::cli::AddOutboxCommands(*app.add_subcommand("outbox", "Messages waiting to be sent")->require_subcommand(1), context);
    ph::cli::AddPop3Commands(*app.add_subcommand("pop3", "POP3 mailboxes, directly"), context);
    ph::cli::AddTransferCommands(app, context);
    CLI::App& message = *app.add_subcommand("message", "Single messages")->require_subcommand(1);
    ph::cli::AddMessageComposeCommand(message, context);
    ph::cli::AddMessageCommands(message, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return ShowUsage(app, e);
    }
    return context.exitCode;
}
