#include "StoreCommands.h"

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Display.h"
#include "Session.h"
#include "app/Paths.h"
#include "common/Bytes.h"
#include "store/StoreDump.h"

namespace ph::cli {
namespace {

struct StoreOptions {
    std::string file;
    bool json = false;
    bool force = false;
};

int CreateStore(const StoreOptions& o) {
    if (o.file.empty()) return Fail("name the store to create (FILE or --store)");
    std::error_code ec;
    if (std::filesystem::exists(o.file, ec) && !o.force) {
        std::cerr << "phctl: " << o.file << " already exists (use --force to replace it)\n";
        return 1;
    }
    CStorageNode root;
    std::string error;
    if (!CreateNewStore(root, o.file, &error)) {
        std::cerr << "phctl: cannot create " << o.file << ": " << error << "\n";
        return 1;
    }
    std::cout << "created " << o.file << "\n";
    return 0;
}

void PrintText(const std::string& file, const std::vector<TableDump>& tables) {
    std::cout << "store " << file << "\n";
    for (const TableDump& t : tables) {
        std::cout << "\n== " << t.name << " (" << t.layout << ", " << t.records.size()
                  << (t.records.size() == 1 ? " record)\n" : " records)\n");
        for (const RecordDump& r : t.records) {
            std::cout << "-- " << r.id << "\n";
            for (const auto& [name, value] : r.fields)
                std::cout << "  " << name << ": " << EscapeForLine(value) << "\n";
            for (const auto& [name, value] : r.streams)
                std::cout << "  [" << name << "] " << value.size() << " bytes: " << EscapeForLine(value) << "\n";
        }
    }
}

void PrintJson(const std::string& file, const std::vector<TableDump>& tables) {
    using Json = nlohmann::ordered_json;
    Json out;
    out["file"] = Latin1ToUtf8(file);
    out["tables"] = Json::array();
    for (const TableDump& t : tables) {
        Json table = {{"name", t.name}, {"layout", t.layout}, {"records", Json::array()}};
        for (const RecordDump& r : t.records) {
            Json record = {{"id", r.id}, {"fields", Json::object()}};
            for (const auto& [name, value] : r.fields) record["fields"][name] = Latin1ToUtf8(value);
            if (!r.streams.empty()) {
                record["streams"] = Json::object();
                for (const auto& [name, value] : r.streams) record["streams"][name] = Latin1ToUtf8(value);
            }
            table["records"].push_back(std::move(record));
        }
        out["tables"].push_back(std::move(table));
    }
    std::cout << out.dump(2) << "\n";
}

int DumpStoreFile(const StoreOptions& o) {
    std::string file = o.file;
    CStorageNode root;
    std::string error;
    if (file.empty()) {
        // The program's own store: made on first use, as the program itself would.
        file = ProgramStorePath(Profile(ProgramProfilePath()));
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            const std::string dir = std::filesystem::path(file).parent_path().string();
            if (!MakeDirectories(dir) || !CreateNewStore(root, file, &error)) {
                std::cerr << "phctl: cannot create the default store " << file << ": " << error << "\n";
                return 1;
            }
        }
    }
    if (!root.IsOpen() && !root.OpenFile(file)) {
        std::cerr << "phctl: cannot open " << file << ": " << root.Error() << "\n";
        return 1;
    }
    const std::vector<TableDump> tables = DumpStore(root);
    if (o.json)
        PrintJson(file, tables);
    else
        PrintText(file, tables);
    return 0;
}

}  // namespace

void AddStoreCommands(CLI::App& store, CommandContext& context) {
    auto options = std::make_shared<StoreOptions>();
    store.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;
    // FILE names the store; without it the one --store names.
    auto fileOrGlobal = [options, &global] {
        if (options->file.empty()) options->file = global.store;
    };

    CLI::App* create = store.add_subcommand("create", "Create a new, empty store file");
    create->add_option("FILE", options->file, "Path of the store to create (default: --store)");
    create->add_flag("--force", options->force, "Replace an existing file");
    create->callback([options, fileOrGlobal, &exitCode] {
        fileOrGlobal();
        exitCode = CreateStore(*options);
    });

    CLI::App* dump = store.add_subcommand("dump", "Show every table, record and field of a store");
    dump->add_option("FILE", options->file, "Store file (default: --store, else the program's own store)");
    dump->add_flag("--json", options->json, "Print JSON");
    dump->callback([options, fileOrGlobal, &exitCode] {
        fileOrGlobal();
        exitCode = DumpStoreFile(*options);
    });
}

}  // namespace ph::cli
