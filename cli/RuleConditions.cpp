#include "RuleConditions.h"

#include <algorithm>

#include "Arguments.h"
#include "Display.h"
#include "rules/RuleVocabulary.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

// The word lists by RuleField: the option that fills one and its key in JSON.
struct WordField {
    const char* option;
    const char* key;
    const char* help;
};
constexpr std::array<WordField, kRuleFieldCount> kWordFields = {{
    {"--from", "from", "A word of the From line (repeatable; [NAME] is a group of the address book)"},
    {"--subject", "subject", "A word of the subject (repeatable)"},
    {"--body", "body", "A word of the message body (repeatable)"},
    {"--to", "to", "A word of the To line (repeatable)"},
    {"--cc", "cc", "A word of the CC line (repeatable)"},
    {"--tocc", "toCc", "A word of the To or the CC line (repeatable)"},
}};

// The single conditions, as stored texts.
struct SingleCondition {
    const char* key;
    std::string CMailRule::*member;
};
constexpr std::array<SingleCondition, 6> kSingleConditions = {{
    {"priority", &CMailRule::Priority},
    {"account", &CMailRule::Account},
    {"size", &CMailRule::Size},
    {"attachment", &CMailRule::Attachment},
    {"secure", &CMailRule::Secure},
    {"all", &CMailRule::All},
}};

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

CLI::Validator NonEmpty() {
    return CLI::Validator([](const std::string& value) { return value.empty() ? std::string("needs a value") : ""; },
                          "", "NONEMPTY");
}

bool ConditionOptions::AnyGiven() const {
    return std::any_of(words.begin(), words.end(), [](const auto& list) { return !list.empty(); }) || !mode.empty() ||
           negate || !account.empty() || !size.empty() || attachment;
}

std::vector<CLI::Option*> AddConditionOptions(CLI::App& command, ConditionOptions& options) {
    std::vector<CLI::Option*> added;
    for (int f = 0; f < kRuleFieldCount; ++f)
        // One word per occurrence, so that a word list never swallows a positional argument.
        added.push_back(command.add_option(kWordFields[f].option, options.words[f], kWordFields[f].help)
                            ->allow_extra_args(false));
    added.push_back(command.add_option("--mode", options.mode, "How the words of each list combine: or (any word, "
                                                               "the default) or and (every word)")
                        ->check(CLI::IsMember({"and", "or"})));
    added.push_back(command.add_flag("--not", options.negate, "Every word list matches where it does NOT hold its words"));
    added.push_back(command.add_option("--account", options.account, "Messages of this account (id or address)")
                        ->check(NonEmpty()));
    added.push_back(command.add_option("--size", options.size, "Messages larger than this many KB")->check(NonEmpty()));
    added.push_back(command.add_flag("--attachment", options.attachment, "Messages with an attachment"));
    return added;
}

bool FillConditions(const CPostharbourDoc& doc, const ConditionOptions& options, CMailRule& rule, std::string& why) {
    bool anyWords = false;
    for (int f = 0; f < kRuleFieldCount; ++f) {
        WordList list;
        list.mode = options.mode == "and" ? 0 : 1;
        list.negate = options.negate ? 1 : 0;
        const std::string option = kWordFields[f].option;
        for (const std::string& word : options.words[f]) {
            const std::optional<std::string> stored = StoredText(word);
            if (!stored) {
                why = option + " " + EscapeForLine(word) + ": holds characters that cannot be stored";
                return false;
            }
            // The empty word is in every text, and would be lost in store: a list is kept one
            // word a line.
            if (stored->empty()) {
                why = option + ": an empty word would match every message";
                return false;
            }
            if (stored->find_first_of("\r\n") != std::string::npos) {
                why = option + " " + EscapeForLine(word) + ": a word cannot hold a line break";
                return false;
            }
            list.words.push_back(*stored);
        }
        if (list.words.empty()) continue;
        rule.m_words[f] = std::move(list);
        anyWords = true;
    }
    // Mode and negation change only the word lists; given alone they would suggest a
    // condition that is not there.
    if ((!options.mode.empty() || options.negate) && !anyWords) {
        why = "--mode and --not apply to word lists: give --from, --subject, --body, --to, --cc or --tocc as well";
        return false;
    }
    if (!options.account.empty()) {
        const CEmailAccount* account = ResolveAccount(doc, options.account, why);
        if (!account) return false;
        rule.Account = account->m_emailName;
    }
    if (!options.size.empty()) {
        const std::optional<int> kb = ParseInt(options.size);
        if (!kb || *kb < 0) {
            why = "--size takes a whole number of KB, not " + EscapeForLine(options.size);
            return false;
        }
        rule.Size = std::to_string(*kb);
    }
    if (options.attachment) rule.Attachment = "1";
    return true;
}

bool HasCondition(const CMailRule& rule) {
    if (rule.IsAdvanced()) return !rule.m_words[kFieldFrom].words.empty();
    for (int c = 0; c < kRuleConditionCount; ++c)
        if (IsConditionOn(rule, c)) return true;
    return !rule.All.empty();
}

