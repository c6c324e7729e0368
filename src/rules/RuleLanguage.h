#pragma once
// The rule language: a token list evaluated with operator precedence over two stacks. Tokens
// starting with a double quote or "#" are literals, "@" tokens name message fields, every
// other token is an operator (a word in no row of the table is one that does nothing). A
// malformed expression never fails and never loops: missing operands resolve as empty texts,
// and only an expression whose bottom operand ends as "TRUE" matches.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ph {

class CEmailMessage;
class CEmailAccount;
class IRuleContext;

enum class RuleOp : uint8_t {
    NoOp, Open, Close, Not, Contains, NotContains, StartsWith, NotStartsWith, EndsWith, NotEndsWith,
    Matches, NotMatches, Equals, NotEquals, Gt, Greater, GreaterEq, Less, LessEq, And, Or, End
};

struct TokenClass {
    int incoming = 0;
    int stack = 0;
    bool isEnd = false;  // the start and end mark "SOE"
    RuleOp op = RuleOp::NoOp;
};

// The precedences of an operator word (compared exactly). A word in no row of the table gets
// 9 and 9: it binds below the comparisons and above the relational operators, and does
// nothing when applied but keeps the expression from matching.
TokenClass ClassifyToken(std::string_view token);
// The text an operand stands for. Views into the message where it holds the text; computed
// values go to `scratch`. "@body" may fetch the body through the context.
std::string_view ResolveOperand(std::string_view token, CEmailMessage& message, const CEmailAccount* account,
                                IRuleContext& context, std::string& scratch);
// The expression's truth for the message.
bool Evaluate(const std::vector<std::string>& tokens, CEmailMessage& message, const CEmailAccount* account,
              IRuleContext& context);

// A token list turned once into the steps its evaluation takes, for rules evaluated against
// many messages: replaying them costs no parsing, no name look-ups and no allocation. Where
// the left operand of AND or OR already decides it, the steps of the right operand are
// skipped, unless they read "@body": whether a body is fetched never depends on that.
class CompiledExpression {
public:
    explicit CompiledExpression(const std::vector<std::string>& tokens);
    ~CompiledExpression();
    bool Evaluate(CEmailMessage& message, const CEmailAccount* account, IRuleContext& context) const;

    struct Operand;

private:
    struct Step {
        // >= 0 with `op` NoOp: push this operand. >= 0 with a comparison: compare it with
        // `right`, for two pushes and the comparison that takes them made one step. -1: apply
        // `op` to the stack.
        int32_t operand;
        RuleOp op;
        // On the first step of the right operand of an AND or OR (`decides`): the step after
        // that operator, taken when the operand below on the stack decides it. 0: none.
        RuleOp decides = RuleOp::NoOp;
        uint32_t skipTo = 0;
        int32_t right = -1;
    };
    void FuseComparisons();
    void AddShortCuts();

    std::vector<std::string> m_texts;  // owns what the operands view
    std::vector<Operand> m_operands;
    std::vector<Step> m_steps;
    size_t m_maxDepth = 0;
};

}  // namespace ph
