#include "rules/RuleLanguage.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "common/Bytes.h"
#include "model/CEmailAccount.h"
#include "model/CEmailMessage.h"
#include "rules/CMailRule.h"
#include "rules/TextSearch.h"

namespace ph {
namespace {

struct OperatorRow {
    std::string_view word;
    TokenClass cls;
};

constexpr int kComparison = 10, kRelational = 8;
const OperatorRow kOperators[] = {
    {"(", {15, 2, false, RuleOp::Open}},
    {")", {4, 14, false, RuleOp::Close}},
    {"NOT", {13, 12, false, RuleOp::Not}},
    {"CONTAINS", {kComparison, kComparison, false, RuleOp::Contains}},
    {"NOTCONTAINS", {kComparison, kComparison, false, RuleOp::NotContains}},
    {"STARTSWITH", {kComparison, kComparison, false, RuleOp::StartsWith}},
    {"NOTSTARTSWITH", {kComparison, kComparison, false, RuleOp::NotStartsWith}},
    {"ENDSWITH", {kComparison, kComparison, false, RuleOp::EndsWith}},
    {"NOTENDSWITH", {kComparison, kComparison, false, RuleOp::NotEndsWith}},
    {"MATCHES", {kComparison, kComparison, false, RuleOp::Matches}},
    {"NOTMATCHES", {kComparison, kComparison, false, RuleOp::NotMatches}},
    {"EQUALS", {kComparison, kComparison, false, RuleOp::Equals}},
    {"NOTEQUALS", {kComparison, kComparison, false, RuleOp::NotEquals}},
    {"GT", {kRelational, kRelational, false, RuleOp::Gt}},
    {"GREATERTHAN", {kRelational, kRelational, false, RuleOp::Gt}},
    {">", {kRelational, kRelational, false, RuleOp::Greater}},
    {">=", {kRelational, kRelational, false, RuleOp::GreaterEq}},
    {"<", {kRelational, kRelational, false, RuleOp::Less}},
    {"<=", {kRelational, kRelational, false, RuleOp::LessEq}},
    {"AND", {6, 6, false, RuleOp::And}},
    {"OR", {5, 5, false, RuleOp::Or}},
    {"SOE", {0, 0, true, RuleOp::End}},
};

bool IsOperand(std::string_view token) {
    return !token.empty() && (token[0] == '"' || token[0] == '#' || token[0] == '@');
}

constexpr std::string_view kTrue = "TRUE";
constexpr std::string_view kFalse = "FALSE";

// The value of a result on the operand stack.
std::string_view TruthText(bool value) { return value ? kTrue : kFalse; }

}  // namespace

// What an operand token stands for, decided once per token rather than per message.
struct CompiledExpression::Operand {
    enum class Kind : uint8_t {
        Text, Body, From, Subject, To, Cc, Account, Size, Attachment, AttachmentType
    } kind = Kind::Text;
    std::string_view text;  // the literal (or the token itself) for Kind::Text

    static Operand Of(std::string_view token) {
        if (token.empty()) return {};
        if (token[0] == '"') {
            token.remove_prefix(1);
            if (!token.empty() && token.back() == '"') token.remove_suffix(1);
            return {Kind::Text, token};
        }
        if (token[0] == '#') return {Kind::Text, token.substr(1)};
        if (token[0] != '@') return {Kind::Text, token};
        static const std::pair<std::string_view, Kind> kFields[] = {
            {"@body", Kind::Body},       {"@from", Kind::From},       {"@subject", Kind::Subject},
            {"@to", Kind::To},           {"@cc", Kind::Cc},           {"@account", Kind::Account},
            {"@size", Kind::Size},       {"@attachment", Kind::Attachment},
            {"@attachmenttype", Kind::AttachmentType},
        };
        for (const auto& [name, kind] : kFields)
            if (name == token) return {kind, {}};
        return {};  // an unknown field is an empty text
    }

    // `digits` holds a number written for the message; it must outlive the view.
    std::string_view Resolve(CEmailMessage& m, const CEmailAccount* account, IRuleContext& context,
                             std::array<char, 16>& digits) const {
        switch (kind) {
            case Kind::Text: return text;
            case Kind::Body:
                if (m.HtmlText.empty() && m.PlainText.empty()) context.FetchBody(m);
                return m.HtmlText.empty() ? std::string_view(m.PlainText) : std::string_view(m.HtmlText);
            case Kind::From: return m.FromAddress;
            case Kind::Subject: return m.Subject;
            case Kind::To: return m.To;
            case Kind::Cc: return m.Cc;
            case Kind::Account: return account ? std::string_view(account->m_emailName) : std::string_view();
            case Kind::Size: {
                const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), m.MsgSize).ptr;
                return {digits.data(), static_cast<size_t>(end - digits.data())};
            }
            case Kind::Attachment: return TruthText(m.HasAttachment);
            case Kind::AttachmentType: return m.AttachmentType;
        }
        return {};
    }
};

