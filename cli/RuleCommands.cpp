// phctl rules: listing, adding, removing and applying mail rules.
#include <iostream>
#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "DocCommands.h"
#include "Display.h"
#include "RuleConditions.h"
#include "rules/RuleVocabulary.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

// The actions kept as texts (on when not empty): their key in JSON and, where phctl offers
// one, their option. A switch stores "1"; an option with a value stores the value.
struct TextAction {
    const char* key;
    std::string CMailRule::*member;
    const char* option;  // nullptr: not offered
    bool takesValue;
    const char* help;
};
constexpr std::array<TextAction, 10> kTextActions = {{
    {"delete", &CMailRule::Delete, "--delete", false, "Delete it"},
    {"forward", &CMailRule::Forward, "--forward", true, "Forward it to these addresses"},
    {"highlight", &CMailRule::Highlight, "--highlight", true, "Highlight it with this colour"},
    {"flag", &CMailRule::Flag, "--flag", false, "Flag it"},
    {"markRead", &CMailRule::MarkRead, "--mark-read", false, "Mark it as read"},
    {"markWatch", &CMailRule::MarkWatch, nullptr, false, nullptr},
    {"reply", &CMailRule::Reply, "--reply", true, "Reply with this text"},
    {"stop", &CMailRule::Stop, "--stop", false, "Stop processing more rules"},
    {"dontDownload", &CMailRule::DontDownload, "--dont-download", false, "Do not download it from the server"},
    {"deleteFromServer", &CMailRule::DeleteFromServer, "--delete-from-server", false, "Delete it from the server"},
}};

const std::vector<std::string>& Tokens(const CMailRule& rule) {
    return static_cast<const CAdvMailRule&>(rule).Tokens();
}

Json RuleJson(const CMailRule& rule, size_t index) {
    Json out = {{"index", index + 1},
                {"id", rule.m_id},
                {"name", JsonText(rule.Name)},
                {"kind", rule.IsAdvanced() ? "advanced" : "simple"},
                {"description", JsonText(RuleDescription(rule))}};
    if (rule.IsAdvanced()) {
        out["tokens"] = Json::array();
        for (const std::string& token : Tokens(rule)) out["tokens"].push_back(JsonText(token));
    } else {
        out["conditions"] = ConditionsJson(rule);
    }
    Json actions = {{"moveFolderId", rule.MoveFolderId},
                    {"moveFolderName", JsonText(rule.MoveFolderName)},
                    {"copyFolderId", rule.CopyFolderId},
                    {"copyFolderName", JsonText(rule.CopyFolderName)}};
    for (const TextAction& action : kTextActions) actions[action.key] = JsonText(rule.*action.member);
    out["actions"] = std::move(actions);
    return out;
}

std::string RuleLine(const CMailRule& rule) {
    return "#" + std::to_string(rule.m_id) + " " + EscapeForLine(rule.Name) + ": " + EscapeForLine(RuleDescription(rule));
}

