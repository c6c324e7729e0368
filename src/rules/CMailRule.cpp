#include "rules/CMailRule.h"

#include <algorithm>

#include "common/Bytes.h"
#include "common/Format.h"
#include "model/CAccountGroupNode.h"
#include "model/CEmailAccount.h"
#include "model/CEmailMessage.h"
#include "rules/RuleLanguage.h"
#include "rules/TextSearch.h"

namespace ph {
namespace {

std::string JoinLines(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += '\n';
        out += items[i];
    }
    return out;
}

// The stored condition fields of each word list, in the order of RuleField.
RuleRecord::Condition RuleRecord::*const kConditions[kRuleFieldCount] = {
    &RuleRecord::From, &RuleRecord::Subject, &RuleRecord::Message, &RuleRecord::To, &RuleRecord::Cc, &RuleRecord::ToCc};

// The single conditions of a simple rule and the action texts of every rule, each with the
// field of the stored row that holds it.
using TextPair = std::pair<std::string RuleRecord::*, std::string CMailRule::*>;
const TextPair kConditionTexts[] = {
    {&RuleRecord::ConditionPriority, &CMailRule::Priority},   {&RuleRecord::ConditionAccount, &CMailRule::Account},
    {&RuleRecord::ConditionSize, &CMailRule::Size},           {&RuleRecord::ConditionAttachment, &CMailRule::Attachment},
    {&RuleRecord::ConditionSecure, &CMailRule::Secure},       {&RuleRecord::ConditionAll, &CMailRule::All},
};
const TextPair kActionTexts[] = {
    {&RuleRecord::ActionDelete, &CMailRule::Delete},          {&RuleRecord::ActionForward, &CMailRule::Forward},
    {&RuleRecord::ActionHighlight, &CMailRule::Highlight},    {&RuleRecord::ActionFlag, &CMailRule::Flag},
    {&RuleRecord::ActionMarkRead, &CMailRule::MarkRead},      {&RuleRecord::ActionMarkWatch, &CMailRule::MarkWatch},
    {&RuleRecord::ActionReply, &CMailRule::Reply},            {&RuleRecord::ActionStop, &CMailRule::Stop},
    {&RuleRecord::ActionDontDl, &CMailRule::DontDownload},    {&RuleRecord::ActionDeleteServer, &CMailRule::DeleteFromServer},
};

}  // namespace

bool IsGroupMember(std::string_view address, const CAccountGroupNode& group) {
    // Depth first, with an explicit stack: a damaged store can hold very deep trees. The stack
    // is kept between calls on this thread, as rules run this for every arriving message.
    thread_local std::vector<const CAccountGroupNode*> stack;
    stack.assign(1, &group);
    size_t visited = 0;
    while (!stack.empty() && visited++ < 100000) {
        const CAccountGroupNode* g = stack.back();
        stack.pop_back();
        for (const GroupMember& member : g->m_members)
            if (member.entry && member.entry->m_email == address) return true;
        for (auto it = g->m_children.rbegin(); it != g->m_children.rend(); ++it) stack.push_back(*it);
    }
    return false;
}

bool MatchWord(std::string_view text, std::string_view word, IRuleContext& context) {
    if (word.size() >= 2 && word.front() == '[' && word.back() == ']') {
        const CAccountGroupNode* group = context.FindGroupByName(word.substr(1, word.size() - 2));
        return group && IsGroupMember(text, *group);
    }
    return TextContains(text, word);
}

bool MatchWordList(std::string_view text, const WordList& list, IRuleContext& context) {
    if (list.words.empty()) return false;
    bool result;
    if (list.mode == 0) {
        result = std::all_of(list.words.begin(), list.words.end(),
                             [&](const std::string& w) { return MatchWord(text, w, context); });
    } else if (list.mode == 1) {
        result = std::any_of(list.words.begin(), list.words.end(),
                             [&](const std::string& w) { return MatchWord(text, w, context); });
    } else {
        result = false;
    }
    return list.negate == 1 ? !result : result;
}

CMailRule::CMailRule() = default;

