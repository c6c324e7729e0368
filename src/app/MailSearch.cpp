#include "app/MailSearch.h"

#include "doc/CPostharbourDoc.h"
#include "rules/MessagePrefetch.h"

namespace ph {

void Search(CPostharbourDoc& doc, const CMailRule& criteria) {
    CMailRule& rule = *doc.m_searchRule;
    rule.m_words = criteria.m_words;
    rule.Priority = criteria.Priority;
    rule.Account = criteria.Account;
    rule.Size = criteria.Size;
    rule.Attachment = criteria.Attachment;
    rule.Secure = criteria.Secure;
    RunSearch(doc);
}

void RunSearch(CPostharbourDoc& doc) {
    doc.m_searchResults.clear();
    for (const auto& account : doc.m_accounts) {
        std::lock_guard<std::recursive_mutex> guard(account->Mutex());
        ForEachPrefetched(account->GetMessages(), [&](CEmailMessage& message) {
            if (message.IsOnServer && !message.MarkedForDelete &&
                doc.m_searchRule->Matches(message, account.get(), doc))
                doc.m_searchResults.push_back(&message);
        });
    }
}

CEmailFolderNode* SaveSearchResults(CPostharbourDoc& doc, const std::string& folderName, const std::string* ruleName) {
    CCommitGroup group(doc.Root());
    CEmailFolderNode* folder = doc.AddFolder(folderName, kFolderUser, 0);
    if (!folder) return nullptr;
    for (CEmailMessage* message : doc.m_searchResults) doc.FileMessage(*message, *folder);
    if (ruleName) {
        std::unique_ptr<CMailRule> rule = std::move(doc.m_searchRule);
        doc.m_searchRule = std::make_unique<CMailRule>();
        rule->Name = *ruleName;
        rule->CopyFolderId = folder->m_id;
        rule->CopyFolderName = folder->m_name;
        doc.AddRule(std::move(rule));
    }
    return folder;
}

}  // namespace ph
