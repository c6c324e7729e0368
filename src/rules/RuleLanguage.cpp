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
    int32_t number = 0;     // the literal read as GT reads it, for Kind::Text
    WordProbe probe;        // for the literal searched for by CONTAINS, in every message

    static Operand Literal(std::string_view text) {
        return {Kind::Text, text, LeadingInt(text), WordProbe::Rarest(text)};
    }

    static Operand Of(std::string_view token) {
        if (token.empty()) return {};
        if (token[0] == '"') {
            token.remove_prefix(1);
            if (!token.empty() && token.back() == '"') token.remove_suffix(1);
            return Literal(token);
        }
        if (token[0] == '#') return Literal(token.substr(1));
        if (token[0] != '@') return Literal(token);
        static const std::pair<std::string_view, Kind> kFields[] = {
            {"@body", Kind::Body},       {"@from", Kind::From},       {"@subject", Kind::Subject},
            {"@to", Kind::To},           {"@cc", Kind::Cc},           {"@account", Kind::Account},
            {"@size", Kind::Size},       {"@attachment", Kind::Attachment},
            {"@attachmenttype", Kind::AttachmentType},
        };
        for (const auto& [name, kind] : kFields)
            if (name == token) return {kind, {}, 0, {}};
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

    // The operand read as a number, as GT reads it: the leading decimal number of its text.
    // Literals are read once and the size is taken as it is, not written out and read back.
    int32_t Number(CEmailMessage& m, const CEmailAccount* account, IRuleContext& context) const {
        switch (kind) {
            case Kind::Text:
                return number;
            case Kind::Size:
                return m.MsgSize;
            case Kind::Attachment:
                return 0;  // "TRUE" and "FALSE" hold no number
            default: {
                std::array<char, 16> digits;
                return LeadingInt(Resolve(m, account, context, digits));
            }
        }
    }
};

