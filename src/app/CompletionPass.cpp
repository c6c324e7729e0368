// The tick's completion pass: finished checks are taken over (new mail through the rules and
// into the store, marks written back, folders), finished server deletes are removed locally,
// and the delete progress is shown.
#include <algorithm>
#include <mutex>

#include "app/CChildFrame.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "retrieval/CDeleteAccountMsgsThread.h"
#include "store/CStorageNode.h"

namespace ph {
namespace {

bool IsRootFolder(const std::string& folder) { return folder.empty() || folder == "Inbox"; }

// The account's server folder of that name, searched through its folder tree.
CEmailFolderNode* ServerFolderNamed(const CEmailAccount& account, const std::string& name) {
    std::vector<CEmailFolderNode*> pending(account.m_folders.begin(), account.m_folders.end());
    while (!pending.empty()) {
        CEmailFolderNode* folder = pending.back();
        pending.pop_back();
        if (folder->m_name == name) return folder;
        pending.insert(pending.end(), folder->m_children.begin(), folder->m_children.end());
    }
    return nullptr;
}

}  // namespace

void CChildFrame::CompletionPass() {
    bool somethingFinished = false;
    for (const auto& account : m_doc.m_accounts) {
        if (!account->m_checkFinished) continue;
        account->m_checkFinished = false;
        account->m_worker = nullptr;
        account->m_saving = true;
        somethingFinished = true;
    }
    const bool someChecking = std::any_of(m_doc.m_accounts.begin(), m_doc.m_accounts.end(),
                                          [](const auto& a) { return a->m_checkingMail.load(); });
    const bool aborted = m_doc.m_abortCheckmail;
    if (!someChecking) m_doc.m_abortCheckmail = false;
    if (!somethingFinished) {
        HandleFinishedDeletes();
        return;
    }

    {
        // Thousands of new messages are one durable commit, not thousands.
        CCommitGroup group(m_doc.Root());
        for (const auto& account : m_doc.m_accounts) {
            // An account still being checked is the worker's; the pass after its check takes it.
            if (account->m_checkingMail) continue;
            std::unique_lock<std::recursive_mutex> hold(account->Mutex(), std::try_to_lock);
            if (!hold.owns_lock()) continue;
            SaveAccountMessages(*account, aborted);
            TakeOverOutboxSends(*account);
        }
        group.Finish();
    }
    m_doc.m_savingIndex = m_doc.m_savingTotal = 0;

    RebuildOnServerList();
    ShowTraySummary();
    m_ui.RefreshViews();
    // The pass stores synchronously, so no account is still saving when it ends.
    for (const auto& account : m_doc.m_accounts) account->m_saving = false;
    if (!someChecking) m_statusMayClose = true;
}

void CChildFrame::SaveAccountMessages(CEmailAccount& account, bool aborted) {
    MessageList& messages = account.GetMessages();
    std::vector<CEmailMessage*> arrivals;
    for (const auto& m : messages) {
        // A listing that was cut short says nothing about what left the server.
        if (m->IsOnServer != m->WasOnServer && (aborted || account.m_tries >= 5)) m->IsOnServer = m->WasOnServer;
        if (m->Slot() < 0 && m->IsOnServer && !m->MarkedForDelete) arrivals.push_back(m.get());
    }
    // All the new mail through the rules at once, before any of it is stored: no rule reads
    // what storing changes, and over a list the next messages load while one is matched.
    m_doc.ApplyRulesToEach(arrivals, &account);

    m_doc.m_savingTotal = static_cast<int>(messages.size());
    int shownPercent = -1;
    for (size_t i = 0; i < messages.size(); ++i) {
        CEmailMessage& m = *messages[i];
        m_doc.m_savingIndex = static_cast<int>(i);
        const int percent = static_cast<int>(i * 100 / messages.size());
        if (percent != shownPercent) {
            m_ui.SetStatusText(Format("Saving %d%%", percent));
            shownPercent = percent;
        }
        const bool stored = m.Slot() >= 0;
        if (!m.IsOnServer || m.MarkedForDelete) {
            if (stored && (m.FlagsChangedSinceWritten() || m.OnServerChangedSinceWritten())) m_doc.SaveMessageFlags(m);
        } else if (!stored) {
            StoreNewArrival(m);
        } else {
            MoveOrRewrite(m);
        }
    }
}

void CChildFrame::StoreNewArrival(CEmailMessage& m) {
    CEmailAccount* account = m.Account();
    CEmailFolderNode* serverFolder = !IsRootFolder(m.Folder) ? ServerFolderNamed(*account, m.Folder) : nullptr;
    if (serverFolder) m.IsNotInRoot = true;
    if (!m_doc.StoreNewMessage(m)) return;
    m_doc.m_allMessages.push_back(&m);
    if (m_doc.m_lastCheckAutomatic) ++m_doc.m_autoNewCount;
    if (serverFolder) m_doc.FileMessage(m, *serverFolder);
    m.m_requestedFolder = m.Folder;
}

void CChildFrame::MoveOrRewrite(CEmailMessage& m) {
    CEmailAccount& account = *m.Account();
    if (m.m_requestedFolder != m.Folder) {
        if (!IsRootFolder(m.Folder)) {
            if (CEmailFolderNode* from = ServerFolderNamed(account, m.Folder)) m_doc.UnfileMessage(*from, m);
        }
        if (m.m_requestedFolder != CEmailMessage::kVerifyFolder) m.Folder = m.m_requestedFolder;
        m.m_requestedFolder = m.Folder;
        if (!IsRootFolder(m.Folder)) {
            if (CEmailFolderNode* to = ServerFolderNamed(account, m.Folder)) {
                m.IsNotInRoot = true;
                m_doc.FileMessage(m, *to);
            }
        }
        m_doc.UpdateMessage(m);
        return;
    }
    if (m.FlagsChangedSinceWritten() || m.OnServerChangedSinceWritten() || m.m_changed) {
        m_doc.SaveMessageFlags(m);
    } else if (!IsRootFolder(m.Folder)) {
        CEmailFolderNode* folder = ServerFolderNamed(account, m.Folder);
        if (folder && !folder->Holds(&m)) m_doc.FileMessage(m, *folder);
    }
}

void CChildFrame::TakeOverOutboxSends(CEmailAccount& account) {
    for (const OutboxSend& send : account.m_outboxSends) {
        if (send.sent && m_doc.MarkOutboxSent(send.outboxId, send.record)) continue;
        for (OutgoingMessage* item : account.m_outboxItems)
            if (item->m_id == send.outboxId) item->m_sending = false;
    }
    account.m_outboxSends.clear();
}

void CChildFrame::HandleFinishedDeletes() {
    for (const auto& account : m_doc.m_accounts) {
        if (!account->m_deleteFinished) continue;
        account->m_deleting = false;
        account->m_deleteFinished = false;
        std::lock_guard<std::recursive_mutex> hold(account->Mutex());
        MessageList& messages = account->GetMessages();
        for (size_t i = messages.size(); i-- > 0;) {
            CEmailMessage& m = *messages[i];
            if (m.m_queuedForDelete && m.Slot() >= 0) m_doc.RemoveMessage(m);
        }
        account->m_knownCount = messages.size();
    }
    ShowTraySummary();
}

void CChildFrame::ShowDeleteProgress() {
    const int total = m_doc.m_toDeleteCount, deleted = m_doc.m_deletedCount;
    const bool deleting = std::any_of(m_doc.m_accounts.begin(), m_doc.m_accounts.end(),
                                      [](const auto& a) { return a->m_deleting.load(); });
    if (deleted < total && deleting) {
        const int percent = deleted * 100 / total;
        m_ui.SetStatusText(Format("Deleting %d of %d, %d%% done", deleted, total, percent));
        m_ui.SetProgress(percent);
    } else if (total > 0) {
        m_ui.SetProgress(-1);
        m_doc.m_toDeleteCount = 0;
        m_doc.m_deletedCount = 0;
    }
}

}  // namespace ph