int List(Session& session, bool json) {
    const auto& rules = session.Doc().m_rules;
    if (json) {
        Json out = {{"rules", Json::array()}};
        for (size_t i = 0; i < rules.size(); ++i) out["rules"].push_back(RuleJson(*rules[i], i));
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    for (size_t i = 0; i < rules.size(); ++i) {
        const CMailRule& rule = *rules[i];
        std::cout << "  " << i + 1 << "  #" << rule.m_id << "  " << (rule.IsAdvanced() ? "advanced" : "simple  ")
                  << "  " << EscapeForLine(rule.Name) << "  " << EscapeForLine(RuleDescription(rule)) << "\n";
    }
    return 0;
}

struct ShowArgs {
    std::string key;
    bool json = false;
};

int Show(Session& session, const ShowArgs& a) {
    const CPostharbourDoc& doc = session.Doc();
    std::string why;
    const std::optional<size_t> index = ResolveRule(doc, a.key, why);
    if (!index) return Fail(why);
    const CMailRule& rule = *doc.m_rules[*index];
    const std::vector<std::string> summary = RuleSummary(rule);
    if (a.json) {
        Json out = RuleJson(rule, *index);
        out["summary"] = Json::array();
        for (const std::string& line : summary) out["summary"].push_back(JsonText(line));
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    std::cout << "Rule " << *index + 1 << " (#" << rule.m_id << "): " << EscapeForLine(rule.Name) << "\n"
              << "Kind: " << (rule.IsAdvanced() ? "advanced" : "simple") << "\n";
    // The editors show this switch apart from the conditions, so the summary leaves it out.
    if (!rule.IsAdvanced() && !rule.All.empty()) std::cout << "For every message\n";
    for (const std::string& line : summary) std::cout << EscapeForLine(line) << "\n";
    return 0;
}

// A rule's target folder: by id or path, or by name when only one folder has it, as folders of
// one's own are usually called by name.
CEmailFolderNode* ResolveTargetFolder(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    if (CEmailFolderNode* folder = ResolveFolder(doc, key, why)) return folder;
    const std::optional<std::string> name = StoredText(key);
    std::vector<CEmailFolderNode*> found;
    for (const auto& folder : doc.m_allFolders)
        if (name && folder->m_name == *name) found.push_back(folder.get());
    if (found.size() == 1) return found.front();
    if (found.size() > 1) why = "more than one folder is named " + EscapeForLine(key) + "; give its path or id";
    return nullptr;
}

// The tokens of an expression, split as a shell splits words: blanks separate them, a
// double-quoted text is one token with its quotes (the rule language knows a literal by its
// leading quote), and parentheses stand on their own. Refuses what the rule language would
// silently read as never matching: nothing at all, an open quote, unpaired parentheses.
std::optional<std::vector<std::string>> ExpressionTokens(std::string_view argument, std::string& why) {
    const std::optional<std::string> text = StoredText(argument);
    if (!text) {
        why = "the expression holds characters that cannot be stored";
        return std::nullopt;
    }
    std::vector<std::string> tokens;
    std::string token;
    bool inToken = false, quoted = false;
    const auto finish = [&] {
        if (inToken) tokens.push_back(std::move(token));
        token.clear();
        inToken = false;
    };
    for (const char c : *text) {
        if (quoted) {
            // Tokens are stored one a line.
            if (c == '\n' || c == '\r') {
                why = "a quoted text in the expression cannot hold a line break";
                return std::nullopt;
            }
            token += c;
            quoted = c != '"';
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            finish();
        } else if (c == '(' || c == ')') {
            finish();
            tokens.emplace_back(1, c);
        } else {
            token += c;
            inToken = true;
            quoted = c == '"';
        }
    }
    if (quoted) {
        why = "the expression has a double quote that is not closed";
        return std::nullopt;
    }
    finish();
    if (tokens.empty()) {
        why = "the expression is empty";
        return std::nullopt;
    }
    int depth = 0;
    for (const std::string& t : tokens) {
        if (t == "(") ++depth;
        if (t == ")" && --depth < 0) break;
    }
    if (depth != 0) {
        why = depth > 0 ? "the expression has a \"(\" that is not closed" : "the expression has a \")\" without its \"(\"";
        return std::nullopt;
    }
    return tokens;
}

struct AddArgs {
    std::string name;
    ConditionOptions conditions;
    bool all = false;
    std::string expr;
    std::string moveTo, copyTo;
    std::array<std::string, kTextActions.size()> texts;
    std::array<bool, kTextActions.size()> switches{};
};

int Add(Session& session, const AddArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    const std::optional<std::string> name = NewRuleName(doc, a.name, why);
    if (!name) return Fail(why);

    std::unique_ptr<CMailRule> rule;
    if (!a.expr.empty()) {
        std::optional<std::vector<std::string>> tokens = ExpressionTokens(a.expr, why);
        if (!tokens) return Fail(why);
        auto advanced = std::make_unique<CAdvMailRule>();
        advanced->Tokens() = std::move(*tokens);
        rule = std::move(advanced);
    } else {
        rule = std::make_unique<CMailRule>();
        if (!FillConditions(doc, a.conditions, *rule, why)) return Fail(why);
        if (a.all) rule->All = "1";
        if (!HasCondition(*rule))
            return Fail("a rule needs a condition: give --from, --subject, --body, --to, --cc, --tocc, --account, "
                        "--size, --attachment or --all, or an --expr");
    }
    rule->Name = *name;

    if (!a.moveTo.empty()) {
        const CEmailFolderNode* folder = ResolveTargetFolder(doc, a.moveTo, why);
        if (!folder) return Fail(why);
        rule->MoveFolderId = folder->m_id;
        rule->MoveFolderName = folder->m_name;
    }
    if (!a.copyTo.empty()) {
        const CEmailFolderNode* folder = ResolveTargetFolder(doc, a.copyTo, why);
        if (!folder) return Fail(why);
        rule->CopyFolderId = folder->m_id;
        rule->CopyFolderName = folder->m_name;
    }
    for (size_t i = 0; i < kTextActions.size(); ++i) {
        const TextAction& action = kTextActions[i];
        if (!action.takesValue) {
            if (a.switches[i]) rule.get()->*action.member = "1";
            continue;
        }
        if (a.texts[i].empty()) continue;
        const std::optional<std::string> text = StoredText(a.texts[i]);
        if (!text) return Fail(std::string(action.option) + ": holds characters that cannot be stored");
        rule.get()->*action.member = *text;
    }

    const CMailRule* added = doc.AddRule(std::move(rule));
    if (!added) return Fail("the rule could not be stored");
    std::cout << "added rule " << RuleLine(*added) << "\n";
    return 0;
}

int Remove(Session& session, const std::string& key) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    const std::optional<size_t> index = ResolveRule(doc, key, why);
    if (!index) return Fail(why);
    CMailRule& rule = *doc.m_rules[*index];
    const std::string line = RuleLine(rule);
    if (!doc.DeleteRule(rule)) return Fail("the rule could not be removed from the store");
    std::cout << "removed rule " << line << "\n";
    return 0;
}

struct ApplyArgs {
    std::vector<std::string> keys;
    bool all = false;
};

int Apply(Session& session, const ApplyArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    if (a.keys.empty() && !a.all) return Fail("name the rules to apply, or give --all");
    if (doc.m_rules.empty()) return Fail("there are no rules");
    std::vector<bool> chosen(doc.m_rules.size(), a.all);
    std::string why;
    for (const std::string& key : a.keys) {
        const std::optional<size_t> index = ResolveRule(doc, key, why);
        if (!index) return Fail(why);
        chosen[*index] = true;
    }
    std::vector<CMailRule*> rules;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (chosen[i]) rules.push_back(doc.m_rules[i].get());
    doc.ApplySelectedRules(rules);
    for (const CMailRule* rule : rules) std::cout << "applied rule " << RuleLine(*rule) << "\n";
    return 0;
}

struct ConversationArgs {
    std::string name, first, second, folder;
};

int Conversation(Session& session, const ConversationArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    const std::optional<std::string> name = NewRuleName(doc, a.name, why);
    if (!name) return Fail(why);
    std::array<std::string, 2> addresses;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string& given = i == 0 ? a.first : a.second;
        const std::optional<std::string> stored = StoredText(given);
        // Each address becomes a quoted literal of the rule, and tokens are stored one a line.
        if (!stored || stored->find_first_of("\"\r\n") != std::string::npos)
            return Fail("the address " + EscapeForLine(given) +
                        " cannot be part of a rule: it holds a double quote, a line break or a character that cannot be stored");
        addresses[i] = *stored;
    }
    const CEmailFolderNode* folder = ResolveTargetFolder(doc, a.folder, why);
    if (!folder) return Fail(why);
    const CMailRule* added =
        doc.AddQuickRule(MakeConversationRule(*name, addresses[0], addresses[1], folder->m_id, folder->m_name));
    if (!added) return Fail("the rule could not be stored");
    std::cout << "added rule " << RuleLine(*added) << "\n";
    return 0;
}

}  // namespace

