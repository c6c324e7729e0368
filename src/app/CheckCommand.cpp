// The check command: online test, which accounts, busy rules, and which worker takes each.
#include <algorithm>
#include <mutex>

#include "app/CChildFrame.h"
#include "common/Clock.h"
#include "doc/CPostharbourDoc.h"
#include "net/Connectivity.h"
#include "retrieval/CCheckMailThread.h"

namespace ph {

void CChildFrame::CheckMail(bool allAccounts, bool interactive, const std::vector<CEmailAccount*>* accounts,
                            bool countAsDone) {
    m_ui.SetTrayIcon(IUserInterface::TrayIcon::Normal, GrowthTooltip());
    ++m_doc.m_checksStarted;
    if (interactive) m_doc.m_autoNewCount = 0;
    m_doc.m_lastCheckAutomatic = !interactive;
    m_lastCheckStart = m_clock.TickCount();

    if (!GoOnline(interactive)) return;

    m_ui.SetWaitCursor(true);
    m_doc.m_onServerAtCheckStart = m_doc.m_onServerCount;
    m_ui.SetStatusText("Checking for email");

    bool someBusy = false, someStarted = false;
    std::unique_ptr<CCheckMailThread> workerA, workerB;
    const std::vector<CEmailAccount*> chosen = ChooseAccounts(allAccounts, accounts);
    // A window still open from the last check keeps its rows; a new one starts empty.
    if (interactive && !m_statusOpen) m_statusAccounts.clear();
    for (CEmailAccount* account : chosen) {
        if (account->m_worker || account->m_deleting) {
            someBusy = true;
            continue;
        }
        account->SetStatusText("");
        account->SetSizeText("-");
        someStarted = true;
        if (account->m_type == kTypeKm && !StorePasswordGiven()) {
            if (chosen.size() == 1) break;
            continue;
        }
        account->ResetItemsDone();
        if (interactive && std::find(m_statusAccounts.begin(), m_statusAccounts.end(), account) == m_statusAccounts.end())
            m_statusAccounts.push_back(account);
        switch (account->m_type) {
            case kTypePop3:
                StartCheck(*account, &SharedWorker(workerA));
                break;
            case kTypeYahoo:
                account->m_done = countAsDone;
                StartCheck(*account, &SharedWorker(workerB));
                break;
            case kTypeMapi:
                if (interactive) StartCheck(*account, nullptr);
                break;
            default:
                StartCheck(*account, nullptr);
        }
    }
    for (std::unique_ptr<CCheckMailThread>* worker : {&workerA, &workerB}) {
        if (!*worker) continue;
        (*worker)->Start();
        m_checkWorkers.push_back(std::move(*worker));
    }

    if (interactive && !someStarted) {
        m_ui.MessageBox("All active accounts were already busy checking for or deleting mail", "WARNING",
                        IUserInterface::Buttons::Ok);
    } else {
        if (interactive && someBusy)
            m_ui.MessageBox("Some accounts were already busy checking for or deleting mail", "WARNING",
                            IUserInterface::Buttons::Ok);
        if (someStarted) {
            if (interactive && !m_statusAccounts.empty() && m_doc.m_prefs.ShowStatusOnCheck) {
                m_statusOpen = true;
                m_statusMayClose = false;
                UpdateStatusWindow();
            }
            m_ui.RefreshViews();
            RebuildOnServerList();
            m_ui.SetStatusText("Ready");
        }
    }
    m_ui.SetWaitCursor(false);
}

bool CChildFrame::GoOnline(bool interactive) {
    if (m_connectivity.IsOnline()) return true;
    if (!m_doc.m_prefs.DialOnCheck) {
        if (interactive)
            m_ui.MessageBox("You are not connected to the internet", "WARNING", IUserInterface::Buttons::Ok);
        return false;
    }
    if (!m_connectivity.Dial())
        m_ui.MessageBox("You are not connected to the internet!", "WARNING", IUserInterface::Buttons::Ok);
    // Even a successful dial ends this command: the next one finds the connection up.
    return false;
}

bool CChildFrame::StorePasswordGiven() {
    std::string entered;
    while (!m_doc.m_storePasswordEntered) {
        if (!m_ui.AskStorePassword(entered)) return false;
        if (entered == m_doc.m_prefs.DbPswd) m_doc.m_storePasswordEntered = true;
    }
    return true;
}

std::vector<CEmailAccount*> CChildFrame::ChooseAccounts(bool allAccounts,
                                                        const std::vector<CEmailAccount*>* accounts) const {
    std::vector<CEmailAccount*> chosen;
    auto activeOf = [&](const std::vector<CEmailAccount*>& from) {
        for (CEmailAccount* a : from)
            if (a->m_allowCheckmail) chosen.push_back(a);
    };
    std::vector<CEmailAccount*> all;
    for (const auto& a : m_doc.m_accounts) all.push_back(a.get());

    using Focus = TreeChoice::Focus;
    if (accounts) {
        activeOf(*accounts);
    } else if (allAccounts) {
        activeOf(all);
    } else if (m_tree.focus == Focus::AccountsManager && m_tree.selectedInTree.size() > 1) {
        chosen = m_tree.selectedInTree;
    } else if (m_tree.focus == Focus::None || m_tree.focus == Focus::AccountsManager || m_tree.focus == Focus::Misc) {
        if (m_tree.selectedInList.empty())
            activeOf(all);
        else
            chosen = m_tree.selectedInList;
    } else if (m_tree.focus == Focus::Account && m_tree.account) {
        chosen.push_back(m_tree.account);
    } else {
        activeOf(all);
    }
    return chosen;
}

CCheckMailThread& CChildFrame::SharedWorker(std::unique_ptr<CCheckMailThread>& slot) {
    if (!slot) slot = std::make_unique<CCheckMailThread>();
    return *slot;
}

void CChildFrame::StartCheck(CEmailAccount& account, CCheckMailThread* worker) {
    switch (account.StartCheck(/*hotmailWindowOpen=*/false)) {
        case CEmailAccount::StartCheckResult::AskedAgainBusyChecking:
        case CEmailAccount::StartCheckResult::AskedAgainBusyOtherJob:
            account.m_done = true;
            m_ui.Beep();
            return;
        case CEmailAccount::StartCheckResult::RunInInterfaceThread: {
            std::lock_guard<std::recursive_mutex> hold(account.Mutex());
            account.ThreadCheckMail();
            return;
        }
        case CEmailAccount::StartCheckResult::RunInWorker:
            break;
    }
    HandOutboxToCheck(account);
    if (worker) {
        worker->AddAccount(account);
        account.m_worker = worker;
        return;
    }
    auto own = std::make_unique<CCheckMailThread>();
    own->AddAccount(account);
    account.m_worker = own.get();
    own->Start();
    m_checkWorkers.push_back(std::move(own));
}

void CChildFrame::HandOutboxToCheck(CEmailAccount& account) {
    // The worker is not running for this account yet, so its list is still ours to fill.
    for (OutgoingMessage* item : account.m_outboxItems) {
        if (item->m_sending) continue;
        item->m_sending = true;
        account.m_outboxSends.push_back({item->m_id, item->m_rec});
    }
}

void CChildFrame::RebuildOnServerList() {
    size_t total = 0;
    for (const auto& account : m_doc.m_accounts) {
        // A list a worker holds is the worker's until its check ends: its last count stands in.
        std::unique_lock<std::recursive_mutex> hold(account->Mutex(), std::try_to_lock);
        if (hold.owns_lock()) {
            account->m_onServerCounted = 0;
            for (const auto& message : account->GetMessages())
                if (message->IsOnServer && !message->MarkedForDelete) ++account->m_onServerCounted;
        }
        total += account->m_onServerCounted;
    }
    m_doc.m_onServerCount = total;
}

void CChildFrame::AbortCheck() { m_doc.m_abortCheckmail = true; }

}  // namespace ph
