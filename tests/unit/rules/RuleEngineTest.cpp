#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "model/CAccountGroupNode.h"
#include "model/CEmailAccount.h"
#include "model/CEmailMessage.h"
#include "rules/CMailRule.h"
#include "rules/MessagePrefetch.h"
#include "rules/RuleLanguage.h"

namespace ph {
namespace {

using Texts = std::vector<std::string>;

// Groups: "Friends" holds ann and, through its sub-group "Close", carol. A second group of the
// same name holds dave; only the first group of a name counts.
class FakeContext : public IRuleContext {
public:
    FakeContext() {
        CAccountGroupNode* friends = AddGroup("Friends", {"ann@x.org"});
        CAccountGroupNode* close = AddGroup("Close", {"carol@x.org"});
        friends->m_children.push_back(close);
        AddGroup("Friends", {"dave@x.org"});
    }
    const CAccountGroupNode* FindGroupByName(std::string_view name) const override {
        for (const auto& g : groups)
            if (g->m_name == name) return g.get();
        return nullptr;
    }
    std::string FolderNameOf(int id) const override { return id == 7 ? "Archive" : ""; }
    bool FetchBody(CEmailMessage&) override { return false; }

private:
    CAccountGroupNode* AddGroup(const std::string& name, const Texts& emails) {
        auto g = std::make_unique<CAccountGroupNode>();
        g->m_name = name;
        for (const auto& e : emails) {
            entries.push_back(std::make_unique<AddressBookEntry>(AddressBookEntry{0, "", e}));
            g->m_members.push_back({entries.back().get(), 0});
        }
        groups.push_back(std::move(g));
        return groups.back().get();
    }
    std::vector<std::unique_ptr<CAccountGroupNode>> groups;
    std::vector<std::unique_ptr<AddressBookEntry>> entries;
};

// Counts the bodies asked for; hands out `body` (none when empty) as the plain text.
class FetchingContext : public FakeContext {
public:
    explicit FetchingContext(std::string body) : body(std::move(body)) {}
    bool FetchBody(CEmailMessage& m) override {
        ++fetches;
        if (!body.empty()) m.PlainText = body;
        return !body.empty();
    }
    std::string body;
    int fetches = 0;
};

// The rule language run as it is described, token by token on a stack of operators and a
// stack of texts, each operand resolved when an operator takes it: what the engine, which
// compiles the tokens once and skips what cannot change a result, has to agree with.
class ReferenceEvaluation {
public:
    ReferenceEvaluation(CEmailMessage& m, const CEmailAccount* account, IRuleContext& context)
        : m_message(m), m_account(account), m_context(context) {}

