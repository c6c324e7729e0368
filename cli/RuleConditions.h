#pragma once
// What `rules` and `search` share: the conditions of a simple rule read from the same options
// the same way, a rule as JSON and on one line, and the checks on a new rule's name.
#include <CLI/CLI.hpp>
#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "doc/CPostharbourDoc.h"

namespace ph::cli {

// Refuses an empty value for an option, which would otherwise read as the option not given.
CLI::Validator NonEmpty();

// The condition options as given on the command line.
struct ConditionOptions {
    std::array<std::vector<std::string>, kRuleFieldCount> words;  // by RuleField
    std::string mode;                                             // "and", "or", or empty for "or"
    bool negate = false;
    std::string account;
    std::string size;  // in KB
    bool attachment = false;

    bool AnyGiven() const;
};

// Adds --from --subject --body --to --cc --tocc (each repeatable), --mode, --not, --account,
// --size and --attachment to `command`. Returns them, for options that exclude them.
std::vector<CLI::Option*> AddConditionOptions(CLI::App& command, ConditionOptions& options);

// Sets the conditions of `rule` from the options: the word lists with their mode and negation,
// the account (by id or address, kept as its stored address), size and attachment. False with
// `why` for a word that cannot be kept, an unknown account or a size that is not a number.
bool FillConditions(const CPostharbourDoc& doc, const ConditionOptions& options, CMailRule& rule,
                    std::string& why);

// Whether the rule can match anything at all: an advanced rule with tokens, or a simple rule
// with a word or a single condition.
bool HasCondition(const CMailRule& rule);

// A simple rule's conditions: each word list with its stored mode and negate, and the single
// conditions as their stored texts.
nlohmann::ordered_json ConditionsJson(const CMailRule& rule);
// Reads back what ConditionsJson wrote into `rule`; false when `json` is not of that form.
bool ConditionsFromJson(const nlohmann::ordered_json& json, CMailRule& rule);

// The rule on one line: the tokens of an advanced rule or the conditions of a simple one that
// are on, then the actions that are on.
std::string RuleDescription(const CMailRule& rule);

// The position in the document's list of the rule `key` names: "#id", a 1-based index (all
// digits) or a name; nothing, with `why`, when it names no rule or more than one.
std::optional<size_t> ResolveRule(const CPostharbourDoc& doc, std::string_view key, std::string& why);

// The stored form of a name for a new rule; nothing, with `why`, when it is empty, reads as an
// index or "#id", or is taken by another rule (rules are named on the command line).
std::optional<std::string> NewRuleName(const CPostharbourDoc& doc, std::string_view name, std::string& why);

}  // namespace ph::cli
