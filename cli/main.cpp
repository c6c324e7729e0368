// phctl: the command line of the mail program, over the same core as the desktop program.
#include <CLI/CLI.hpp>

#include "StoreCommands.h"

int main(int argc, char** argv) {
    CLI::App app{"phctl - command line of the Postharbour mail program"};
    app.require_subcommand(1);
    int exitCode = 0;

    CLI::App* store = app.add_subcommand("store", "Create or inspect store files");
    ph::cli::AddStoreCommands(*store, exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return exitCode;
}
