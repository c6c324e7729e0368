#include "app/MailSearch.h"

#include "doc/CPostharbourDoc.h"

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

namespace {

// Asks the processor to start loading the start of the texts a search reads.
void PrefetchTexts(const CEmailMessage& m) {
    for (const std::string* text : {&m.From, &m.Subject, &m.PlainText, &m.HtmlText})
        __builtin_prefetch(text->data());
}

}  // namespace

void RunSearch(CPostharbourDoc& doc) {
    doc.m_searchResults.clear();
    for (const auto& account : doc.m_accounts) {
        std::lock_guard<std::recursive_mutex> guard(account->Mutex());
        const MessageList& messages = account->GetMessages();
        for (size_t i = 0; i < messages.size(); ++i) {
            // Each message and each of its texts is a block of its own somewhere on the heap,
            // and the matching itself is quick: a search over many messages spends most of its
            // time waiting for memory. Loading the messages a few places ahead while this one
            // is matched hides part of that wait.
            if (i + 4 < messages.size()) __builtin_prefetch(messages[i + 4].get());
            if (i + 2 < messages.size()) PrefetchTexts(*messages[i + 2]);
            CEmailMessage& message = *messages[i];
            if (message.IsOnServer && !message.MarkedForDelete &&
                doc.m_searchRule->Matches(message, account.get(), doc))
                doc.m_searchResults.push_back(&message);
        }
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
