// phctl addressbook: the entries of the address book.
#include <iostream>
#include <nlohmann/json.hpp>
#include <tuple>
#include <vector>

#include "Arguments.h"
#include "DocCommands.h"
#include "Display.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

// The ids of the groups the entry is a member of.
std::vector<int> GroupsOf(const CPostharbourDoc& doc, const AddressBookEntry& entry) {
    std::vector<int> ids;
    for (const auto& group : doc.m_allGroups)
        for (const GroupMember& m : group->m_members)
            if (m.entry == &entry) {
                ids.push_back(group->m_id);
                break;
            }
    return ids;
}

int List(Session& session, bool json) {
    const CPostharbourDoc& doc = session.Doc();
    if (json) {
        Json out = {{"entries", Json::array()}};
        for (const auto& e : doc.m_addressBook)
            out["entries"].push_back({{"id", e->m_id},
                                      {"name", JsonText(e->m_name)},
                                      {"email", JsonText(e->m_email)},
                                      {"groups", GroupsOf(doc, *e)}});
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    for (const auto& e : doc.m_addressBook)
        std::cout << e->m_id << "  " << EscapeForLine(e->m_name) << " <" << EscapeForLine(e->m_email) << ">\n";
    return 0;
}

struct EntryArgs {
    CLI::App* command = nullptr;
    std::string key, name, email;
};

// The texts given, as stored; false with `why` when one cannot be stored.
bool TakeTexts(const EntryArgs& a, AddressBookEntry& into, std::string& why) {
    for (auto [option, value, field] : {std::tuple{"--name", &a.name, &into.m_name},
                                        std::tuple{"--email", &a.email, &into.m_email}}) {
        if (a.command->count(option) == 0) continue;
        const std::optional<std::string> stored = StoredText(*value);
        if (!stored) {
            why = std::string(option) + " holds characters that cannot be stored";
            return false;
        }
        *field = *stored;
    }
    return true;
}

int Add(Session& session, const EntryArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    AddressBookEntry texts;
    std::string why;
    if (!TakeTexts(a, texts, why)) return Fail(why);
    const AddressBookEntry* entry = doc.AddAddressBookEntry(texts.m_name, texts.m_email);
    if (!entry) return Fail("the entry could not be stored");
    std::cout << "added entry " << entry->m_id << " " << EscapeForLine(entry->m_email) << "\n";
    return 0;
}

int Set(Session& session, const EntryArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    AddressBookEntry* entry = ResolveEntry(doc, a.key, why);
    if (!entry) return Fail(why);
    AddressBookEntry changed = *entry;
    if (!TakeTexts(a, changed, why)) return Fail(why);
    *entry = changed;
    if (!doc.UpdateAddressBookEntry(*entry)) return Fail("the entry could not be stored");
    std::cout << "changed entry " << entry->m_id << " " << EscapeForLine(entry->m_email) << "\n";
    return 0;
}

int Remove(Session& session, const std::string& key) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    AddressBookEntry* entry = ResolveEntry(doc, key, why);
    if (!entry) return Fail(why);
    const int id = entry->m_id;
    const std::string email = entry->m_email;
    if (!doc.DeleteAddressBookEntry(*entry)) return Fail("the entry could not be removed completely");
    std::cout << "removed entry " << id << " " << EscapeForLine(email) << "\n";
    return 0;
}

}  // namespace

void AddAddressBookCommands(CLI::App& addressBook, CommandContext& context) {
    addressBook.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto json = std::make_shared<bool>(false);
    CLI::App* list = addressBook.add_subcommand("list", "List the address book");
    list->add_flag("--json", *json, "Print JSON");
    list->callback([json, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *json); });
    });

    auto addArgs = std::make_shared<EntryArgs>();
    CLI::App* add = addressBook.add_subcommand("add", "Add an entry");
    addArgs->command = add;
    add->add_option("--name", addArgs->name, "Name")->required();
    add->add_option("--email", addArgs->email, "E-mail address")->required();
    add->callback([addArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Add(s, *addArgs); });
    });

    auto setArgs = std::make_shared<EntryArgs>();
    CLI::App* set = addressBook.add_subcommand("set", "Change an entry");
    setArgs->command = set;
    set->add_option("ENTRY", setArgs->key, "Entry id or e-mail address")->required();
    set->add_option("--name", setArgs->name, "New name");
    set->add_option("--email", setArgs->email, "New e-mail address");
    set->callback([setArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Set(s, *setArgs); });
    });

    auto removeKey = std::make_shared<std::string>();
    CLI::App* remove = addressBook.add_subcommand("remove", "Remove an entry (and its group memberships)");
    remove->add_option("ENTRY", *removeKey, "Entry id or e-mail address")->required();
    remove->callback([removeKey, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Remove(s, *removeKey); });
    });
}

}  // namespace ph::cli