    bool Run(const Texts& tokens) {
        const TokenClass end = ClassifyToken("SOE");
        std::vector<TokenClass> operators = {end};
        for (size_t next = 0; !operators.empty();) {
            if (next < tokens.size() && !tokens[next].empty() &&
                std::string_view("\"#@").find(tokens[next][0]) != std::string_view::npos) {
                m_operands.push_back({tokens[next++], false});
                continue;
            }
            const TokenClass cls = next < tokens.size() ? ClassifyToken(tokens[next++]) : end;
            while (!operators.empty() && cls.incoming <= operators.back().stack) {
                const TokenClass top = operators.back();
                operators.pop_back();
                Apply(top, operators);
            }
            if (!cls.isEnd) operators.push_back(cls);
        }
        return !m_operands.empty() && m_operands[0].result && m_operands[0].text == "TRUE";
    }

private:
    struct Entry {
        std::string text;  // a token, or "TRUE"/"FALSE" for a result
        bool result;
    };
    Entry Pop() {
        if (m_operands.empty()) return {"\"", false};  // a missing operand: the empty literal
        Entry e = m_operands.back();
        m_operands.pop_back();
        return e;
    }
    std::string Value(const Entry& e) {
        std::string scratch;
        return e.result
                   ? e.text
                   : std::string(ResolveOperand(e.text, m_message, m_account, m_context, scratch));
    }
    void Apply(const TokenClass& cls, std::vector<TokenClass>& operators) {
        if (cls.op == RuleOp::Close && !operators.empty()) {
            const TokenClass next = operators.back();
            operators.pop_back();
            if (next.op != RuleOp::Close) Apply(next, operators);
            return;
        }
        if (cls.op == RuleOp::End || cls.op == RuleOp::Open || cls.op == RuleOp::NoOp ||
            cls.op == RuleOp::Close)
            return;
        bool value;
        if (cls.op == RuleOp::Not) {
            value = Value(Pop()) != "TRUE";
        } else {
            const Entry r = Pop(), l = Pop();
            const std::string rv = Value(r), lv = Value(l);
            value = Compare(cls.op, lv, rv);
        }
        m_operands.push_back({value ? "TRUE" : "FALSE", true});
    }
    bool Compare(RuleOp op, const std::string& l, const std::string& r) {
        const bool group = r.size() >= 2 && r.front() == '[' && r.back() == ']';
        const CAccountGroupNode* g =
            group ? m_context.FindGroupByName(r.substr(1, r.size() - 2)) : nullptr;
        const bool member = group ? g && IsGroupMember(l, *g) : l == r;
        switch (op) {
            case RuleOp::Contains: return l.find(r) != std::string::npos;
            case RuleOp::NotContains: return l.find(r) == std::string::npos;
            case RuleOp::StartsWith: return l.starts_with(r);
            case RuleOp::NotStartsWith: return !l.starts_with(r);
            case RuleOp::EndsWith: return l.ends_with(r);
            case RuleOp::NotEndsWith: return !l.ends_with(r);
            case RuleOp::Matches: return member;
            case RuleOp::NotMatches: return !member;
            case RuleOp::Equals: return l == r;
            case RuleOp::NotEquals: return l != r;
            case RuleOp::Gt: return LeadingInt(l) > LeadingInt(r);
            case RuleOp::Greater: return l > r;
            case RuleOp::GreaterEq: return l >= r;
            case RuleOp::Less: return l < r;
            case RuleOp::LessEq: return l <= r;
            case RuleOp::And: return l == "TRUE" && r == "TRUE";
            case RuleOp::Or: return l == "TRUE" || r == "TRUE";
            default: return false;
        }
    }

    CEmailMessage& m_message;
    const CEmailAccount* m_account;
    IRuleContext& m_context;
    std::vector<Entry> m_operands;
};

Texts Tokens(const std::string& expression) {
    Texts out;
    std::istringstream in(expression);
    for (std::string t; in >> t;) out.push_back(t);
    return out;
}

CEmailAccount::Settings Me() {
    CEmailAccount::Settings s;
    s.userName = "me";
    s.emailName = "me@example.org";
    return s;
}

class RuleEngine : public testing::Test {
protected:
    RuleEngine() : account(1, Me(), nullptr), m(&account) {
        m.From = "Ann <ann@x.org>";
        m.FromAddress = "ann@x.org";
        m.Subject = "Hello World";
        m.To = "bob@y.org";
        m.Cc = "cc@z.org";
        m.PlainText = "plain text";
        m.MsgSize = 250;
        m.HasAttachment = true;
        m.AttachmentType = "pdf";
    }
    bool Adv(const std::string& expression) {
        CAdvMailRule rule;
        rule.Tokens() = Tokens(expression);
        const bool result = rule.Matches(m, &account, context);
        EXPECT_EQ(Evaluate(rule.Tokens(), m, &account, context), result) << expression;
        return result;
    }

