#include "rules/RuleVocabulary.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace ph {
namespace {

using Texts = std::vector<std::string>;

TEST(RuleVocabulary, WordListText) {
    const struct { Texts words; int mode; std::string expected; } cases[] = {
        {{}, 1, ""}, {{"a"}, 0, "'a'"}, {{"a", "b"}, 0, "'a' and 'b'"},
        {{"a", "b", "c"}, 1, "'a' or 'b' or 'c'"}};
    for (const auto& c : cases) EXPECT_EQ(WordListText({c.words, c.mode, 0}), c.expected);
}

TEST(RuleVocabulary, ConditionDescriptions) {
    // With nothing set, every condition reads as the list shows it.
    for (int c = 0; c < kRuleConditionCount; ++c)
        EXPECT_EQ(ConditionDescription(CMailRule{}, c), ConditionListTexts()[c]);
    CMailRule rule;
    rule.m_words[kFieldSubject] = {{}, 1, 1};
    rule.m_words[kFieldTo] = {{"a", "b"}, 0, 1};
    rule.m_words[kFieldToCc] = {{"a", "b", "c"}, 1, 0};
    rule.Account = "Work";
    rule.Size = "100";
    const struct { int condition; bool on; std::string expected; } cases[] = {
        {kFieldFrom, false, "Where the From line contains people"},
        {kFieldSubject, false, "Where the Subject line does not contain specific words"},
        {kFieldTo, true, "Where the To line does not contain 'a' and 'b'"},
        {kFieldToCc, true, "Where the To or CC line contains 'a' or 'b' or 'c'"},
        {kConditionPriority, false, "Where the message is marked as priority"},
        {kConditionAccount, true, "Where the message is from the Work account"},
        {kConditionSize, true, "Where the size is more than 100"}};
    for (const auto& c : cases) {
        EXPECT_EQ(ConditionDescription(rule, c.condition), c.expected);
        EXPECT_EQ(IsConditionOn(rule, c.condition), c.on) << c.expected;
    }
}

TEST(RuleVocabulary, ActionDescriptionsOffAndOn) {
    const struct { RuleAction action; std::string CMailRule::*field; std::string off, on; } cases[] = {
        {kActionMove, &CMailRule::MoveFolderName, "Move it to the specified folder", "Move it to the V folder"},
        {kActionCopy, &CMailRule::CopyFolderName, "Copy it to the specified folder", "Copy it to the V folder"},
        {kActionForward, &CMailRule::Forward, "Forward it to people", "Forward it to V"},
        {kActionHighlight, &CMailRule::Highlight, "Highlight it with color", "Highlight it with V"},
        {kActionMarkWatch, &CMailRule::MarkWatch, "Mark the message as watched or ignored", "Mark the message as V"},
        {kActionReply, &CMailRule::Reply, "Reply with message", "Reply with V"},
        {kActionDontDownload, &CMailRule::DontDownload, "Do not download it from the server",
         "Do not download it from the server"}};
    for (const auto& c : cases) {
        CMailRule rule;
        EXPECT_EQ(ActionDescription(rule, c.action), c.off);
        rule.*c.field = "V";
        ASSERT_TRUE(rule.IsOn(c.action));
        EXPECT_EQ(ActionDescription(rule, c.action), c.on);
    }
    EXPECT_EQ(ActionListTexts()[kActionDontDownload], "Do not download it from server");
}

TEST(RuleVocabulary, LineText) {
    EXPECT_EQ(LineText({"", 0, 0, "x"}), "@from CONTAINS \"x\"");
    EXPECT_EQ(LineText({"AND", 5, 10, "100"}), "@size GREATERTHAN \"100\"");
    EXPECT_EQ(LineText({"OR", kAttachmentField, 0, ""}), "@attachment");
}

TEST(RuleVocabulary, LinesRoundTripThroughTokens) {
    const std::vector<ConditionLine> lines = {
        {"", 0, 0, "x"}, {"AND", kAttachmentField, 0, ""}, {"OR", 1, 9, ""}, {"AND", 4, 6, "a \"b\" c"}};
    const Texts tokens = LinesToTokens(lines);
    EXPECT_EQ(tokens, (Texts{"@from", "CONTAINS", "\"x\"", "AND", "@attachment", "OR", "@subject",
                             "NOTMATCHES", "\"\"", "AND", "@account", "EQUALS", "\"a \"b\" c\""}));
    const ParsedLines parsed = TokensToLines(tokens);
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.lines, lines);
    // A lone quote reads as an empty value; a value without a leading quote is kept whole.
    EXPECT_EQ(TokensToLines({"@size", "EQUALS", "\""}).lines.at(0).value, "");
    EXPECT_EQ(TokensToLines({"@size", "EQUALS", "#100"}).lines.at(0).value, "#100");
}

TEST(RuleVocabulary, CannotParseRule) {
    const Texts cases[] = {
        {"@body", "CONTAINS", "\"x\""},                // a field the editor does not offer
        {"@from", "CONTAINS", ""},                     // empty value token
        {"@from", "CONTAINS"},                         // truncated before the value
        {"@from"},                                     // truncated before the operator
        {"@from", "GT", "\"x\""},                      // an operator the editor does not offer
        {"@attachment", "AND"},                        // a connector with no line after it
        {"(", "@from", "CONTAINS", "\"x\"", ")"},      // grouping
        {"@from", "CONTAINS", "\"x\"", "@to", "NOT"}}; // garbage after a good line
    for (const Texts& tokens : cases) {
        const ParsedLines parsed = TokensToLines(tokens);
        EXPECT_EQ(parsed.error, "Cannot parse rule") << ::testing::PrintToString(tokens);
        EXPECT_TRUE(parsed.lines.empty());
    }
}

TEST(RuleVocabulary, RandomTokensReadBackSafely) {
    const Texts pool = {"@from", "@attachment", "@body", "CONTAINS", "GT", "AND", "OR", "\"", "\"v\"", ""};
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        Texts tokens(rng() % 9);
        for (std::string& t : tokens) t = pool[rng() % pool.size()];
        const ParsedLines parsed = TokensToLines(tokens);
        if (parsed.error.empty()) {
            EXPECT_EQ(TokensToLines(LinesToTokens(parsed.lines)).lines, parsed.lines);
        }
    }
}

TEST(RuleVocabulary, Summaries) {
    CAdvMailRule adv;
    adv.Tokens() = {"@from", "CONTAINS", "\"x\"", "AND", "@size", "GREATERTHAN", "\"100\""};
    adv.CopyFolderName = "Archive";
    adv.Stop = "1";
    // Each token follows one space and a connector's line starts with five, so "AND" stands
    // after six spaces.
    EXPECT_EQ(RuleSummary(adv), (Texts{"Apply this rule after the message arrives",
                                       "WHERE @from CONTAINS \"x\"", "      AND @size GREATERTHAN \"100\"",
                                       "Copy it to the Archive folder", "    and Stop processing more rules"}));
    adv.Tokens().clear();  // a bare "WHERE" is too short to be shown
    EXPECT_EQ(RuleSummary(adv).size(), 3u);

    CMailRule simple;
    simple.m_words[kFieldFrom] = {{"a"}, 1, 0};
    simple.Attachment = "1";
    simple.Delete = "1";
    EXPECT_EQ(RuleSummary(simple), (Texts{"Apply this rule after the message arrives",
                                          "Where the From line contains 'a'",
                                          "     or Where the message has an attachment", "Delete it"}));
}

}  // namespace
}  // namespace ph
