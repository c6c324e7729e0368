// phctl search: finding messages by the conditions of a simple rule, and saving the results
// into a folder. Every phctl run is a process of its own, so the criteria of the last search
// are kept in the profile for `search save` to run the same search again.
#include <iostream>
#include <nlohmann/json.hpp>

#include "DocCommands.h"
#include "Display.h"
#include "RuleConditions.h"
#include "app/MailSearch.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kLastSearchKey = "LastSearch";

bool Remember(Profile& profile, const CMailRule& criteria) {
    // ASCII only: the profile is a text file that other programs may read in any code page.
    return profile.WriteString(kLastSearchKey, ConditionsJson(criteria).dump(-1, ' ', true));
}

// Nothing is remembered after a search became a rule, as the document then starts over too.
bool Forget(Profile& profile) { return profile.WriteString(kLastSearchKey, ""); }

bool Remembered(const Profile& profile, CMailRule& criteria, std::string& why) {
    const std::string text = profile.GetString(kLastSearchKey, "");
    if (text.empty()) {
        why = "there is no search to save: run phctl search first, or give the criteria after `save`";
        return false;
    }
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !ConditionsFromJson(json, criteria) || !HasCondition(criteria)) {
        why = "the last search kept in " + EscapeForLine(profile.Path()) +
              " cannot be read: run phctl search again, or give the criteria after `save`";
        return false;
    }
    return true;
}

void PrintResults(const CPostharbourDoc& doc, bool json) {
    const std::vector<CEmailMessage*>& results = doc.m_searchResults;
    const auto account = [](const CEmailMessage& m) { return m.Account() ? m.Account()->ShownAddress() : std::string(); };
    if (json) {
        Json out = {{"count", results.size()}, {"results", Json::array()}};
        for (const CEmailMessage* m : results)
            out["results"].push_back({{"storeId", m->m_storeId},
                                      {"uniqueId", JsonText(m->MsgUniqueID)},
                                      {"account", JsonText(account(*m))},
                                      {"date", m->SentDate.ToStoreText()},
                                      {"from", JsonText(m->From)},
                                      {"subject", JsonText(m->Subject)}});
        std::cout << out.dump(2) << "\n";
        return;
    }
    std::cout << "Search Results (" << results.size() << ")\n";
    for (const CEmailMessage* m : results)
        std::cout << "  " << m->m_storeId << "  " << EscapeForLine(account(*m)) << "  " << m->SentDate.ToStoreText()
                  << "  " << EscapeForLine(m->From) << "  " << EscapeForLine(m->Subject) << "\n";
}

const char* const kNoCriteria =
    "give something to search for: --from, --subject, --body, --to, --cc, --tocc, --account, --size or --attachment";

struct SearchArgs {
    ConditionOptions conditions;
    bool json = false;
};

int RunSearchCommand(Session& session, const SearchArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    CMailRule criteria;
    std::string why;
    if (!FillConditions(doc, a.conditions, criteria, why)) return Fail(why);
    if (!HasCondition(criteria)) return Fail(kNoCriteria);
    Search(doc, criteria);
    PrintResults(doc, a.json);
    // A `search save` that re-ran an older search would save the wrong messages.
    if (!Remember(session.GetProfile(), criteria))
        return Fail("cannot keep this search in " + EscapeForLine(session.GetProfile().Path()) +
                    "; give its criteria to `search save` as well");
    return 0;
}

struct SaveArgs {
    std::string folder, rule;
    ConditionOptions conditions;
};

int Save(Session& session, const SaveArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    Profile& profile = session.GetProfile();
    std::string why;
    CMailRule criteria;
    const bool given = a.conditions.AnyGiven();
    if (given ? !FillConditions(doc, a.conditions, criteria, why) : !Remembered(profile, criteria, why))
        return Fail(why);
    if (!HasCondition(criteria)) return Fail(kNoCriteria);
    const std::optional<std::string> folderName = StoredText(a.folder);
    if (!folderName || folderName->empty()) return Fail("the folder needs a name that can be stored");
    std::optional<std::string> ruleName;
    if (!a.rule.empty()) {
        ruleName = NewRuleName(doc, a.rule, why);
        if (!ruleName) return Fail(why);
    }

    Search(doc, criteria);
    const size_t found = doc.m_searchResults.size();
    const size_t rulesBefore = doc.m_rules.size();
    const CEmailFolderNode* folder = SaveSearchResults(doc, *folderName, ruleName ? &*ruleName : nullptr);
    if (!folder) return Fail("the folder could not be stored");
    const size_t filed = folder->m_filed[0].size();
    std::cout << "saved " << filed << (filed == 1 ? " message" : " messages") << " into folder " << folder->m_id << " "
              << EscapeForLine(folder->m_path) << "\n";
    int status = filed == found ? 0 : Fail("only " + std::to_string(filed) + " of " + std::to_string(found) +
                                           " messages could be filed");
    if (ruleName) {
        if (doc.m_rules.size() > rulesBefore) {
            const CMailRule& rule = *doc.m_rules.back();
            std::cout << "added rule #" << rule.m_id << " " << EscapeForLine(rule.Name) << ": "
                      << EscapeForLine(RuleDescription(rule)) << "\n";
        } else {
            status = Fail("the rule could not be stored");
        }
    }
    const bool kept = ruleName ? Forget(profile) : !given || Remember(profile, criteria);
    if (!kept) status = Fail("cannot keep the search in " + EscapeForLine(profile.Path()));
    return status;
}

}  // namespace

bool RerunLastSearch(Session& session, std::string& why) {
    CPostharbourDoc& doc = session.Doc();
    if (session.GetProfile().GetString(kLastSearchKey, "").empty()) {
        doc.m_searchResults.clear();
        return true;
    }
    CMailRule criteria;
    if (!Remembered(session.GetProfile(), criteria, why)) return false;
    Search(doc, criteria);
    return true;
}

void AddSearchCommands(CLI::App& search, CommandContext& context) {
    search.require_subcommand(0, 1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto searchArgs = std::make_shared<SearchArgs>();
    AddConditionOptions(search, searchArgs->conditions);
    search.add_flag("--json", searchArgs->json, "Print JSON");

    auto saveArgs = std::make_shared<SaveArgs>();
    CLI::App* save = search.add_subcommand(
        "save", "Run the last search again (or the one the options after `save` give) and file its results "
                "into a new folder");
    save->add_option("FOLDER", saveArgs->folder, "Name of the new top-level folder")->required();
    save->add_option("--rule", saveArgs->rule, "Also keep the search as a rule of this name, copying into the folder")
        ->check(NonEmpty());
    AddConditionOptions(*save, saveArgs->conditions);
    save->callback([saveArgs, searchArgs, &global, &exitCode] {
        // Options before `save` belong to the search itself and would be silently ignored.
        if (searchArgs->conditions.AnyGiven() || searchArgs->json) {
            exitCode = Fail("give the criteria of `search save` after `save`; it has no --json");
            return;
        }
        exitCode = WithDocument(global, [&](Session& s) { return Save(s, *saveArgs); });
    });

    search.callback([&search, searchArgs, &global, &exitCode] {
        if (search.got_subcommand("save")) return;
        exitCode = WithDocument(global, [&](Session& s) { return RunSearchCommand(s, *searchArgs); });
    });
}

}  // namespace ph::cli
