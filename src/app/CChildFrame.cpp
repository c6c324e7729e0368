// The frame's timer tick and scheduling, the tray summary, the status window and the workers'
// lifetimes.
#include "app/CChildFrame.h"

#include <algorithm>

#include "app/CheckStatusRows.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "retrieval/CCheckMailThread.h"
#include "retrieval/CDeleteAccountMsgsThread.h"

namespace ph {
namespace {

constexpr uint32_t kCountdownAfterMs = 10000;
constexpr uint32_t kMinuteMs = 60000;

}  // namespace

CChildFrame::CChildFrame(CPostharbourDoc& doc, IClock& clock, IConnectivity& connectivity)
    : m_doc(doc), m_ui(doc.UI()), m_clock(clock), m_connectivity(connectivity),
      m_lastCheckStart(clock.TickCount()) {
    m_doc.m_serverBodyFetcher = &CChildFrame::FetchBodyFromServer;
    RebuildOnServerList();
}

CChildFrame::~CChildFrame() {
    // The workers poll the abort flag between steps; their destructors wait for them.
    m_doc.m_abortCheckmail = true;
    m_checkWorkers.clear();
    m_deleteWorkers.clear();
    for (const auto& account : m_doc.m_accounts) account->m_worker = nullptr;
}

void CChildFrame::OnTimer() {
    CheckOnStart();
    ShowCountdown();
    // The first tick after the store opened leaves the pass alone: the views are still being
    // built from what was loaded.
    if (m_firstTick) {
        m_firstTick = false;
    } else {
        CompletionPass();
        ShowDeleteProgress();
    }
    AutomaticCheck();
    HandleFinishedDownloads();
    ReapWorkers();
    UpdateStatusWindow();
}

void CChildFrame::CheckOnStart() {
    if (m_doc.m_prefs.CheckOnStart && m_doc.m_checksStarted == 0) CheckMail(true, true);
}

void CChildFrame::ShowCountdown() {
    if (!m_doc.m_prefs.AutoCheck) return;
    const uint32_t since = m_clock.TickCount() - m_lastCheckStart;
    if (since <= kCountdownAfterMs) return;
    const int64_t interval = static_cast<int64_t>(m_doc.m_prefs.AutoCheckInterval) * kMinuteMs;
    const int64_t left = std::max<int64_t>(0, (interval - since) / 1000);
    m_ui.SetStatusText(Format("Checking mail in %d min, %d sec", static_cast<int>(left / 60), static_cast<int>(left % 60)));
}

void CChildFrame::AutomaticCheck() {
    if (!m_doc.m_prefs.AutoCheck || m_doc.m_listDownloadRunning) return;
    const uint64_t interval = static_cast<uint64_t>(std::max(0, m_doc.m_prefs.AutoCheckInterval)) * kMinuteMs;
    const uint32_t since = m_clock.TickCount() - m_lastCheckStart;
    if (since <= interval) return;
    // Far past the interval the machine slept or was busy: start counting again rather than
    // check the moment it wakes.
    const bool onTime = since <= 3 * interval;
    m_lastCheckStart = m_clock.TickCount();
    if (onTime) CheckMail(true, false);
}

std::string CChildFrame::GrowthTooltip() const {
    if (m_doc.m_onServerCount > m_doc.m_onServerAtCheckStart)
        return Format("%d NEW EMAILS", static_cast<int>(m_doc.m_onServerCount - m_doc.m_onServerAtCheckStart));
    return "NO NEW EMAIL";
}

std::pair<IUserInterface::TrayIcon, std::string> CChildFrame::TraySummary() const {
    // New mail from automatic checks outlasts everything until the user checks himself.
    if (m_doc.m_autoNewCount > 0) return {IUserInterface::TrayIcon::NewMail, "YOU HAVE NEW EMAIL"};
    return {IUserInterface::TrayIcon::Normal, GrowthTooltip()};
}

void CChildFrame::ShowTraySummary() {
    if (!m_doc.m_prefs.PutInTray) return;
    const auto [icon, tooltip] = TraySummary();
    m_ui.SetTrayIcon(icon, tooltip);
}

bool CChildFrame::AnyAccountBusy() const {
    return std::any_of(m_doc.m_accounts.begin(), m_doc.m_accounts.end(), [](const auto& a) {
        return a->m_checkingMail || a->m_checkFinished || a->m_deleting || a->m_deleteFinished;
    });
}

void CChildFrame::ReapWorkers() {
    std::erase_if(m_checkWorkers, [&](const std::unique_ptr<CCheckMailThread>& worker) {
        if (!worker->Started() || !worker->Finished()) return false;
        for (CEmailAccount* account : worker->Accounts())
            if (account->m_worker == worker.get()) account->m_worker = nullptr;
        return true;
    });
    std::erase_if(m_deleteWorkers, [](const std::unique_ptr<CDeleteAccountMsgsThread>& worker) {
        return worker->Finished();
    });
}

std::vector<CheckStatusRow> CChildFrame::StatusRows() const {
    const SavingProgress saving{m_doc.m_savingIndex, m_doc.m_savingTotal};
    std::vector<CheckStatusRow> rows;
    // An account deleted (or a model reloaded) since the check has no row any more.
    for (const CEmailAccount* account : m_statusAccounts)
        if (std::any_of(m_doc.m_accounts.begin(), m_doc.m_accounts.end(), [&](const auto& a) { return a.get() == account; }))
            rows.push_back(StatusRowOf(*account, saving));
    return rows;
}

void CChildFrame::UpdateStatusWindow() {
    if (!m_statusOpen) return;
    const bool someChecking = std::any_of(m_doc.m_accounts.begin(), m_doc.m_accounts.end(), [&](const auto& a) {
        return a->m_checkingMail && std::find(m_statusAccounts.begin(), m_statusAccounts.end(), a.get()) != m_statusAccounts.end();
    });
    std::vector<CheckStatusRow> rows = StatusRows();
    if (rows != m_shownRows) {
        m_ui.ShowCheckStatus(rows);
        m_shownRows = std::move(rows);
    }
    if (!someChecking && m_statusMayClose) {
        m_ui.CloseCheckStatus();
        m_statusOpen = false;
        m_shownRows.clear();
    }
}

}  // namespace ph