bool CMailRule::Matches(CEmailMessage& m, const CEmailAccount* account, IRuleContext& context) const {
    // Most rules use one or two of the lists: an empty one is passed over here, without a
    // call, as it never matches.
    auto matches = [&](std::string_view text, RuleField field) {
        return !m_words[field].words.empty() && MatchWordList(text, m_words[field], context);
    };
    if (matches(m.From, kFieldFrom) || matches(m.Subject, kFieldSubject)) return true;
    // Body words need the texts, which a stored message keeps in the store until asked.
    if (!m_words[kFieldMessage].words.empty() && m.PlainText.empty() && m.HtmlText.empty())
        context.FetchBody(m);
    return matches(m.PlainText, kFieldMessage) || matches(m.HtmlText, kFieldMessage) ||
           matches(m.To, kFieldTo) || matches(m.Cc, kFieldCc) || matches(m.To, kFieldToCc) ||
           matches(m.Cc, kFieldToCc) ||
           (account && !Account.empty() && EqualsNoCase(Account, account->m_emailName)) ||
           (!Size.empty() &&
            static_cast<long long>(m.MsgSize) > static_cast<long long>(LeadingInt(Size)) * 1024) ||
           (!Attachment.empty() && m.HasAttachment) || !All.empty();
}

std::unique_ptr<CMailRule> CMailRule::Clone() const { return std::make_unique<CMailRule>(*this); }

bool CMailRule::IsOn(RuleAction action) const {
    switch (action) {
        case kActionMove: return !MoveFolderName.empty();
        case kActionCopy: return !CopyFolderName.empty();
        case kActionDelete: return !Delete.empty();
        case kActionForward: return !Forward.empty();
        case kActionHighlight: return !Highlight.empty();
        case kActionFlag: return !Flag.empty();
        case kActionMarkRead: return !MarkRead.empty();
        case kActionMarkWatch: return !MarkWatch.empty();
        case kActionReply: return !Reply.empty();
        case kActionStop: return !Stop.empty();
        case kActionDontDownload: return !DontDownload.empty();
        case kActionDeleteFromServer: return !DeleteFromServer.empty();
        default: return false;
    }
}

std::unique_ptr<CMailRule> CMailRule::FromRecord(const RuleRecord& r, const IRuleContext& context) {
    std::unique_ptr<CMailRule> rule;
    if (r.From.combo == kAdvancedRuleMarker) {
        auto advanced = std::make_unique<CAdvMailRule>();
        advanced->Tokens() = SplitLines(r.From.text);
        rule = std::move(advanced);
    } else {
        rule = std::make_unique<CMailRule>();
        for (int f = 0; f < kRuleFieldCount; ++f) {
            const RuleRecord::Condition& c = r.*kConditions[f];
            rule->m_words[f] = {SplitLines(c.text), c.combo, c.combo2};
        }
        for (const auto& [stored, field] : kConditionTexts) (*rule).*field = r.*stored;
    }
    rule->Name = r.Name;
    rule->MoveFolderId = r.ActionMoveFolderid;
    rule->MoveFolderName = context.FolderNameOf(r.ActionMoveFolderid);
    rule->CopyFolderId = r.ActionCopyFolderid;
    rule->CopyFolderName = context.FolderNameOf(r.ActionCopyFolderid);
    for (const auto& [stored, field] : kActionTexts) (*rule).*field = r.*stored;
    return rule;
}

RuleRecord CMailRule::ToRecord() const {
    RuleRecord r;
    r.Name = Name;
    if (IsAdvanced()) {
        r.From = {JoinLines(m_words[kFieldFrom].words), kAdvancedRuleMarker, 0};
    } else {
        for (int f = 0; f < kRuleFieldCount; ++f)
            r.*kConditions[f] = {JoinLines(m_words[f].words), m_words[f].mode, m_words[f].negate};
        for (const auto& [stored, field] : kConditionTexts) r.*stored = this->*field;
    }
    r.ActionMoveFolderid = MoveFolderId;
    r.ActionCopyFolderid = CopyFolderId;
    for (const auto& [stored, field] : kActionTexts) r.*stored = this->*field;
    return r;
}

bool CAdvMailRule::Matches(CEmailMessage& message, const CEmailAccount* account, IRuleContext& context) const {
    if (!m_compiled) m_compiled = std::make_shared<const CompiledExpression>(Tokens());
    return m_compiled->Evaluate(message, account, context);
}

std::unique_ptr<CMailRule> CAdvMailRule::Clone() const { return std::make_unique<CAdvMailRule>(*this); }

std::unique_ptr<CAdvMailRule> MakeConversationRule(const std::string& name, const std::string& first,
                                                   const std::string& second, int folderId,
                                                   const std::string& folderName) {
    auto rule = std::make_unique<CAdvMailRule>();
    rule->Name = name;
    const std::string a = Format("\"%s\"", first.c_str()), b = Format("\"%s\"", second.c_str());
    rule->Tokens() = {"@from", "EQUALS", a, "AND", "@to", "EQUALS", b, "OR", "@to", "EQUALS", a, "AND", "@from", "EQUALS", b};
    rule->CopyFolderId = folderId;
    rule->CopyFolderName = folderName;
    return rule;
}

}  // namespace ph
