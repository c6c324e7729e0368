// phctl export, import and compact: whole-store operations of the document.
#include <array>
#include <iostream>

#include "DocCommands.h"
#include "Display.h"
#include "model/ProfileSettings.h"

namespace ph::cli {
namespace {

struct ImportArgs {
    std::string file;
    ImportOptions choices{};
    bool dontAsk = false;
    bool anyChoice = false;
};

// The import dialog's nine choices as options, in the dialog's order.
struct ImportFlag {
    const char* option;
    bool ImportOptions::*member;
    const char* help;
};
constexpr std::array<ImportFlag, 9> kImportFlags = {{
    {"--accounts", &ImportOptions::newAccounts, "Import accounts not present"},
    {"--email", &ImportOptions::newEmail, "Import messages not present"},
    {"--folders", &ImportOptions::newFolders, "Import folders not present"},
    {"--folder-contents", &ImportOptions::folderContents, "Import folder memberships"},
    {"--addressbook", &ImportOptions::newAddressBookEntries, "Import address book entries not present"},
    {"--groups", &ImportOptions::newGroups, "Import groups not present"},
    {"--group-entries", &ImportOptions::newGroupEntries, "Import group memberships"},
    {"--rules", &ImportOptions::newRules, "Import rules not present"},
    {"--rule-changes", &ImportOptions::ruleChanges, "Import changes to rules present in both"},
}};

int Export(Session& session, const std::string& file) {
    const std::string path = AbsolutePath(file);
    // The document says why in a message box when it refuses.
    if (!session.Doc().Export(path)) return Fail("export to " + file + " failed");
    std::cout << "exported to " << file << "\n";
    return 0;
}

int Import(Session& session, const ImportArgs& a) {
    // Choices on the command line hold for this import; otherwise the profile's (and the
    // dialog, which the terminal answers with them when there is nobody to ask).
    ImportOptions choices = a.choices;
    if (!a.anyChoice && a.dontAsk) {
        bool storedDontAsk = false;
        choices = ReadImportOptions(session.GetProfile(), storedDontAsk);
    }
    const bool oneOff = a.anyChoice || a.dontAsk;
    if (!session.Doc().Import(AbsolutePath(a.file), oneOff ? &choices : nullptr))
        return Fail("import from " + a.file + " failed");
    std::cout << "imported from " << a.file << "\n";
    return 0;
}

int Compact(Session& session) {
    if (!session.Doc().Compact()) return Fail("the store could not be compacted");
    std::cout << "compacted " << EscapeForLine(session.Doc().StorePath()) << "\n";
    return 0;
}

}  // namespace

void AddTransferCommands(CLI::App& app, CommandContext& context) {
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto exportFile = std::make_shared<std::string>();
    CLI::App* exportCmd = app.add_subcommand("export", "Copy the whole store into a new store file");
    exportCmd->add_option("FILE", *exportFile, "The new store file (replaced when it exists)")->required();
    exportCmd->callback([exportFile, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Export(s, *exportFile); });
    });

    auto importArgs = std::make_shared<ImportArgs>();
    CLI::App* importCmd = app.add_subcommand(
        "import", "Merge records from another store file; without choices the profile's are used");
    importCmd->add_option("FILE", importArgs->file, "The store file to import from")->required();
    for (const ImportFlag& flag : kImportFlags) importCmd->add_flag(flag.option, flag.help);
    importCmd->add_flag("--dont-ask", importArgs->dontAsk, "Do not ask for the import choices again");
    importCmd->callback([importArgs, importCmd, &global, &exitCode] {
        // Choices given on the command line replace the stored ones whole: what is not named is off.
        for (const ImportFlag& flag : kImportFlags) {
            importArgs->choices.*flag.member = importCmd->count(flag.option) > 0;
            importArgs->anyChoice = importArgs->anyChoice || importArgs->choices.*flag.member;
        }
        exitCode = WithDocument(global, [&](Session& s) { return Import(s, *importArgs); });
    });

    CLI::App* compact = app.add_subcommand("compact", "Rewrite the store into a fresh file");
    compact->callback([&global, &exitCode] { exitCode = WithDocument(global, Compact); });
}

}  // namespace ph::cli
