#pragma once
// Mail rules: which arriving messages to act on, and what to do with them. A simple rule
// (CMailRule) holds word lists for six message fields and a few single conditions and matches
// when any one of them holds; an advanced rule (CAdvMailRule) holds an expression in the rule
// language instead. Both carry the same actions.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Bytes.h"
#include "store/Records.h"

namespace ph {

class CEmailMessage;
class CEmailAccount;
class CAccountGroupNode;

// What rules need of the document: groups by name, folder names by id, and bodies that are
// still on the server.
class IRuleContext {
public:
    virtual ~IRuleContext() = default;
    // The first group (in load order) whose name equals `name` exactly; null when none.
    virtual const CAccountGroupNode* FindGroupByName(std::string_view name) const = 0;
    // The name of the folder with that id; empty when there is none.
    virtual std::string FolderNameOf(int folderId) const = 0;
    // Fetches the message's body from its server when only the server has it; true when the
    // message holds its texts afterwards.
    virtual bool FetchBody(CEmailMessage& message) = 0;
};

// The word lists of a simple rule, in their stored order.
enum RuleField : int { kFieldFrom, kFieldSubject, kFieldMessage, kFieldTo, kFieldCc, kFieldToCc, kRuleFieldCount };

struct WordList {
    std::vector<std::string> words;
    int mode = 1;    // 0: every word must be found; 1: any word
    int negate = 0;  // 1: "does not contain"
};

// The actions, in the order they are listed and described.
enum RuleAction : int {
    kActionMove, kActionCopy, kActionDelete, kActionForward, kActionHighlight, kActionFlag,
    kActionMarkRead, kActionMarkWatch, kActionReply, kActionStop, kActionDontDownload,
    kActionDeleteFromServer, kRuleActionCount
};

// The result flags of applying rules.
constexpr int kRuleFlagDelete = 0x1;
constexpr int kRuleFlagDontDownload = 0x40;
constexpr int kRuleFlagDeleteFromServer = 0x80;
constexpr int kRuleFlagStop = 0x1000;

// The marker in ConditionFromCombo of a stored advanced rule.
constexpr int kAdvancedRuleMarker = 999;

class CMailRule {
public:
    CMailRule();
    virtual ~CMailRule() = default;

    virtual bool Matches(CEmailMessage& message, const CEmailAccount* account, IRuleContext& context) const;
    virtual bool IsAdvanced() const { return false; }
    // A deep copy keeping the kind.
    virtual std::unique_ptr<CMailRule> Clone() const;

    // Reads a stored row: a ConditionFromCombo of 999 makes an advanced rule. Folder names are
    // looked up by id.
    static std::unique_ptr<CMailRule> FromRecord(const RuleRecord& record, const IRuleContext& context);
    RuleRecord ToRecord() const;

    // Whether an action is on (its text is not empty; the folder actions by folder name).
    bool IsOn(RuleAction action) const;

    int m_id = 0;  // the "Rules" record id; 0 while not stored
    std::string Name;
    std::array<WordList, kRuleFieldCount> m_words;  // for an advanced rule, m_words[kFieldFrom] holds the tokens
    std::string Priority, Account, Size, Attachment, Secure, All;
    int MoveFolderId = 0;
    std::string MoveFolderName;
    int CopyFolderId = 0;
    std::string CopyFolderName;
    std::string Delete, Forward, Highlight, Flag, MarkRead, MarkWatch, Reply, Stop, DontDownload, DeleteFromServer;
};

class CompiledExpression;

class CAdvMailRule : public CMailRule {
public:
    bool Matches(CEmailMessage& message, const CEmailAccount* account, IRuleContext& context) const override;
    bool IsAdvanced() const override { return true; }
    std::unique_ptr<CMailRule> Clone() const override;
    const std::vector<std::string>& Tokens() const { return m_words[kFieldFrom].words; }
    // Changes to the tokens go through here, which drops the classified form.
    std::vector<std::string>& Tokens() {
        m_compiled.reset();
        return m_words[kFieldFrom].words;
    }

private:
    // The tokens classified once: a rule is matched against every arriving message.
    mutable std::shared_ptr<const CompiledExpression> m_compiled;
};

// The quick rule that keeps a conversation between two addresses together: mail from either
// to the other is copied into the folder.
std::unique_ptr<CAdvMailRule> MakeConversationRule(const std::string& name, const std::string& first,
                                                   const std::string& second, int folderId,
                                                   const std::string& folderName);

// Simple-rule word matching: a "[name]" word is a group of the address book, any other word a
// case-sensitive substring (an empty word is in every text).
bool MatchWord(std::string_view text, std::string_view word, IRuleContext& context);
bool MatchWordList(std::string_view text, const WordList& list, IRuleContext& context);
// Whether `address` is the e-mail address of a member of the group or of one of its
// sub-groups (depth first).
bool IsGroupMember(std::string_view address, const CAccountGroupNode& group);

}  // namespace ph
