// phctl message parse and import.
#include "MessageCommands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "Arguments.h"
#include "Display.h"
#include "MessageView.h"
#include "common/Crypto.h"

namespace ph::cli {
namespace {

struct ParseArgs {
    std::string file;
    bool json = false;
    std::string saveDir;
};

int Parse(const ParseArgs& a) {
    std::string text, why;
    if (!ReadWholeFile(a.file, text, why)) return Fail(why);
    ParsedMessage parsed;
    ParseAsRetrieved(text, parsed);
    const CEmailMessage& m = parsed.message;

    int status = 0;
    std::vector<std::string> files;
    int written = 0;
    if (!a.saveDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(a.saveDir, ec);
        if (ec || !std::filesystem::is_directory(a.saveDir, ec))
            return Fail("cannot create the folder " + EscapeForLine(a.saveDir));
        for (size_t i = 0; i < m.AttachmentData.size(); ++i) files.push_back(AttachmentFileName(m, i));
        std::string error;
        written = mime::SaveAttachments(m, a.saveDir, &error);
        if (written != static_cast<int>(files.size())) status = Fail(EscapeForLine(error));
    }

    if (a.json) {
        nlohmann::ordered_json out = {{"file", JsonText(a.file)}};
        out.update(MessageJson(parsed));
        if (!a.saveDir.empty()) {
            out["saved"] = {{"folder", JsonText(a.saveDir)}, {"written", written}, {"files", nlohmann::ordered_json::array()}};
            for (const std::string& f : files) out["saved"]["files"].push_back(JsonText(f));
        }
        std::cout << out.dump(2) << "\n";
        return status;
    }
    PrintMessage(std::cout, parsed);
    if (!a.saveDir.empty()) {
        for (const std::string& f : files) std::cout << "saved " << EscapeForLine(a.saveDir + "/" + f) << "\n";
        std::cout << written << " of " << files.size() << " attachments written\n";
    }
    return status;
}

struct ImportArgs {
    std::string account;
    std::vector<std::string> files;
};

bool HoldsUniqueId(CEmailAccount& account, const std::string& uniqueId) {
    std::lock_guard<std::recursive_mutex> guard(account.Mutex());
    for (const auto& m : account.GetMessages())
        if (m->MsgUniqueID == uniqueId) return true;
    return false;
}

int Import(Session& session, const ImportArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailAccount* account = ResolveAccount(doc, a.account, why);
    if (!account) return Fail(why);
    if (!account->HasAccess()) return Fail("the account " + EscapeForLine(a.account) + " cannot hold messages");
    const mime::AddressBookLookup inAddressBook = [&doc](std::string_view address) {
        return doc.IsInAddressBook(std::string(address));
    };

    int status = 0;
    for (const std::string& file : a.files) {
        std::string text;
        if (!ReadWholeFile(file, text, why)) {
            status = Fail(why);
            continue;
        }
        // Named by content, so the same file imported again is recognised.
        const std::string uniqueId = "file-" + Md5Hex(text);
        if (HoldsUniqueId(*account, uniqueId)) {
            std::cout << "skipped " << EscapeForLine(file) << ": already stored as " << uniqueId << "\n";
            continue;
        }
        ParsedMessage parsed;
        ParseAsRetrieved(text, parsed, inAddressBook);
        EmailRecord record = RecordFromMessage(parsed.message);
        record.MsgUniqueID = uniqueId;
        record.AcctID = account->m_id;
        record.MsgSize = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
        const CEmailMessage* stored = doc.AddStoredMessage(*account, record);
        if (!stored) {
            status = Fail("cannot store " + EscapeForLine(file));
            continue;
        }
        std::cout << "stored " << EscapeForLine(file) << " as message " << stored->m_storeId << " (" << uniqueId
                  << ")\n";
    }
    return status;
}

}  // namespace

void AddMessageCommands(CLI::App& message, CommandContext& context) {
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto parseArgs = std::make_shared<ParseArgs>();
    CLI::App* parse = message.add_subcommand("parse", "Parse a message file and show every field it gives");
    parse->add_option("FILE", parseArgs->file, "The message file (raw Internet message text)")->required();
    parse->add_flag("--json", parseArgs->json, "Print JSON");
    parse->add_option("--save-attachments", parseArgs->saveDir,
                      "Write the attachments into this folder (created when missing), under plain file names");
    parse->callback([parseArgs, &exitCode] { exitCode = Parse(*parseArgs); });

    auto importArgs = std::make_shared<ImportArgs>();
    CLI::App* import = message.add_subcommand("import", "Store message files as messages of an account");
    import->add_option("--account", importArgs->account, "Account id or address")->required();
    import->add_option("FILE", importArgs->files, "Message files")->required();
    import->callback([importArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Import(s, *importArgs); });
    });
}

}  // namespace ph::cli
