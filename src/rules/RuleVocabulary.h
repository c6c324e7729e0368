#pragma once
// The words of the rule editors, shared by the GUI and `phctl`: the condition and action lists
// with their placeholders, the descriptions filled in from a rule, the condition lines of the
// advanced editor (to and from the rule's tokens) and the rule summary.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "rules/CMailRule.h"

namespace ph {

// The conditions of the simple-rule editor in list order: the six word lists (indices as
// RuleField), then these single conditions.
enum RuleCondition : int {
    kConditionPriority = kRuleFieldCount,
    kConditionAccount,
    kConditionSize,
    kConditionAttachment,
    kConditionSecure,
    kRuleConditionCount
};

// A word list as shown: "'a' or 'b' or 'c'", the words joined by "and" (mode 0) or "or" (any
// other mode, as an unknown mode is shown like the default).
std::string WordListText(const WordList& list);

// The condition list of the simple-rule editor: placeholders in place of values, word-list
// conditions with the operator "contains".
std::vector<std::string> ConditionListTexts();
// Condition `condition` (a RuleField or RuleCondition) as it reads for the rule. A word list
// shows "contains"/"does not contain" by its negate and its words, or the placeholder while it
// has none. A set account replaces "specified" ("...from the Work account"), a set size
// replaces "size" (as typed, the unit being the editor's); the other single conditions have no
// value and read as listed. Throws std::out_of_range for an index outside the list.
std::string ConditionDescription(const CMailRule& rule, int condition);
// Whether a simple rule checks the condition: a word list with words, or a non-empty text.
bool IsConditionOn(const CMailRule& rule, int condition);

// The action list of the editors, in RuleAction order.
std::vector<std::string> ActionListTexts();
// The action as it reads for the rule: the folder name, recipients, colour, watch choice or
// reply text where the action has one, the placeholder while that is empty. Throws
// std::out_of_range for kRuleActionCount or beyond.
std::string ActionDescription(const CMailRule& rule, RuleAction action);

// The fields and operators the advanced editor offers, in its order.
inline constexpr std::array<std::string_view, 7> kConditionFields = {
    "@from", "@subject", "@to", "@cc", "@account", "@size", "@attachment"};
inline constexpr int kAttachmentField = 6;  // the field that takes no operator and value
inline constexpr std::array<std::string_view, 11> kConditionOperators = {
    "CONTAINS", "NOTCONTAINS", "STARTSWITH", "NOTSTARTSWITH", "ENDSWITH",   "NOTENDSWITH",
    "EQUALS",   "NOTEQUALS",   "MATCHES",    "NOTMATCHES",    "GREATERTHAN"};

// One line of the advanced editor. Indices must lie within the lists above (std::out_of_range
// otherwise).
struct ConditionLine {
    std::string connector;  // "" on the first line, "AND" or "OR" on the others
    int field = 0;          // into kConditionFields
    int op = 0;             // into kConditionOperators; not kept for "@attachment" (reads back 0)
    std::string value;      // without quotes; not kept for "@attachment" (reads back "")
    bool operator==(const ConditionLine&) const = default;
};

// `@from CONTAINS "x"`; just the field for "@attachment". The connector is not part of it.
std::string LineText(const ConditionLine& line);
// The rule tokens of the lines: connector (when set), field, operator, quoted value.
std::vector<std::string> LinesToTokens(const std::vector<ConditionLine>& lines);

inline constexpr std::string_view kCannotParseRule = "Cannot parse rule";
struct ParsedLines {
    std::vector<ConditionLine> lines;
    std::string error;  // empty when the tokens read as lines, else kCannotParseRule
};
// Reads tokens back into lines; LinesToTokens' output gives its lines again. Each line is an
// optional "AND"/"OR", one of the offered fields and, unless "@attachment", one of the offered
// operators and a non-empty value token (a leading double quote is dropped with the last
// character). Anything else - another field or operator word, a missing token, an empty
// value - fails with kCannotParseRule and no lines.
ParsedLines TokensToLines(const std::vector<std::string>& tokens);

// The summary below the editors: "Apply this rule after the message arrives", the conditions,
// then one line per action that is on ("    and " before all but the first).
// Advanced rule: "WHERE" and the tokens, each after one space; each connector starts a new line
// of five spaces, so it reads "      AND ...". A line shorter than six characters (a bare
// "WHERE" when there are no tokens) is left out.
// Simple rule: the descriptions of the conditions that are on, one per line, each after the
// first preceded by "     or " as any one of them makes the rule match.
std::vector<std::string> RuleSummary(const CMailRule& rule);

}  // namespace ph
