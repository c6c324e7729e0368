// Applying rules: the actions that act on the store (filing, hiding, marking read) happen
// here; the others go back to the caller as flags.
#include <algorithm>

#include "doc/CPostharbourDoc.h"
#include "rules/MessagePrefetch.h"

namespace ph {
namespace {

bool IsOnServerAndKept(const CEmailMessage& m) { return m.IsOnServer && !m.MarkedForDelete; }

// Every rule in list order until one with Stop matches; the flags combined.
int ApplyListedRules(CPostharbourDoc& doc, CEmailMessage& message, CEmailAccount* account) {
    int flags = 0;
    for (const auto& rule : doc.m_rules) {
        flags |= doc.ApplyRule(*rule, message, account);
        if (flags & kRuleFlagStop) break;
    }
    return flags;
}

}  // namespace

const CAccountGroupNode* CPostharbourDoc::FindGroupByName(std::string_view name) const {
    for (const auto& group : m_allGroups)
        if (group->m_name == name) return group.get();
    return nullptr;
}

std::string CPostharbourDoc::FolderNameOf(int folderId) const {
    const CEmailFolderNode* folder = FindFolder(folderId);
    return folder ? folder->m_name : std::string();
}

bool CPostharbourDoc::FetchBody(CEmailMessage& message) {
    // Texts kept in the store are read from there; only a body never downloaded needs the
    // server.
    if (!message.m_textsInMemory && message.Slot() >= 0 && FetchMessageTexts(message) &&
        (!message.PlainText.empty() || !message.HtmlText.empty()))
        return true;
    return m_serverBodyFetcher && m_serverBodyFetcher(message);
}

bool CPostharbourDoc::AddToFolder(CEmailMessage& message, int folderId) {
    // With damaged stores two folders can share an id; the last one loaded wins.
    auto it = std::find_if(m_allFolders.rbegin(), m_allFolders.rend(),
                           [&](const auto& f) { return f->m_id == folderId; });
    if (it == m_allFolders.rend()) return false;
    // New mail is filed nowhere yet: only a message with filings needs the folder searched.
    if (message.m_filingCount > 0 && (*it)->Holds(&message)) return false;
    return FileMessage(message, **it);
}

void CPostharbourDoc::HideMessage(CEmailMessage& message) {
    if (message.IsHidden) return;
    message.IsHidden = true;
    m_hiddenMessages.push_back(&message);
    if (CEmailAccount* account = message.Account()) {
        std::lock_guard<std::recursive_mutex> guard(account->Mutex());
        account->m_hiddenMessages.push_back(&message);
        account->CountHidden();
    }
}

int CPostharbourDoc::ApplyRule(const CMailRule& rule, CEmailMessage& message, CEmailAccount* account) {
    if (!rule.Matches(message, account, *this)) return 0;
    const bool wasRead = message.IsRead, wasHidden = message.IsHidden;
    // A rule can outlive its folder: hiding the message then would leave it in no list at all.
    if (rule.IsOn(kActionMove) && FindFolder(rule.MoveFolderId)) {
        AddToFolder(message, rule.MoveFolderId);
        HideMessage(message);
    }
    if (rule.IsOn(kActionCopy)) AddToFolder(message, rule.CopyFolderId);
    int flags = 0;
    if (rule.IsOn(kActionDelete)) flags |= kRuleFlagDelete;
    if (rule.IsOn(kActionMarkRead)) message.IsRead = true;
    if (rule.IsOn(kActionStop)) flags |= kRuleFlagStop;
    if (rule.IsOn(kActionDontDownload)) flags |= kRuleFlagDontDownload;
    if (rule.IsOn(kActionDeleteFromServer)) flags |= kRuleFlagDeleteFromServer;
    // New mail is stored with its marks after the rules ran; a stored message is written now.
    if (message.Slot() >= 0 && (message.IsRead != wasRead || message.IsHidden != wasHidden))
        SaveMessageFlags(message);
    return flags;
}

int CPostharbourDoc::ApplyRules(CEmailMessage& message, CEmailAccount* account) {
    // The rules read most of the message's texts, each a block of its own: asked for all at
    // once, the loads overlap instead of each rule waiting for its own.
    PrefetchMatchedTexts(message);
    return ApplyListedRules(*this, message, account);
}

std::vector<int> CPostharbourDoc::ApplyRulesToEach(std::span<CEmailMessage* const> messages,
                                                   CEmailAccount* account) {
    std::vector<int> flags;
    flags.reserve(messages.size());
    // The texts were asked for a few messages ahead: asking again would only queue requests.
    ForEachPrefetched(messages, [&](CEmailMessage& message) {
        flags.push_back(ApplyListedRules(*this, message, account));
    });
    return flags;
}

void CPostharbourDoc::ApplySelectedRules(const std::vector<CMailRule*>& rules) {
    // Rules apply in the order of the list, whatever order they were chosen in.
    std::vector<const CMailRule*> ordered;
    for (const auto& rule : m_rules)
        if (std::find(rules.begin(), rules.end(), rule.get()) != rules.end()) ordered.push_back(rule.get());
    {
        CCommitGroup group(m_root);
        for (const auto& account : m_accounts) {
            std::lock_guard<std::recursive_mutex> guard(account->Mutex());
            ForEachPrefetched(account->GetMessages(), [&](CEmailMessage& message) {
                if (!IsOnServerAndKept(message)) return;
                for (const CMailRule* rule : ordered) ApplyRule(*rule, message, account.get());
            });
        }
    }
    m_ui.MessageBox("The selected rules have been applied", "Rules Applied", IUserInterface::Buttons::Ok);
}

CMailRule* CPostharbourDoc::AddQuickRule(std::unique_ptr<CMailRule> rule) {
    CMailRule* added = AddRule(std::move(rule));
    if (!added) return nullptr;
    CCommitGroup group(m_root);
    for (const auto& account : m_accounts) {
        std::lock_guard<std::recursive_mutex> guard(account->Mutex());
        ForEachPrefetched(account->GetMessages(), [&](CEmailMessage& message) {
            if (IsOnServerAndKept(message)) ApplyRule(*added, message, account.get());
        });
    }
    return added;
}

}  // namespace ph
