// The delete command of the message list: outgoing items lose their records, a folder can give
// up its messages alone, and account messages are marked for a server delete (or for a local
// removal when no server knows them any more).
#include <algorithm>
#include <mutex>
#include <set>

#include "app/CChildFrame.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "retrieval/CDeleteAccountMsgsThread.h"

namespace ph {
namespace {

// A pending check, a server delete or a download owns the account's messages for now.
bool Busy(const CEmailAccount* account) {
    return account && (account->m_deleting || account->m_deleteFinished || account->m_checkingMail ||
                       account->m_checkFinished || account->m_worker || account->m_downloading);
}

}  // namespace

void CChildFrame::DeleteEmails(const ShownList& shown, const std::vector<CEmailMessage*>& messages,
                               const std::vector<OutgoingMessage*>& outgoing) {
    using Kind = ShownList::Kind;
    const bool inFolder = shown.kind == Kind::Folder && shown.folder;
    bool folderOnly = false;
    if (inFolder) {
        const IUserInterface::Answer answer = m_ui.MessageBox("Delete these emails from this folder only?", "DELETE",
                                                              IUserInterface::Buttons::YesNoCancel);
        if (answer == IUserInterface::Answer::Cancel) return;
        folderOnly = answer == IUserInterface::Answer::Yes;
    } else if (m_doc.m_prefs.ShowReallyDelEmail) {
        bool dontAskAgain = false;
        if (!m_ui.ConfirmDeleteEmails(dontAskAgain)) return;
        if (dontAskAgain) {
            m_doc.m_prefs.ShowReallyDelEmail = false;
            m_doc.SavePreferences();
        }
    }

    m_ui.SetTrayIcon(IUserInterface::TrayIcon::Normal, GrowthTooltip());
    m_ui.SetWaitCursor(true);
    m_doc.m_toDeleteCount = 0;
    m_doc.m_deletedCount = 0;

    if (shown.kind == Kind::Outbox || shown.kind == Kind::SentItems) {
        for (size_t i = outgoing.size(); i-- > 0;) m_doc.DeleteOutgoing(*outgoing[i]);
    } else {
        // Highest row first, as the rows go away one by one.
        for (size_t i = messages.size(); i-- > 0;) {
            CEmailMessage& m = *messages[i];
            CEmailAccount* account = m.Account();
            if (Busy(account)) continue;
            std::unique_lock<std::recursive_mutex> hold;
            if (account) hold = std::unique_lock<std::recursive_mutex>(account->Mutex());
            if (inFolder) {
                m_doc.UnfileMessage(*shown.folder, m);
                if (folderOnly) continue;
            }
            m.MarkedForDelete = true;
            if (m.MsgUniqueID.empty() || !m.IsOnServer)
                m.m_queuedForDelete = true;  // no server knows it: it goes locally only
            else
                ++m_doc.m_toDeleteCount;
        }
    }

    if (shown.kind == Kind::Outbox || shown.kind == Kind::SentItems || shown.kind == Kind::InactiveMail) {
        m_ui.RefreshViews();
        m_ui.SetStatusText("Ready");
        m_ui.SetWaitCursor(false);
        return;
    }
    StartServerDeletes();
    m_ui.RefreshViews();
    m_doc.m_deletedCount = 0;
    const int total = m_doc.m_toDeleteCount;
    if (total > 0) m_ui.SetStatusText(Format("Deleting %d/%d, (%d%% done)", 0, total, 0));
    m_ui.SetWaitCursor(false);
}

void CChildFrame::StartServerDeletes() {
    std::set<CEmailAccount*> accounts;
    for (const std::vector<CEmailMessage*>* list : {&m_doc.m_allMessages, &m_doc.m_hiddenMessages})
        for (CEmailMessage* m : *list)
            if (m->MarkedForDelete && m->Account() && !Busy(m->Account())) accounts.insert(m->Account());
    for (const auto& account : m_doc.m_accounts) {
        if (!accounts.count(account.get())) continue;
        m_ui.SetStatusText("Deleting from " + account->ShownAddress());
        std::unique_ptr<CDeleteAccountMsgsThread> worker = DeleteMsgsFromServer(*account, m_doc.m_deletedCount);
        if (worker) {
            m_deleteWorkers.push_back(std::move(worker));
        } else if (!account->m_deleting) {
            // Kinds without a server delete of their own: what was marked goes locally.
            account->m_deleteFinished = true;
        }
    }
}

}  // namespace ph
