// phctl folders: the folder tree, the account server folders, adding and removing folders.
#include <iostream>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "Arguments.h"
#include "DocCommands.h"
#include "Display.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

// A tree read from a store need not be sane; listing stops this deep.
constexpr int kMaxDepth = 64;

int FiledCount(const CEmailFolderNode& f) { return static_cast<int>(f.m_filed[0].size() + f.m_filed[1].size()); }

Json FolderJson(const CEmailFolderNode& f, int depth, std::unordered_set<const CEmailFolderNode*>& shown) {
    shown.insert(&f);
    Json node = {{"id", f.m_id},
                 {"name", JsonText(f.m_name)},
                 {"path", JsonText(f.m_path)},
                 {"type", f.m_type},
                 {"parentId", f.m_parentId},
                 {"messages", FiledCount(f)},
                 {"lists", Json::array({f.m_filed[0].size(), f.m_filed[1].size()})},
                 {"children", Json::array()}};
    if (depth < kMaxDepth)
        for (const CEmailFolderNode* child : f.m_children) node["children"].push_back(FolderJson(*child, depth + 1, shown));
    return node;
}

void PrintFolder(const CEmailFolderNode& f, int depth, std::unordered_set<const CEmailFolderNode*>& shown) {
    shown.insert(&f);
    std::cout << std::string(2 * static_cast<size_t>(depth + 1), ' ') << f.m_id << "  " << EscapeForLine(f.m_path)
              << "  (" << FiledCount(f) << ")";
    if (f.m_type != kFolderUser) std::cout << "  type " << f.m_type;
    std::cout << "\n";
    if (depth < kMaxDepth)
        for (const CEmailFolderNode* child : f.m_children) PrintFolder(*child, depth + 1, shown);
}

int List(Session& session, bool json) {
    const CPostharbourDoc& doc = session.Doc();
    std::unordered_set<const CEmailFolderNode*> shown;
    if (json) {
        Json out = {{"folders", Json::array()}, {"accounts", Json::array()}, {"unattached", Json::array()}};
        for (const CEmailFolderNode* top : doc.m_topFolders) out["folders"].push_back(FolderJson(*top, 0, shown));
        for (const auto& account : doc.m_accounts) {
            Json a = {{"id", account->m_id}, {"address", JsonText(account->ShownAddress())}, {"folders", Json::array()}};
            for (const CEmailFolderNode* top : account->m_folders) a["folders"].push_back(FolderJson(*top, 0, shown));
            out["accounts"].push_back(std::move(a));
        }
        // Folders whose parent is gone are kept in the store but hang nowhere.
        for (const auto& folder : doc.m_allFolders)
            if (!shown.count(folder.get()))
                out["unattached"].push_back(
                    {{"id", folder->m_id}, {"name", JsonText(folder->m_name)}, {"parentId", folder->m_parentId}});
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    std::cout << "Folders\n";
    for (const CEmailFolderNode* top : doc.m_topFolders) PrintFolder(*top, 0, shown);
    for (const auto& account : doc.m_accounts) {
        if (account->m_folders.empty()) continue;
        std::cout << "Account " << account->m_id << " " << EscapeForLine(account->ShownAddress()) << "\n";
        for (const CEmailFolderNode* top : account->m_folders) PrintFolder(*top, 0, shown);
    }
    bool heading = false;
    for (const auto& folder : doc.m_allFolders) {
        if (shown.count(folder.get())) continue;
        if (!heading) std::cout << "Not in any tree\n";
        heading = true;
        std::cout << "  " << folder->m_id << "  " << EscapeForLine(folder->m_name) << "  (parent " << folder->m_parentId
                  << ")\n";
    }
    return 0;
}

struct AddArgs {
    std::string name, parent, account;
    int type = kFolderUser;
};

int Add(Session& session, const AddArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    const std::optional<std::string> name = StoredText(a.name);
    if (!name) return Fail("the folder name holds characters that cannot be stored");
    if (name->empty()) return Fail("a folder needs a name");
    std::string why;
    int parentId = 0;
    if (!a.parent.empty()) {
        const CEmailFolderNode* parent = ResolveFolder(doc, a.parent, why);
        if (!parent) return Fail(why);
        parentId = parent->m_id;
    } else if (!a.account.empty()) {
        const CEmailAccount* account = ResolveAccount(doc, a.account, why);
        if (!account) return Fail(why);
        // A top-level folder of an account refers to it by its negated id.
        parentId = -account->m_id;
    }
    const CEmailFolderNode* folder = doc.AddFolder(*name, a.type, parentId);
    if (!folder) return Fail("the folder could not be stored");
    std::cout << "added folder " << folder->m_id << " " << EscapeForLine(folder->m_path) << "\n";
    return 0;
}

int CountInside(const CEmailFolderNode& f, int depth = 0) {
    int n = 0;
    if (depth < kMaxDepth)
        for (const CEmailFolderNode* child : f.m_children) n += 1 + CountInside(*child, depth + 1);
    return n;
}

int Remove(Session& session, const std::string& key) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailFolderNode* folder = ResolveFolder(doc, key, why);
    if (!folder) return Fail(why);
    const int id = folder->m_id;
    const std::string path = folder->m_path;
    const int inside = CountInside(*folder);
    if (!doc.DeleteFolder(*folder)) return Fail("the folder could not be removed completely");
    std::cout << "removed folder " << id << " " << EscapeForLine(path);
    if (inside > 0) std::cout << " and " << inside << (inside == 1 ? " folder" : " folders") << " inside it";
    std::cout << "\n";
    return 0;
}

}  // namespace

void AddFolderCommands(CLI::App& folders, CommandContext& context) {
    folders.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto json = std::make_shared<bool>(false);
    CLI::App* list = folders.add_subcommand("list", "Show the folder trees with ids, paths and message counts");
    list->add_flag("--json", *json, "Print JSON");
    list->callback([json, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *json); });
    });

    auto addArgs = std::make_shared<AddArgs>();
    CLI::App* add = folders.add_subcommand("add", "Add a folder");
    add->add_option("NAME", addArgs->name, "Folder name")->required();
    CLI::Option* parent = add->add_option("--parent", addArgs->parent, "Parent folder, by id or path");
    CLI::Option* account =
        add->add_option("--account", addArgs->account, "Make it a top-level folder of this account (id or address)");
    parent->excludes(account);
    add->add_option("--type", addArgs->type, "Folder type (0: a folder of your own)");
    add->callback([addArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Add(s, *addArgs); });
    });

    auto removeKey = std::make_shared<std::string>();
    CLI::App* remove = folders.add_subcommand("remove", "Remove a folder with the folders inside it");
    remove->add_option("FOLDER", *removeKey, "Folder id or path")->required();
    remove->callback([removeKey, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Remove(s, *removeKey); });
    });
}

}  // namespace ph::cli
