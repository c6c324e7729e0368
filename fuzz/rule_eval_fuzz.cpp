// Arbitrary rule expressions against a message made from the same input. The input is read
// as lines: the lines before a "%%" line are the message's fields, in the order of FieldLine
// below; every line after it is one token. A token line starting with "$" is expanded
// instead: each following byte picks a word of kDictionary, so that byte-level mutation
// reaches long chains of operators, parentheses and field names that a mutator would rarely
// spell out letter by letter. Without a "%%" line the whole input is tokens and the message
// keeps fixed fields.
//
// The promises: nothing crashes; the one-off Evaluate, a classified CompiledExpression, an
// advanced rule and its clone all give the same answer on identical messages, and again on a
// second run; the context is asked for groups and bodies at most once per token, so an
// expression of any length costs linear time (the fuzzer's time-out catches the rest); the
// fast substring test finds exactly what a plain search finds. The tokens also serve as the
// word lists of a simple rule, which runs the "[group]" words.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Bytes.h"
#include "model/CAccountGroupNode.h"
#include "model/CEmailAccount.h"
#include "model/CEmailMessage.h"
#include "rules/CMailRule.h"
#include "rules/RuleLanguage.h"
#include "rules/TextSearch.h"

namespace {

void Check(bool promise) {
    if (!promise) __builtin_trap();
}

// The words a "$" line draws from: every operator word (and the end mark, which stops an
// expression early), every field name and one unknown, and literals that hit the group
// look-ups, the truth words and the edge cases of quoting.
constexpr std::string_view kDictionary[] = {
    "(", ")", "NOT", "CONTAINS", "NOTCONTAINS", "STARTSWITH", "NOTSTARTSWITH", "ENDSWITH",
    "NOTENDSWITH", "MATCHES", "NOTMATCHES", "EQUALS", "NOTEQUALS", "GT", "GREATERTHAN", ">", ">=",
    "<", "<=", "AND", "OR", "SOE", "UNKNOWN", "[Friends]",
    "@from", "@subject", "@to", "@cc", "@body", "@size", "@account", "@attachment",
    "@attachmenttype", "@nosuchfield", "@",
    "\"alice@example.com\"", "\"bob@example.com\"", "\"[Friends]\"", "\"[Work]\"", "\"[Nobody]\"",
    "\"[]\"", "\"TRUE\"", "\"FALSE\"", "\"\"", "\"", "#", "#100", "#0", "#-5", "#99999999999",
    "\"Lunch\"", "\"pdf\"", "\"example\"",
};

// The message fields a line before "%%" sets, in order. The body is not in the message at
// first: the context's FetchBody delivers it, as for mail still on the server.
enum FieldLine {
    kLineFrom, kLineSubject, kLineTo, kLineCc, kLineSize, kLineAttachment, kLineAccount, kLineBody,
    kFieldLines
};

struct Input {
    std::string fields[kFieldLines] = {"alice@example.com", "Lunch on Friday", "bob@example.com",
                                       "carol@example.com", "12000", "", "me@example.org",
                                       "See you at noon."};
    std::vector<std::string> tokens;
};

Input Parse(std::string_view text) {
    Input in;
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        const size_t at = text.find('\n', start);
        const size_t end = at == std::string_view::npos ? text.size() : at;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    size_t first = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "%%") continue;
        for (size_t f = 0; f < i && f < kFieldLines; ++f) in.fields[f] = std::string(lines[f]);
        first = i + 1;
        break;
    }
    for (size_t i = first; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.starts_with("$")) {
            for (unsigned char c : line.substr(1))
                in.tokens.emplace_back(kDictionary[c % std::size(kDictionary)]);
        } else {
            in.tokens.emplace_back(line);
        }
    }
    return in;
}

// One group with a member and a sub-group with another, so membership walks the tree; the
// counts bound the work an evaluation asks of the document.
class FakeContext : public ph::IRuleContext {
public:
    explicit FakeContext(std::string body) : m_body(std::move(body)) {
        m_alice.m_email = "alice@example.com";
        m_bob.m_email = "bob@example.com";
        m_friends.m_name = "Friends";
        m_friends.m_members.push_back({&m_alice, 1});
        m_work.m_name = "Work";
        m_work.m_parent = &m_friends;
        m_work.m_members.push_back({&m_bob, 2});
        m_friends.m_children.push_back(&m_work);
    }

