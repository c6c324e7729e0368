#include "retrieval/CCheckMailThread.h"

#include <chrono>
#include <mutex>

#include "common/Trace.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "retrieval/Pop3Mail.h"
#include "webmail/OtherServices.h"

namespace ph {
namespace {

// Between two Hotmail accounts of one worker, and after a failed POP3 try.
constexpr unsigned kBetweenWebAccountsMs = 500;
constexpr unsigned kAfterFailedPop3TryMs = 1000;
constexpr unsigned kPauseSliceMs = 50;

}  // namespace

CCheckMailThread::~CCheckMailThread() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void CCheckMailThread::Start() {
    if (!m_thread.joinable()) m_thread = std::thread(&CCheckMailThread::Run, this);
}

bool CCheckMailThread::StopAsked(const CEmailAccount& account) const {
    const IMailContext* context = account.Context();
    return m_stop || (context && context->AbortCheckmail());
}

bool CCheckMailThread::Pause(unsigned ms) const {
    for (unsigned slept = 0; slept < ms; slept += kPauseSliceMs) {
        if (m_stop) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseSliceMs));
    }
    return !m_stop;
}

void CCheckMailThread::Run() {
    bool first = true;
    for (CEmailAccount* account : m_accounts) {
        CheckAccount(*account, first);
        first = false;
    }
    m_finished = true;
}

void CCheckMailThread::CheckAccount(CEmailAccount& account, bool first) {
    if (account.m_type == kTypeHttp && !first) Pause(kBetweenWebAccountsMs);
    account.m_prevNewMsgCount = account.m_newMsgCount.load();
    {
        std::lock_guard<std::recursive_mutex> hold(account.Mutex());
        account.m_knownCount = account.GetMessages().size();
    }
    account.SetSizeText("-");
    account.SetStatusText("checking");
    account.m_tries = 0;

    while (account.m_tries < 1 && !StopAsked(account)) {
        try {
            std::lock_guard<std::recursive_mutex> hold(account.Mutex());
            account.ThreadCheckMail();
        } catch (...) {
            // Out of memory in a parser, say: the lock is released and the try counts as done.
            Trace("exception in checkmail thread\n");
        }
        if (StopAsked(account)) {
            Trace("abortCheckmail so exitting\n");
            break;
        }
        if (account.m_type == kTypeAol) {
            Trace("aol so exitting\n");
            break;
        }
        if (account.GetMsgCount() >= 0) {
            Trace("GetMsgCount() > -1 so exitting\n");
            break;
        }
        Trace("failed on this try\n");
        if (account.m_type == kTypePop3 && !Pause(kAfterFailedPop3TryMs)) break;
        ++account.m_tries;
    }

    {
        std::lock_guard<std::recursive_mutex> hold(account.Mutex());
        account.m_knownCount = account.GetMessages().size();
    }
    if (account.m_checkingMail && !account.AccessAs<AolMail>()) {
        const bool aborting = StopAsked(account);
        const bool webFailure = !account.AccessAs<Pop3Mail>() && account.GetMsgCount() < kCountBadPassword;
        if (!webFailure || aborting) {
            Trace(aborting ? "Aborting checking\n"
                           : "noticing that exitting thread loop but flagged as m_checkingMail so unflagging\n");
            account.m_checkingMail = false;
            account.m_checkFinished = true;
        }
    }
    account.SetStatusText("ck'd");
    account.m_done = true;
}

}  // namespace ph