Json ConditionsJson(const CMailRule& rule) {
    Json out = Json::object();
    for (int f = 0; f < kRuleFieldCount; ++f) {
        const WordList& list = rule.m_words[f];
        Json words = Json::array();
        for (const std::string& word : list.words) words.push_back(JsonText(word));
        out[kWordFields[f].key] = {{"words", std::move(words)}, {"mode", list.mode}, {"negate", list.negate}};
    }
    for (const SingleCondition& c : kSingleConditions) out[c.key] = JsonText(rule.*c.member);
    return out;
}

bool ConditionsFromJson(const Json& json, CMailRule& rule) {
    const auto text = [](const Json& value) -> std::optional<std::string> {
        if (!value.is_string()) return std::nullopt;
        return StoredText(value.get_ref<const std::string&>());
    };
    if (!json.is_object()) return false;
    for (int f = 0; f < kRuleFieldCount; ++f) {
        const auto it = json.find(kWordFields[f].key);
        if (it == json.end() || !it->is_object()) return false;
        const auto words = it->find("words"), mode = it->find("mode"), negate = it->find("negate");
        if (words == it->end() || !words->is_array() || mode == it->end() || !mode->is_number_integer() ||
            negate == it->end() || !negate->is_number_integer())
            return false;
        WordList list;
        for (const Json& word : *words) {
            std::optional<std::string> stored = text(word);
            if (!stored) return false;
            list.words.push_back(std::move(*stored));
        }
        list.mode = mode->get<int>();
        list.negate = negate->get<int>();
        rule.m_words[f] = std::move(list);
    }
    for (const SingleCondition& c : kSingleConditions) {
        const auto it = json.find(c.key);
        std::optional<std::string> stored = it == json.end() ? std::nullopt : text(*it);
        if (!stored) return false;
        rule.*c.member = std::move(*stored);
    }
    return true;
}

std::string RuleDescription(const CMailRule& rule) {
    std::vector<std::string> conditions;
    if (rule.IsAdvanced()) {
        const std::vector<std::string>& tokens = static_cast<const CAdvMailRule&>(rule).Tokens();
        if (!tokens.empty()) conditions.push_back(Join(tokens, " "));
    } else {
        for (int c = 0; c < kRuleConditionCount; ++c)
            if (IsConditionOn(rule, c)) conditions.push_back(ConditionDescription(rule, c));
        if (!rule.All.empty()) conditions.emplace_back("For every message");
    }
    std::vector<std::string> actions;
    for (int a = 0; a < kRuleActionCount; ++a)
        if (rule.IsOn(static_cast<RuleAction>(a))) actions.push_back(ActionDescription(rule, static_cast<RuleAction>(a)));
    std::string out = conditions.empty() ? std::string("(no condition)") : Join(conditions, " or ");
    if (!actions.empty()) out += " -> " + Join(actions, ", ");
    return out;
}

std::optional<size_t> ResolveRule(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    const auto& rules = doc.m_rules;
    if (!key.empty() && key.front() == '#') {
        const std::optional<int> id = ParseId(key.substr(1));
        for (size_t i = 0; id && i < rules.size(); ++i)
            if (rules[i]->m_id == *id) return i;
        why = "no rule " + EscapeForLine(key);
        return std::nullopt;
    }
    if (AllDigits(key)) {
        const std::optional<int> index = ParseInt(key);
        if (index && *index >= 1 && static_cast<size_t>(*index) <= rules.size()) return static_cast<size_t>(*index - 1);
        why = "no rule " + EscapeForLine(key) + ": there " + (rules.size() == 1 ? "is 1 rule" : "are " + std::to_string(rules.size()) + " rules");
        return std::nullopt;
    }
    const std::optional<std::string> name = StoredText(key);
    std::vector<size_t> found;
    for (size_t i = 0; name && i < rules.size(); ++i)
        if (rules[i]->Name == *name) found.push_back(i);
    if (found.size() == 1) return found.front();
    why = found.empty() ? "no rule named " + EscapeForLine(key)
                        : "more than one rule is named " + EscapeForLine(key) + "; name it by its index or #id";
    return std::nullopt;
}

std::optional<std::string> NewRuleName(const CPostharbourDoc& doc, std::string_view name, std::string& why) {
    std::optional<std::string> stored = StoredText(name);
    if (!stored) {
        why = "the rule name holds characters that cannot be stored";
        return std::nullopt;
    }
    if (stored->empty()) {
        why = "a rule needs a name";
        return std::nullopt;
    }
    // Rules are named on the command line by name, index or "#id"; a name that reads as one
    // of the others could never be reached by it.
    if (AllDigits(*stored) || stored->front() == '#') {
        why = "a rule name cannot be a number or start with '#': " + EscapeForLine(*stored) +
              " would name a rule by its index or id";
        return std::nullopt;
    }
    for (const auto& rule : doc.m_rules)
        if (rule->Name == *stored) {
            why = "there is a rule named " + EscapeForLine(*stored) + " already";
            return std::nullopt;
        }
    return stored;
}

}  // namespace ph::cli