    const ph::CAccountGroupNode* FindGroupByName(std::string_view name) const override {
        ++lookups;
        if (name == m_friends.m_name) return &m_friends;
        if (name == m_work.m_name) return &m_work;
        return nullptr;
    }
    std::string FolderNameOf(int) const override { return {}; }
    bool FetchBody(ph::CEmailMessage& message) override {
        ++fetches;
        // A body that starts like markup arrives as HTML, as the parser would give it.
        (m_body.starts_with("<") ? message.HtmlText : message.PlainText) = m_body;
        return !m_body.empty();
    }

    mutable size_t lookups = 0;
    size_t fetches = 0;

private:
    std::string m_body;
    ph::AddressBookEntry m_alice, m_bob;
    ph::CAccountGroupNode m_friends, m_work;
};

// An account of no kind: it has no access object and so never touches the network.
ph::CEmailAccount::Settings NoAccessSettings() {
    ph::CEmailAccount::Settings settings;
    settings.type = ph::kTypeNone;
    return settings;
}

void Fill(ph::CEmailMessage& m, const Input& in) {
    m.From = in.fields[kLineFrom];
    m.FromAddress = in.fields[kLineFrom];
    m.Subject = in.fields[kLineSubject];
    m.To = in.fields[kLineTo];
    m.Cc = in.fields[kLineCc];
    m.MsgSize = ph::LeadingInt(in.fields[kLineSize]);
    m.AttachmentType = in.fields[kLineAttachment];
    m.HasAttachment = !m.AttachmentType.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Input in = Parse(std::string_view(reinterpret_cast<const char*>(data), size));

    // The account is made once; only its address changes. An empty address line stands for
    // a message without an account.
    static ph::CEmailAccount account(1, NoAccessSettings(), nullptr);
    account.m_emailName = in.fields[kLineAccount];
    const ph::CEmailAccount* owner = account.m_emailName.empty() ? nullptr : &account;

    // A fresh message and context per evaluation, so that a body fetched by one cannot change
    // what the next one sees. Each token causes at most one group look-up and one fetch per
    // pass over the tokens; `passes` is how many passes `evaluate` makes.
    auto run = [&](size_t passes, auto evaluate) {
        FakeContext context(in.fields[kLineBody]);
        ph::CEmailMessage message(nullptr);
        Fill(message, in);
        const bool result = evaluate(message, context);
        Check(context.lookups <= passes * in.tokens.size());
        Check(context.fetches <= passes * in.tokens.size());
        return result;
    };

    using ph::CEmailMessage;
    const bool once =
        run(1, [&](CEmailMessage& m, FakeContext& c) { return ph::Evaluate(in.tokens, m, owner, c); });
    const ph::CompiledExpression compiled(in.tokens);
    Check(run(1, [&](CEmailMessage& m, FakeContext& c) { return compiled.Evaluate(m, owner, c); }) == once);

    ph::CAdvMailRule rule;
    rule.Tokens() = in.tokens;
    Check(run(2, [&](CEmailMessage& m, FakeContext& c) {
              // The second match runs on the classified form kept by the first, after the body
              // has been fetched.
              const bool first = rule.Matches(m, owner, c);
              Check(rule.Matches(m, owner, c) == first);
              return first;
          }) == once);
    // A clone shares the classified form.
    const std::unique_ptr<ph::CMailRule> clone = rule.Clone();
    Check(run(1, [&](CEmailMessage& m, FakeContext& c) { return clone->Matches(m, owner, c); }) == once);

    // The substring test behind CONTAINS and the word lists, in each of its kernels, against
    // the plain search: each token in the body and in the next token.
    const std::string& body = in.fields[kLineBody];
    auto checkContains = [](const std::string& text, const std::string& word) {
        const bool expected = text.find(word) != std::string::npos;
        Check(ph::TextContains(text, word) == expected);
        using Kernel = ph::TextSearchKernel;
        for (Kernel kernel : {Kernel::Avx512, Kernel::Avx2, Kernel::Sse2, Kernel::Plain})
            if (ph::HasTextSearchKernel(kernel)) Check(ph::TextContainsUsing(kernel, text, word) == expected);
    };
    for (size_t i = 0; i < in.tokens.size(); ++i) {
        checkContains(body, in.tokens[i]);
        if (i + 1 < in.tokens.size()) checkContains(in.tokens[i + 1], in.tokens[i]);
    }

    // The same tokens as the words of every list of a simple rule, with the body in place.
    ph::CMailRule simple;
    for (int f = 0; f < ph::kRuleFieldCount; ++f)
        simple.m_words[f] = {in.tokens, static_cast<int>(in.tokens.size() % 3), f % 2};
    // Eight lists are matched: the body and the To/Cc lists twice each.
    run(8, [&](CEmailMessage& m, FakeContext& c) {
        m.PlainText = body;
        return simple.Matches(m, owner, c);
    });
    return 0;
}