namespace {

// `probe`, when given, is made for `r`.
bool Compare(RuleOp op, std::string_view l, std::string_view r, IRuleContext& context,
             const WordProbe* probe) {
    switch (op) {
        case RuleOp::Contains: return probe ? TextContains(l, r, *probe) : TextContains(l, r);
        case RuleOp::NotContains: return !(probe ? TextContains(l, r, *probe) : TextContains(l, r));
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
        case RuleOp::Greater: return l > r;
        case RuleOp::GreaterEq: return l >= r;
        case RuleOp::Less: return l < r;
        case RuleOp::LessEq: return l <= r;
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

// What a stack entry that is no operand of the tokens stands for: a result (1 TRUE, 0 FALSE)
// or, for -1, a missing operand, which is the empty text.
const CompiledExpression::Operand& StandIn(signed char result) {
    using Operand = CompiledExpression::Operand;
    static const Operand kTrueText = Operand::Literal(kTrue), kFalseText = Operand::Literal(kFalse),
                         kEmptyText = Operand::Literal({});
    return result == 1 ? kTrueText : result == 0 ? kFalseText : kEmptyText;
}

// What the compiler knows of a stack entry before any message is seen: the steps that make
// it (a contiguous run ending where it is pushed) and whether one of them reads "@body".
struct EntryShape {
    uint32_t first;  // its first step
    bool missing;    // popped from an empty stack: no steps
    bool readsBody;
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
    FuseComparisons();
    AddShortCuts();
}

// Most conditions compare a field with a literal: the two pushes and the operator that takes
// them (always the top two entries) become one step, which compares without the stack.
void CompiledExpression::FuseComparisons() {
    auto isComparison = [](const Step& step) {
        return step.operand < 0 && step.op != RuleOp::Not && step.op != RuleOp::And &&
               step.op != RuleOp::Or;
    };
    std::vector<Step> fused;
    fused.reserve(m_steps.size());
    for (size_t k = 0; k < m_steps.size(); ++k) {
        if (k + 2 < m_steps.size() && m_steps[k].operand >= 0 && m_steps[k + 1].operand >= 0 &&
            isComparison(m_steps[k + 2])) {
            Step comparison{m_steps[k].operand, m_steps[k + 2].op};
            comparison.right = m_steps[k + 1].operand;
            fused.push_back(comparison);
            k += 2;
            continue;
        }
        fused.push_back(m_steps[k]);
    }
    m_steps = std::move(fused);
}

// Replays the steps on shapes instead of values: which entries each operator takes is fixed by
// the tokens, so the steps of every right operand of AND and OR are known here. Its first
// step gets the short cut; at that step the left operand is on top of the stack, complete.
void CompiledExpression::AddShortCuts() {
    std::vector<EntryShape> stack;
    auto pop = [&](uint32_t at) {
        if (stack.empty()) return EntryShape{at, true, false};
        const EntryShape top = stack.back();
        stack.pop_back();
        return top;
    };
    for (uint32_t k = 0; k < m_steps.size(); ++k) {
        Step& step = m_steps[k];
        if (step.operand >= 0) {
            auto isBody = [&](int32_t operand) {
                return operand >= 0 &&
                       m_operands[static_cast<size_t>(operand)].kind == Operand::Kind::Body;
            };
            stack.push_back({k, false, isBody(step.operand) || isBody(step.right)});
            continue;
        }
        if (step.op == RuleOp::Not) {
            const EntryShape operand = pop(k);
            stack.push_back({operand.missing ? k : operand.first, false, operand.readsBody});
            continue;
        }
        const EntryShape r = pop(k), l = pop(k);
        if ((step.op == RuleOp::And || step.op == RuleOp::Or) && !l.missing && !r.missing &&
            !r.readsBody) {
            m_steps[r.first].decides = step.op;
            m_steps[r.first].skipTo = k + 1;
        }
        const uint32_t first = !l.missing ? l.first : !r.missing ? r.first : k;
        stack.push_back({first, false, l.readsBody || r.readsBody});
    }
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
    auto operandOf = [&](const StackEntry& e) -> const Operand& {
        if (e.result >= 0 || e.operand < 0) return StandIn(e.result);
        return m_operands[static_cast<size_t>(e.operand)];
    };
    auto truth = [&](const StackEntry& e) {
        if (e.result >= 0) return e.result == 1;
        return operandOf(e).Resolve(message, account, context, digitsL) == kTrue;
    };
    // The right operand is resolved first: it may be the body, fetched then for both.
    auto compare = [&](RuleOp op, const Operand& l, const Operand& r) {
        if (op == RuleOp::Gt) {
            const int32_t rn = r.Number(message, account, context);
            return l.Number(message, account, context) > rn;
        }
        const std::string_view rv = r.Resolve(message, account, context, digitsR);
        return Compare(op, l.Resolve(message, account, context, digitsL), rv, context,
                       r.kind == Operand::Kind::Text ? &r.probe : nullptr);
    };
    for (size_t k = 0; k < m_steps.size(); ++k) {
        const Step& step = m_steps[k];
        if (step.decides != RuleOp::NoOp) {
            // The left operand of the AND or OR is on top; as its truth is all the operator
            // reads of it, it is kept as a result from here on.
            StackEntry& left = stack[size - 1];
            const bool leftTruth = truth(left);
            left = {-1, static_cast<signed char>(leftTruth ? 1 : 0)};
            if (leftTruth == (step.decides == RuleOp::Or)) {
                k = step.skipTo - 1;  // the result of the operator is the left operand's
                continue;
            }
        }
        if (step.operand >= 0 && step.op == RuleOp::NoOp) {
            stack[size++] = {step.operand, -1};
            continue;
        }
        bool value;
        if (step.operand >= 0) {
            value = compare(step.op, m_operands[static_cast<size_t>(step.operand)],
                            m_operands[static_cast<size_t>(step.right)]);
        } else if (step.op == RuleOp::Not) {
            value = !truth(pop());
        } else {
            const StackEntry r = pop();
            const StackEntry l = pop();
            if (step.op == RuleOp::And || step.op == RuleOp::Or) {
                const bool rightTruth = truth(r), leftTruth = truth(l);
                value = step.op == RuleOp::And ? leftTruth && rightTruth : leftTruth || rightTruth;
            } else {
                value = compare(step.op, operandOf(l), operandOf(r));
            }
        }
        stack[size++] = {-1, static_cast<signed char>(value ? 1 : 0)};
    }
    return size > 0 && stack[0].result == 1;
}

}  // namespace ph