namespace {

bool Compare(RuleOp op, std::string_view l, std::string_view r, IRuleContext& context) {
    switch (op) {
        case RuleOp::Contains: return TextContains(l, r);
        case RuleOp::NotContains: return !TextContains(l, r);
        case RuleOp::StartsWith: return l.starts_with(r);
        case RuleOp::NotStartsWith: return !l.starts_with(r);
        case RuleOp::EndsWith: return l.ends_with(r);
        case RuleOp::NotEndsWith: return !l.ends_with(r);
        case RuleOp::Matches:
        case RuleOp::NotMatches: {
            bool member;
            if (r.size() >= 2 && r.front() == '[' && r.back() == ']') {
                const CAccountGroupNode* group = context.FindGroupByName(r.substr(1, r.size() - 2));
                member = group && IsGroupMember(l, *group);
            } else {
                member = l == r;
            }
            return op == RuleOp::Matches ? member : !member;
        }
        case RuleOp::Equals: return l == r;
        case RuleOp::NotEquals: return l != r;
        case RuleOp::Gt: return LeadingInt(l) > LeadingInt(r);
        case RuleOp::Greater: return l > r;
        case RuleOp::GreaterEq: return l >= r;
        case RuleOp::Less: return l < r;
        case RuleOp::LessEq: return l <= r;
        case RuleOp::And: return l == kTrue && r == kTrue;
        case RuleOp::Or: return l == kTrue || r == kTrue;
        default: return false;
    }
}

// One entry of the operand stack while an expression runs: an operand still to be resolved
// (resolution waits until an operator takes it, which is when "@body" may be fetched) or a
// result. A missing operand is the empty text.
struct StackEntry {
    int32_t operand;     // index into the operands; -1: none
    signed char result;  // -1: not a result; 0 FALSE; 1 TRUE
};

}  // namespace

TokenClass ClassifyToken(std::string_view token) {
    for (const OperatorRow& row : kOperators)
        if (row.word == token) return row.cls;
    return {9, 9, false, RuleOp::NoOp};
}

std::string_view ResolveOperand(std::string_view token, CEmailMessage& m, const CEmailAccount* account,
                                IRuleContext& context, std::string& scratch) {
    const auto operand = CompiledExpression::Operand::Of(token);
    std::array<char, 16> digits;
    const std::string_view value = operand.Resolve(m, account, context, digits);
    if (operand.kind != CompiledExpression::Operand::Kind::Size) return value;
    scratch.assign(value);
    return scratch;
}

bool Evaluate(const std::vector<std::string>& tokens, CEmailMessage& message, const CEmailAccount* account,
              IRuleContext& context) {
    return CompiledExpression(tokens).Evaluate(message, account, context);
}

CompiledExpression::~CompiledExpression() = default;

// The two-stack algorithm depends on the tokens alone: which operator is applied when, and to
// how many operands, never on a message. It is run here once, recording the pushes and the
// operators that do something, and each message then only replays that list.
CompiledExpression::CompiledExpression(const std::vector<std::string>& tokens) : m_texts(tokens) {
    std::vector<TokenClass> operators = {kOperators[std::size(kOperators) - 1].cls};
    size_t depth = 0;
    auto apply = [&](const TokenClass& cls, auto& self) -> void {
        switch (cls.op) {
            case RuleOp::End:
            case RuleOp::Open:
            case RuleOp::NoOp:
                return;
            case RuleOp::Close:
                // The operator below ")" is applied in its place: "(" then does nothing, which
                // closes the group. (Below an unpaired ")" lies the start mark, whose removal
                // ends the evaluation early; it never loops.)
                if (!operators.empty()) {
                    const TokenClass next = operators.back();
                    operators.pop_back();
                    if (next.op != RuleOp::Close) self(next, self);
                }
                return;
            default:
                m_steps.push_back({-1, cls.op});
                depth = std::max<size_t>(depth, 1);
                return;
        }
    };
    size_t next = 0;
    while (!operators.empty()) {
        if (next < m_texts.size() && IsOperand(m_texts[next])) {
            m_steps.push_back({static_cast<int32_t>(m_operands.size()), RuleOp::NoOp});
            m_operands.push_back(Operand::Of(m_texts[next++]));
            continue;
        }
        static const TokenClass kEnd = ClassifyToken("SOE");
        const TokenClass cls = next < m_texts.size() ? ClassifyToken(m_texts[next++]) : kEnd;
        while (!operators.empty() && cls.incoming <= operators.back().stack) {
            const TokenClass top = operators.back();
            operators.pop_back();
            apply(top, apply);
        }
        if (!cls.isEnd) operators.push_back(cls);
    }
    m_maxDepth = std::max(depth, m_operands.size());
}

bool CompiledExpression::Evaluate(CEmailMessage& message, const CEmailAccount* account, IRuleContext& context) const {
    // The stack lives in the frame for ordinary rules; only very long expressions use a
    // buffer of the thread's, so matching many messages allocates nothing either way.
    constexpr size_t kLocalDepth = 64;
    StackEntry local[kLocalDepth];
    thread_local std::vector<StackEntry> spill;
    StackEntry* stack = local;
    if (m_maxDepth > kLocalDepth) {
        if (spill.size() < m_maxDepth) spill.resize(m_maxDepth);
        stack = spill.data();
    }
    size_t size = 0;
    std::array<char, 16> digitsL, digitsR;
    auto pop = [&]() { return size ? stack[--size] : StackEntry{-1, -1}; };
    auto resolve = [&](const StackEntry& e, std::array<char, 16>& digits) -> std::string_view {
        if (e.result >= 0) return TruthText(e.result == 1);
        if (e.operand < 0) return {};
        return m_operands[static_cast<size_t>(e.operand)].Resolve(message, account, context, digits);
    };
    for (const Step& step : m_steps) {
        if (step.operand >= 0) {
            stack[size++] = {step.operand, -1};
            continue;
        }
        bool value;
        if (step.op == RuleOp::Not) {
            value = resolve(pop(), digitsL) != kTrue;
        } else {
            const StackEntry r = pop();
            const StackEntry l = pop();
            const std::string_view rv = resolve(r, digitsR);
            value = Compare(step.op, resolve(l, digitsL), rv, context);
        }
        stack[size++] = {-1, static_cast<signed char>(value ? 1 : 0)};
    }
    return size > 0 && stack[0].result == 1;
}

}  // namespace ph