    FakeContext context;
    CEmailAccount account;
    CEmailMessage m;
};

TEST_F(RuleEngine, Expressions) {
    const struct { const char* expression; bool matches; } cases[] = {
        // Fields, literals and the comparisons, case-sensitive.
        {R"(@subject CONTAINS "World")", true}, {R"(@subject CONTAINS "world")", false},
        {R"(@subject NOTCONTAINS "xyz")", true}, {R"(@subject STARTSWITH "Hello")", true},
        {R"(@subject NOTSTARTSWITH "Hello")", false}, {R"(@subject ENDSWITH "World")", true},
        {R"(@subject NOTENDSWITH "Hello")", true}, {R"(@from EQUALS "ann@x.org")", true},
        {R"(@from NOTEQUALS "ann@x.org")", false}, {R"(@to EQUALS "bob@y.org")", true},
        {R"(@cc EQUALS "cc@z.org")", true}, {R"(@account EQUALS "me@example.org")", true},
        {R"(@size EQUALS #250)", true}, {R"(@attachment EQUALS "TRUE")", true},
        {R"(@attachmenttype EQUALS #pdf)", true}, {R"(@nosuch EQUALS "")", true},
        {R"(@body ENDSWITH "text")", true},
        {R"(@body STARTSWITH "plain)", true},  // an unclosed literal keeps its last character
        // Precedence: AND binds tighter than OR, parentheses override it.
        {R"(@from EQUALS "ann@x.org" OR @subject CONTAINS "zz" AND @to CONTAINS "zz")", true},
        {R"(( @from EQUALS "ann@x.org" OR @subject CONTAINS "zz" ) AND @to CONTAINS "zz")", false},
        {R"(@size EQUALS #250 > #FALSE)", true}, {R"(#b > #a AND #c > #b)", true},
        {R"(NOT ( @subject CONTAINS "zz" ))", true}, {R"(NOT ( @subject CONTAINS "Hello" ))", false},
        {R"(NOT #x)", true}, {R"(NOT #TRUE)", false},
        // GT compares leading numbers, the others compare texts.
        {R"(@size GREATERTHAN "100")", true}, {R"(@size GT "1000")", false}, {R"(#12abc GT #9)", true},
        {R"(#abc GT "-1")", true}, {R"(#12 > #9)", false}, {R"(#a >= #a)", true}, {R"(#a < #b)", true},
        {R"(#b <= #a)", false},
        // Groups: direct members, sub-group members, exact addresses, first group of the name.
        {R"(@from MATCHES "[Friends]")", true}, {R"(#carol@x.org MATCHES "[Friends]")", true},
        {R"(#dave@x.org MATCHES "[Friends]")", false}, {R"(#nn@x.org MATCHES "[Friends]")", false},
        {R"(@from MATCHES "[Missing]")", false}, {R"(@from NOTMATCHES "[Friends]")", false},
        {R"(@from MATCHES "ann@x.org")", true},
        // Only a result of TRUE at the bottom matches: a lone operand never does; missing
        // operands are empty texts, unpaired parentheses and unknown words do nothing.
        {R"("TRUE")", false}, {R"(#TRUE)", false}, {"", false},
        {R"(( @subject CONTAINS "Hello")", true}, {R"(@subject CONTAINS "Hello" ))", true},
        {R"() @subject CONTAINS "Hello")", true}, {R"(@subject CONTAINS)", false},
        {R"(@subject NOTEQUALS)", true}, {R"(NOT)", true}, {R"(AND OR ( ))", false},
        {R"(#a EQUALS #a AND #b #c)", true}, {R"(@subject CONTAINS "Hello" FOO)", true},
        {R"(@subject FOO "Hello")", false},
    };
    for (const auto& c : cases) EXPECT_EQ(Adv(c.expression), c.matches) << c.expression;

    m.HtmlText = "<b>html</b>";
    EXPECT_TRUE(Adv(R"(@body EQUALS "<b>html</b>")"));
    m.MsgSize = 99;
    EXPECT_FALSE(Adv(R"(@size GREATERTHAN "100")"));
    CAdvMailRule rule;
    rule.Tokens() = Tokens(R"(@account EQUALS "")");
    EXPECT_TRUE(rule.Matches(m, nullptr, context));  // no account: an empty text
}

TEST_F(RuleEngine, CompiledEvaluationAgreesWithTheLanguageOnRandomTokenLists) {
    // Fields (the body among them), literals that meet them, every operator and words that
    // are none, drawn at random: malformed lists are most of them.
    const Texts words = Tokens(
        R"(( ) NOT CONTAINS NOTCONTAINS STARTSWITH NOTSTARTSWITH ENDSWITH NOTENDSWITH MATCHES )"
        R"(NOTMATCHES EQUALS NOTEQUALS GT GREATERTHAN > >= < <= AND OR AND OR SOE FOO TRUE @from )"
        R"(@subject @to @cc @body @body @size @account @attachment @attachmenttype @nosuch "Hello" )"
        R"("World" "ann@x.org" "[Friends]" "[Nobody]" "TRUE" #TRUE "FALSE" #250 #100 #-3 "" "plain )"
        R"("text" #pdf)");
    std::mt19937 random(7);
    for (int n = 0; n < 3000; ++n) {
        Texts tokens(random() % 14);
        for (std::string& t : tokens) t = words[random() % words.size()];
        const CompiledExpression compiled(tokens);
        const int32_t size = static_cast<int32_t>(random() % 400) - 50;
        const bool attachment = random() % 2;
        // Bodies in memory, fetched on demand, and never to be had; with and without account.
        for (const char* fetched : {"", "plain text"})
            for (const bool inMemory : {true, false})
                for (const CEmailAccount* owner : {static_cast<const CEmailAccount*>(&account),
                                                   static_cast<const CEmailAccount*>(nullptr)}) {
                    // The result and how often a body was asked for.
                    auto run = [&](auto evaluate) {
                        CEmailMessage message(nullptr);
                        message.From = m.From;
                        message.FromAddress = m.FromAddress;
                        message.Subject = m.Subject;
                        message.To = m.To;
                        message.Cc = m.Cc;
                        message.AttachmentType = m.AttachmentType;
                        message.MsgSize = size;
                        message.HasAttachment = attachment;
                        if (inMemory) message.PlainText = "plain text";
                        FetchingContext context(fetched);
                        const bool result = evaluate(message, context);
                        return std::make_pair(result, context.fetches);
                    };
                    EXPECT_EQ(run([&](CEmailMessage& msg, FetchingContext& c) {
                                  return compiled.Evaluate(msg, owner, c);
                              }),
                              run([&](CEmailMessage& msg, FetchingContext& c) {
                                  return ReferenceEvaluation(msg, owner, c).Run(tokens);
                              }))
                        << ::testing::PrintToString(tokens);
                }
    }
}

TEST_F(RuleEngine, EditedTokensTakeEffectAtTheNextMatch) {
    // The rule is matched once before each edit, so that a compiled form exists to go stale;
    // a clone taken before an edit keeps the tokens it was copied with.
    const struct {
        const char* before;
        const char* after;
        bool matchesBefore, matchesAfter;
    } cases[] = {
        {R"(@subject CONTAINS "World")", R"(@subject CONTAINS "Moon")", true, false},
        {R"(@subject CONTAINS "Moon")", R"(@subject CONTAINS "World")", false, true},
        {R"(@size GT #100)", R"(@size GT #1000)", true, false},
        {R"(@to EQUALS "bob@y.org" AND @cc EQUALS "cc@z.org")",
         R"(@to EQUALS "bob@y.org" AND @cc EQUALS "dd@z.org")", true, false},
        {R"(@from MATCHES "[Nobody]")", R"(@from MATCHES "[Friends]")", false, true},
    };
    for (const auto& c : cases) {
        CAdvMailRule rule;
        rule.Tokens() = Tokens(c.before);
        EXPECT_EQ(rule.Matches(m, &account, context), c.matchesBefore) << c.before;
        const std::unique_ptr<CMailRule> clone = rule.Clone();
        rule.Tokens() = Tokens(c.after);
        EXPECT_EQ(rule.Matches(m, &account, context), c.matchesAfter) << c.after;
        EXPECT_EQ(clone->Matches(m, &account, context), c.matchesBefore) << c.before;
        // An edit of one token in place goes through the same accessor.
        rule.Tokens().back() = Tokens(c.before).back();
        EXPECT_EQ(rule.Matches(m, &account, context), c.matchesBefore) << c.before;
    }
}

TEST_F(RuleEngine, LongBodiesAreSearchedToTheEnd) {
    // Bodies long enough to be searched by their words' rarest bytes, with the word at the
    // start, at the very end, cut short at the end, or only in the HTML text.
    const std::string filler(3000, 'e');
    const struct {
        const char* name;
        std::string plain, html;
        bool matches;
    } cases[] = {
        {"at the start", "harbourmaster" + filler, "", true},
        {"at the end", filler + "harbourmaster", "", true},
        {"cut short", filler + "harbourmaste", "", false},
        {"html only", filler, filler + "harbourmaster", true},
        {"neither", filler, filler, false},
    };
    for (const auto& c : cases) {
        m.PlainText = c.plain;
        m.HtmlText = c.html;
        CMailRule simple;
        simple.m_words[kFieldMessage] = {{"zz", "harbourmaster"}, 1, 0};
        EXPECT_EQ(simple.Matches(m, &account, context), c.matches) << c.name;
        // "@body" is the HTML text when there is one, which is where the word is then.
        EXPECT_EQ(Adv(R"(@body CONTAINS "harbourmaster")"), c.matches) << c.name;
        EXPECT_EQ(Adv(R"(@body NOTCONTAINS "harbourmaster")"), !c.matches) << c.name;
    }
}

TEST_F(RuleEngine, LongAndHostileTokenListsEndWithoutAMatch) {
    const std::vector<Texts> lists = {
        Texts(20000, "("), Texts(20000, ")"), Texts(20000, "NOT"), Texts(20000, "AND"), Texts(20000, "@body"),
        [] {
            Texts t;
            for (int i = 0; i < 5000; ++i) t.insert(t.end(), {"(", "#a", "EQUALS", "#b", "OR"});
            return t;
        }(),
    };
    for (const Texts& tokens : lists) EXPECT_FALSE(Evaluate(tokens, m, &account, context)) << tokens[0];

    Texts chain = {"#x", "EQUALS", "#x"};  // a long, well-formed chain still evaluates
    for (int i = 0; i < 5000; ++i) chain.insert(chain.end(), {"AND", "(", "#a", "NOTEQUALS", "#b", ")"});
    EXPECT_TRUE(Evaluate(chain, m, &account, context));
}

TEST_F(RuleEngine, SimpleRuleConditions) {
    using Setup = void (*)(CMailRule&);
    const struct { const char* name; Setup setup; bool matches; } cases[] = {
        {"nothing set", [](CMailRule&) {}, false},
        {"from", [](CMailRule& r) { r.m_words[kFieldFrom] = {{"Ann <"}, 1, 0}; }, true},
        {"from group", [](CMailRule& r) { r.m_words[kFieldFrom] = {{"[Friends]"}, 1, 0}; }, false},
        {"subject", [](CMailRule& r) { r.m_words[kFieldSubject] = {{"zz", "World"}, 1, 0}; }, true},
        {"message plain", [](CMailRule& r) { r.m_words[kFieldMessage] = {{"plain"}, 1, 0}; }, true},
        {"message html", [](CMailRule& r) { r.m_words[kFieldMessage] = {{"<i>"}, 1, 0}; }, true},
        {"to", [](CMailRule& r) { r.m_words[kFieldTo] = {{"bob"}, 1, 0}; }, true},
        {"to is not cc", [](CMailRule& r) { r.m_words[kFieldTo] = {{"cc@"}, 1, 0}; }, false},
        {"cc", [](CMailRule& r) { r.m_words[kFieldCc] = {{"cc@"}, 1, 0}; }, true},
        {"tocc via cc", [](CMailRule& r) { r.m_words[kFieldToCc] = {{"cc@"}, 1, 0}; }, true},
        {"tocc via to", [](CMailRule& r) { r.m_words[kFieldToCc] = {{"bob"}, 1, 0}; }, true},
        {"account any case", [](CMailRule& r) { r.Account = "ME@Example.org"; }, true},
        {"other account", [](CMailRule& r) { r.Account = "you@example.org"; }, false},
        {"size 10k of 10241", [](CMailRule& r) { r.Size = "10"; }, true},
        {"size 11k", [](CMailRule& r) { r.Size = "11"; }, false},
        {"attachment", [](CMailRule& r) { r.Attachment = "1"; }, true},
        {"all", [](CMailRule& r) { r.All = "1"; }, true},
    };
    m.HtmlText = "<i>x</i>";
    m.MsgSize = 10241;
    for (const auto& c : cases) {
        CMailRule rule;
        c.setup(rule);
        EXPECT_EQ(rule.Matches(m, &account, context), c.matches) << c.name;
    }
    CMailRule edge;
    edge.Size = "10";
    edge.Attachment = "1";
    m.MsgSize = 10240;
    m.HasAttachment = false;
    EXPECT_FALSE(edge.Matches(m, &account, context));  // 10 KB is not more than 10 KB
}

TEST_F(RuleEngine, WordMatching) {
    const struct { const char* text; WordList list; bool matches; } cases[] = {
        {"abc", {{}, 0, 0}, false}, {"abc", {{}, 0, 1}, false}, {"abc", {{"a", "b"}, 0, 0}, true},
        {"a", {{"a", "b"}, 0, 0}, false}, {"a", {{"a", "b"}, 0, 1}, true}, {"xyz", {{"a", "b"}, 1, 1}, true},
        {"abc", {{"a"}, 1, 1}, false}, {"abc", {{"a"}, 5, 0}, false}, {"", {{""}, 1, 0}, true},
        {"Abc", {{"abc"}, 1, 0}, false}, {"ann@x.org", {{"[Friends]"}, 1, 0}, true},
        {"carol@x.org", {{"[Friends]"}, 1, 0}, true}, {"dave@x.org", {{"[Friends]"}, 1, 0}, false},
        {"ann@x.org", {{"[Nobody]"}, 1, 0}, false},
        {"[Friends]", {{"[Friends]"}, 1, 0}, false},  // a group word is never a substring
    };
    for (const auto& c : cases) EXPECT_EQ(MatchWordList(c.text, c.list, context), c.matches) << c.text;

    EXPECT_EQ(SplitLines(""), Texts{});
    EXPECT_EQ(SplitLines("a\nb\n"), (Texts{"a", "b", ""}));
}

TEST_F(RuleEngine, StoredRows) {
    RuleRecord adv;
    adv.From = {"@attachment\nAND\n@to\nCONTAINS\n\"x\"", kAdvancedRuleMarker, 0};
    adv.ActionCopyFolderid = 7;
    adv.ActionMoveFolderid = 8;  // no such folder
    auto rule = CMailRule::FromRecord(adv, context);
    ASSERT_TRUE(rule->IsAdvanced());
    EXPECT_EQ(static_cast<CAdvMailRule&>(*rule).Tokens(), (Texts{"@attachment", "AND", "@to", "CONTAINS", "\"x\""}));
    EXPECT_EQ(rule->CopyFolderName, "Archive");
    EXPECT_TRUE(rule->IsOn(kActionCopy));
    EXPECT_FALSE(rule->IsOn(kActionMove));
    m.To = "x@y";
    EXPECT_TRUE(rule->Matches(m, &account, context));
    m.HasAttachment = false;
    EXPECT_FALSE(rule->Matches(m, &account, context));
    EXPECT_EQ(rule->ToRecord().From.text, adv.From.text);

    // Word text ending in a line break has an empty last word, which is in every text.
    RuleRecord simple;
    simple.Subject = {"zz\n", 1, 0};
    rule = CMailRule::FromRecord(simple, context);
    ASSERT_FALSE(rule->IsAdvanced());
    EXPECT_EQ(rule->m_words[kFieldSubject].words, (Texts{"zz", ""}));
    EXPECT_TRUE(rule->Matches(m, &account, context));
    simple.Subject = {"zz\nHello", 0, 1};
    rule = CMailRule::FromRecord(simple, context);
    EXPECT_EQ(rule->m_words[kFieldSubject].mode, 0);
    EXPECT_TRUE(rule->Matches(m, &account, context));
}

TEST(MessagePrefetch, EveryMessageIsVisitedOnceInOrder) {
    // Lists shorter and longer than the distances loaded ahead; bodies empty, short and longer
    // than the part loaded ahead.
    for (const size_t count : {0u, 1u, 4u, 5u, 8u, 9u, 30u}) {
        std::vector<std::unique_ptr<CEmailMessage>> owned;
        std::vector<CEmailMessage*> pointers;
        for (size_t i = 0; i < count; ++i) {
            owned.push_back(std::make_unique<CEmailMessage>(nullptr));
            owned.back()->HtmlText = std::string(i * 300, '<');
            pointers.push_back(owned.back().get());
        }
        std::vector<CEmailMessage*> visited;
        ForEachPrefetched(owned, [&](CEmailMessage& m) { visited.push_back(&m); });
        EXPECT_EQ(visited, pointers) << count;
        visited.clear();
        ForEachPrefetched(std::span<CEmailMessage* const>(pointers),
                          [&](CEmailMessage& m) { visited.push_back(&m); });
        EXPECT_EQ(visited, pointers) << count;
    }
}

}  // namespace
}  // namespace ph
