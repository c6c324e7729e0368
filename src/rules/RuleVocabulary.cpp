#include "rules/RuleVocabulary.h"

#include <algorithm>

#include "common/Format.h"

namespace ph {
namespace {

// A condition reads `before` + [operator + " "] + value-or-placeholder + `after`. Conditions
// without a placeholder are fixed texts.
struct ConditionText {
    const char* before;
    const char* placeholder;
    const char* after;
};

constexpr std::array<ConditionText, kRuleConditionCount> kConditionTexts = {{
    {"Where the From line ", "people", ""},
    {"Where the Subject line ", "specific words", ""},
    {"Where the message body ", "specific words", ""},
    {"Where the To line ", "people", ""},
    {"Where the CC line ", "people", ""},
    {"Where the To or CC line ", "people", ""},
    {"Where the message is marked as priority", nullptr, ""},
    {"Where the message is from the ", "specified", " account"},
    {"Where the size is more than ", "size", ""},
    {"Where the message has an attachment", nullptr, ""},
    {"Where the message is secure", nullptr, ""},
}};

// The texts of the single conditions, from kConditionPriority on.
constexpr std::array<std::string CMailRule::*, kRuleConditionCount - kConditionPriority>
    kConditionValues = {&CMailRule::Priority, &CMailRule::Account, &CMailRule::Size,
                        &CMailRule::Attachment, &CMailRule::Secure};

// An action's description is `before` + value-or-placeholder + `after`, or `before` alone for
// an action without a value. The list text is kept apart: "Do not download" reads differently
// in the list and in the description.
struct ActionText {
    const char* list;
    const char* before;
    std::string CMailRule::*value;
    const char* placeholder;
    const char* after;
};

constexpr std::array<ActionText, kRuleActionCount> kActionTexts = {{
    {"Move it to the specified folder", "Move it to the ", &CMailRule::MoveFolderName, "specified",
     " folder"},
    {"Copy it to the specified folder", "Copy it to the ", &CMailRule::CopyFolderName, "specified",
     " folder"},
    {"Delete it", "Delete it", nullptr, "", ""},
    {"Forward it to people", "Forward it to ", &CMailRule::Forward, "people", ""},
    {"Highlight it with color", "Highlight it with ", &CMailRule::Highlight, "color", ""},
    {"Flag it", "Flag it", nullptr, "", ""},
    {"Mark it as read", "Mark it as read", nullptr, "", ""},
    {"Mark the message as watched or ignored", "Mark the message as ", &CMailRule::MarkWatch,
     "watched or ignored", ""},
    {"Reply with message", "Reply with ", &CMailRule::Reply, "message", ""},
    {"Stop processing more rules", "Stop processing more rules", nullptr, "", ""},
    {"Do not download it from server", "Do not download it from the server", nullptr, "", ""},
    {"Delete it from server", "Delete it from server", nullptr, "", ""},
}};

const char* ContainsText(const WordList& list) {
    return list.negate == 1 ? "does not contain" : "contains";
}

std::string Filled(const ConditionText& text, const char* op, const std::string& value) {
    std::string out = text.before;
    if (op) (out += op) += ' ';
    if (text.placeholder) out += value.empty() ? text.placeholder : value;
    return out += text.after;
}

// The index of `token` in `list`, or -1.
template <size_t N>
int IndexOf(const std::array<std::string_view, N>& list, std::string_view token) {
    const auto it = std::find(list.begin(), list.end(), token);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

bool IsConnector(std::string_view token) {
    return token == "AND" || token == "OR";
}

}  // namespace

std::string WordListText(const WordList& list) {
    const char* connector = list.mode == 0 ? "and" : "or";
    std::string out;
    for (size_t i = 0; i < list.words.size(); ++i) {
        if (i == 0) {
            out = Format("'%s'", list.words[i].c_str());
        } else {
            out += ' ';
            out += Format("%s '%s'", connector, list.words[i].c_str());
        }
    }
    return out;
}

std::vector<std::string> ConditionListTexts() {
    std::vector<std::string> out;
    for (int i = 0; i < kRuleConditionCount; ++i)
        out.push_back(Filled(kConditionTexts[i], i < kRuleFieldCount ? "contains" : nullptr, {}));
    return out;
}

std::string ConditionDescription(const CMailRule& rule, int condition) {
    const ConditionText& text = kConditionTexts.at(static_cast<size_t>(condition));
    if (condition < kRuleFieldCount) {
        const WordList& list = rule.m_words[condition];
        return Filled(text, ContainsText(list), WordListText(list));
    }
    return Filled(text, nullptr, rule.*kConditionValues[condition - kConditionPriority]);
}

bool IsConditionOn(const CMailRule& rule, int condition) {
    if (condition >= 0 && condition < kRuleFieldCount)
        return !rule.m_words[condition].words.empty();
    return !(rule.*kConditionValues.at(static_cast<size_t>(condition - kConditionPriority)))
                .empty();
}

std::vector<std::string> ActionListTexts() {
    std::vector<std::string> out;
    for (const ActionText& text : kActionTexts) out.emplace_back(text.list);
    return out;
}

std::string ActionDescription(const CMailRule& rule, RuleAction action) {
    const ActionText& text = kActionTexts.at(static_cast<size_t>(action));
    std::string out = text.before;
    if (text.value) {
        const std::string& value = rule.*text.value;
        out += value.empty() ? text.placeholder : value;
        out += text.after;
    }
    return out;
}

std::string LineText(const ConditionLine& line) {
    const std::string field(kConditionFields.at(static_cast<size_t>(line.field)));
    if (line.field == kAttachmentField) return field;
    const std::string op(kConditionOperators.at(static_cast<size_t>(line.op)));
    return Format("%s %s \"%s\"", field.c_str(), op.c_str(), line.value.c_str());
}

std::vector<std::string> LinesToTokens(const std::vector<ConditionLine>& lines) {
    std::vector<std::string> tokens;
    for (const ConditionLine& line : lines) {
        if (!line.connector.empty()) tokens.push_back(line.connector);
        tokens.emplace_back(kConditionFields.at(static_cast<size_t>(line.field)));
        if (line.field == kAttachmentField) continue;
        tokens.emplace_back(kConditionOperators.at(static_cast<size_t>(line.op)));
        tokens.push_back("\"" + line.value + "\"");
    }
    return tokens;
}

ParsedLines TokensToLines(const std::vector<std::string>& tokens) {
    ParsedLines out;
    const auto fail = [&out] {
        out.lines.clear();
        out.error = kCannotParseRule;
        return out;
    };
    // Every step consumes at least the field token, so the walk ends.
    for (size_t i = 0; i < tokens.size();) {
        ConditionLine line;
        if (IsConnector(tokens[i])) line.connector = tokens[i++];
        if (i >= tokens.size() || (line.field = IndexOf(kConditionFields, tokens[i++])) < 0)
            return fail();
        if (line.field != kAttachmentField) {
            if (i >= tokens.size() || (line.op = IndexOf(kConditionOperators, tokens[i++])) < 0)
                return fail();
            if (i >= tokens.size() || tokens[i].empty()) return fail();
            const std::string& value = tokens[i++];
            if (value.front() != '"')
                line.value = value;
            else if (value.size() >= 2)
                line.value = value.substr(1, value.size() - 2);
        }
        out.lines.push_back(std::move(line));
    }
    return out;
}

std::vector<std::string> RuleSummary(const CMailRule& rule) {
    std::vector<std::string> out = {"Apply this rule after the message arrives"};
    if (rule.IsAdvanced()) {
        std::string line = "WHERE";
        const auto emit = [&] {
            if (line.size() >= 6) out.push_back(line);
        };
        for (const std::string& token : static_cast<const CAdvMailRule&>(rule).Tokens()) {
            if (IsConnector(token)) {
                emit();
                line = "     ";
            }
            (line += ' ') += token;
        }
        emit();
    } else {
        bool first = true;
        for (int c = 0; c < kRuleConditionCount; ++c) {
            if (!IsConditionOn(rule, c)) continue;
            out.push_back((first ? "" : "     or ") + ConditionDescription(rule, c));
            first = false;
        }
    }
    bool first = true;
    for (int a = 0; a < kRuleActionCount; ++a) {
        const auto action = static_cast<RuleAction>(a);
        if (!rule.IsOn(action)) continue;
        out.push_back((first ? "" : "    and ") + ActionDescription(rule, action));
        first = false;
    }
    return out;
}

}  // namespace ph
