// phctl groups: groups of address book entries, their tree and their members.
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

Json GroupJson(const CAccountGroupNode& g, int depth, std::unordered_set<const CAccountGroupNode*>& shown) {
    shown.insert(&g);
    Json node = {{"id", g.m_id},
                 {"name", JsonText(g.m_name)},
                 {"type", g.m_type},
                 {"parentId", g.m_parentId},
                 {"members", Json::array()},
                 {"children", Json::array()}};
    for (const GroupMember& m : g.m_members)
        node["members"].push_back(
            {{"entry", m.entry->m_id}, {"name", JsonText(m.entry->m_name)}, {"email", JsonText(m.entry->m_email)}});
    if (depth < kMaxDepth)
        for (const CAccountGroupNode* child : g.m_children) node["children"].push_back(GroupJson(*child, depth + 1, shown));
    return node;
}

void PrintGroup(const CAccountGroupNode& g, int depth, std::unordered_set<const CAccountGroupNode*>& shown) {
    shown.insert(&g);
    const std::string indent(2 * static_cast<size_t>(depth), ' ');
    std::cout << indent << g.m_id << "  " << EscapeForLine(g.m_name);
    if (g.m_type != 0) std::cout << "  type " << g.m_type;
    std::cout << "\n";
    for (const GroupMember& m : g.m_members)
        std::cout << indent << "    - " << m.entry->m_id << "  " << EscapeForLine(m.entry->m_name) << " <"
                  << EscapeForLine(m.entry->m_email) << ">\n";
    if (depth < kMaxDepth)
        for (const CAccountGroupNode* child : g.m_children) PrintGroup(*child, depth + 1, shown);
}

int List(Session& session, bool json) {
    const CPostharbourDoc& doc = session.Doc();
    std::unordered_set<const CAccountGroupNode*> shown;
    if (json) {
        Json out = {{"groups", Json::array()}, {"unattached", Json::array()}};
        for (const CAccountGroupNode* top : doc.m_topGroups) out["groups"].push_back(GroupJson(*top, 0, shown));
        for (const auto& group : doc.m_allGroups)
            if (!shown.count(group.get()))
                out["unattached"].push_back(
                    {{"id", group->m_id}, {"name", JsonText(group->m_name)}, {"parentId", group->m_parentId}});
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    for (const CAccountGroupNode* top : doc.m_topGroups) PrintGroup(*top, 0, shown);
    bool heading = false;
    for (const auto& group : doc.m_allGroups) {
        if (shown.count(group.get())) continue;
        if (!heading) std::cout << "Not in the tree\n";
        heading = true;
        std::cout << "  " << group->m_id << "  " << EscapeForLine(group->m_name) << "  (parent " << group->m_parentId
                  << ")\n";
    }
    return 0;
}

struct AddArgs {
    std::string name, parent;
    int type = 0;
};

int Add(Session& session, const AddArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    const std::optional<std::string> name = StoredText(a.name);
    if (!name) return Fail("the group name holds characters that cannot be stored");
    if (name->empty()) return Fail("a group needs a name");
    int parentId = 0;
    if (!a.parent.empty()) {
        std::string why;
        const CAccountGroupNode* parent = ResolveGroup(doc, a.parent, why);
        if (!parent) return Fail(why);
        parentId = parent->m_id;
    }
    const CAccountGroupNode* group = doc.AddGroup(*name, a.type, parentId);
    if (!group) return Fail("the group could not be stored");
    std::cout << "added group " << group->m_id << " " << EscapeForLine(group->m_name) << "\n";
    return 0;
}

int Remove(Session& session, const std::string& key) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CAccountGroupNode* group = ResolveGroup(doc, key, why);
    if (!group) return Fail(why);
    const int id = group->m_id;
    const std::string name = group->m_name;
    if (!doc.DeleteGroup(*group)) return Fail("the group could not be removed completely");
    std::cout << "removed group " << id << " " << EscapeForLine(name) << "\n";
    return 0;
}

struct MemberArgs {
    std::string group, entry;
};

int AddMember(Session& session, const MemberArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CAccountGroupNode* group = ResolveGroup(doc, a.group, why);
    if (!group) return Fail(why);
    AddressBookEntry* entry = ResolveEntry(doc, a.entry, why);
    if (!entry) return Fail(why);
    if (!doc.AddGroupMember(*group, *entry)) return Fail("the membership could not be stored");
    std::cout << "added " << EscapeForLine(entry->m_email) << " to group " << group->m_id << " "
              << EscapeForLine(group->m_name) << "\n";
    return 0;
}

int RemoveMember(Session& session, const MemberArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CAccountGroupNode* group = ResolveGroup(doc, a.group, why);
    if (!group) return Fail(why);
    const AddressBookEntry* entry = ResolveEntry(doc, a.entry, why);
    if (!entry) return Fail(why);
    int removed = 0;
    bool ok = true;
    for (size_t i = group->m_members.size(); i-- > 0;)
        if (group->m_members[i].entry == entry) {
            ok = doc.RemoveGroupMember(*group, i) && ok;
            ++removed;
        }
    if (removed == 0) return Fail(a.entry + " is not a member of " + a.group);
    if (!ok) return Fail("the membership could not be removed completely");
    std::cout << "removed " << EscapeForLine(entry->m_email) << " from group " << group->m_id << " "
              << EscapeForLine(group->m_name) << "\n";
    return 0;
}

}  // namespace

void AddGroupCommands(CLI::App& groups, CommandContext& context) {
    groups.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto json = std::make_shared<bool>(false);
    CLI::App* list = groups.add_subcommand("list", "Show the group tree with the members of each group");
    list->add_flag("--json", *json, "Print JSON");
    list->callback([json, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *json); });
    });

    auto addArgs = std::make_shared<AddArgs>();
    CLI::App* add = groups.add_subcommand("add", "Add a group");
    add->add_option("NAME", addArgs->name, "Group name")->required();
    add->add_option("--parent", addArgs->parent, "Parent group, by id or name");
    add->add_option("--type", addArgs->type, "Group type");
    add->callback([addArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Add(s, *addArgs); });
    });

    auto removeKey = std::make_shared<std::string>();
    CLI::App* remove = groups.add_subcommand("remove", "Remove a group with the groups inside it");
    remove->add_option("GROUP", *removeKey, "Group id or name")->required();
    remove->callback([removeKey, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Remove(s, *removeKey); });
    });

    CLI::App* member = groups.add_subcommand("member", "Add address book entries to groups or take them out");
    member->require_subcommand(1);
    auto addMember = std::make_shared<MemberArgs>();
    CLI::App* memberAdd = member->add_subcommand("add", "Make an entry a member of a group");
    memberAdd->add_option("GROUP", addMember->group, "Group id or name")->required();
    memberAdd->add_option("ENTRY", addMember->entry, "Entry id or e-mail address")->required();
    memberAdd->callback([addMember, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return AddMember(s, *addMember); });
    });
    auto removeMember = std::make_shared<MemberArgs>();
    CLI::App* memberRemove = member->add_subcommand("remove", "Take an entry out of a group");
    memberRemove->add_option("GROUP", removeMember->group, "Group id or name")->required();
    memberRemove->add_option("ENTRY", removeMember->entry, "Entry id or e-mail address")->required();
    memberRemove->callback([removeMember, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return RemoveMember(s, *removeMember); });
    });
}

}  // namespace ph::cli