void AddRuleCommands(CLI::App& rules, CommandContext& context) {
    rules.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;
    const std::string ruleHelp = "Rule: its name, its index (1 for the first) or #id";

    auto listJson = std::make_shared<bool>(false);
    CLI::App* list = rules.add_subcommand("list", "Show the rules in the order they apply");
    list->add_flag("--json", *listJson, "Print JSON, with every condition and action");
    list->callback([listJson, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *listJson); });
    });

    auto showArgs = std::make_shared<ShowArgs>();
    CLI::App* show = rules.add_subcommand("show", "Show one rule in full");
    show->add_option("RULE", showArgs->key, ruleHelp)->required();
    show->add_flag("--json", showArgs->json, "Print JSON");
    show->callback([showArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Show(s, *showArgs); });
    });

    auto addArgs = std::make_shared<AddArgs>();
    CLI::App* add = rules.add_subcommand(
        "add", "Add a rule: conditions by options (any one of them makes it match) or an --expr, and its actions");
    add->add_option("--name", addArgs->name, "Rule name")->required();
    std::vector<CLI::Option*> simple = AddConditionOptions(*add, addArgs->conditions);
    simple.push_back(add->add_flag("--all", addArgs->all, "Every message"));
    CLI::Option* expr = add->add_option("--expr", addArgs->expr,
                                        "An expression of the rule language instead, such as "
                                        "'@subject CONTAINS \"x y\" AND @size GREATERTHAN \"100\"'")
                            ->check(NonEmpty());
    for (CLI::Option* option : simple) expr->excludes(option);
    add->add_option("--move-to", addArgs->moveTo, "Move it to this folder (id, path or name)")->check(NonEmpty());
    add->add_option("--copy-to", addArgs->copyTo, "Copy it to this folder (id, path or name)")->check(NonEmpty());
    for (size_t i = 0; i < kTextActions.size(); ++i) {
        const TextAction& action = kTextActions[i];
        if (!action.option) continue;
        if (action.takesValue)
            add->add_option(action.option, addArgs->texts[i], action.help)->check(NonEmpty());
        else
            add->add_flag(action.option, addArgs->switches[i], action.help);
    }
    add->callback([addArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Add(s, *addArgs); });
    });

    auto removeKey = std::make_shared<std::string>();
    CLI::App* remove = rules.add_subcommand("remove", "Remove a rule");
    remove->add_option("RULE", *removeKey, ruleHelp)->required();
    remove->callback([removeKey, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Remove(s, *removeKey); });
    });

    auto applyArgs = std::make_shared<ApplyArgs>();
    CLI::App* apply = rules.add_subcommand(
        "apply", "Apply rules, in list order, to every message on its server and not marked for delete");
    CLI::Option* keys = apply->add_option("RULE", applyArgs->keys, ruleHelp + " (several may be given)");
    apply->add_flag("--all", applyArgs->all, "Apply every rule")->excludes(keys);
    apply->callback([applyArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Apply(s, *applyArgs); });
    });

    auto conversationArgs = std::make_shared<ConversationArgs>();
    CLI::App* conversation = rules.add_subcommand(
        "conversation", "Add a rule that copies the mail between two addresses into a folder, and apply it now");
    conversation->add_option("--name", conversationArgs->name, "Rule name")->required();
    conversation->add_option("--between", conversationArgs->first, "One address")->required()->check(NonEmpty());
    conversation->add_option("--and", conversationArgs->second, "The other address")->required()->check(NonEmpty());
    conversation->add_option("--folder", conversationArgs->folder, "Folder (id, path or name)")->required();
    conversation->callback([conversationArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Conversation(s, *conversationArgs); });
    });
}

}  // namespace ph::cli
