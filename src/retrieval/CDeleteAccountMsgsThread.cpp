#include "retrieval/CDeleteAccountMsgsThread.h"

#include <mutex>

#include "common/Trace.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"
#include "retrieval/ServerMatch.h"

namespace ph {
namespace {

// A Pop3Mail for the delete alone, made like the account's own.
std::unique_ptr<Pop3Mail> DeleteAccess(CEmailAccount& account) {
    const Pop3Mail* own = account.AccessAs<Pop3Mail>();
    if (!own) return nullptr;
    auto pop = std::make_unique<Pop3Mail>(own->m_user, own->m_password, own->m_servers, &account,
                                          own->m_context, own->Connection().TlsSocket().Options());
    pop->SetTimeouts(own->GetTimeouts());
    return pop;
}

}  // namespace

CDeleteAccountMsgsThread::CDeleteAccountMsgsThread(CEmailAccount& account,
                                                   std::vector<CEmailMessage*> queue,
                                                   std::atomic<int>& deletedCount)
    : m_account(account),
      m_queue(std::move(queue)),
      m_deletedCount(deletedCount),
      m_pop(DeleteAccess(account)) {
    m_thread = std::thread(&CDeleteAccountMsgsThread::Run, this);
}

CDeleteAccountMsgsThread::~CDeleteAccountMsgsThread() {
    Join();
}

void CDeleteAccountMsgsThread::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void CDeleteAccountMsgsThread::Run() {
    try {
        std::lock_guard<std::recursive_mutex> hold(m_account.Mutex());
        // A refused login leaves the queue as it is: the messages go locally, the server
        // copies stay.
        if (m_pop && m_pop->Login()) {
            // The ids of this connection: a check may have seen other numbers.
            m_pop->Uidl();
            if (DeleteByUniqueId() == 0) DeleteByListedFields();
            // Deletions take effect only at QUIT.
            m_pop->Disconnect();
            if (m_pop->Login()) {
                m_pop->Uidl();
                m_pop->Disconnect();
            }
        }
    } catch (...) {
        // Out of memory while listing, say: the account must not stay deleting for ever.
        Trace("exception in delete thread\n");
    }
    m_account.m_deleteFinished = true;
    m_finished = true;
}

int CDeleteAccountMsgsThread::DeleteByUniqueId() {
    int sent = 0;
    for (CEmailMessage* message : m_queue) {
        if (message->MsgUniqueID.empty() || !m_pop->FindMsgNumber(*message)) continue;
        Delete(message->MsgNumber);
        ++sent;
    }
    return sent;
}

void CDeleteAccountMsgsThread::DeleteByListedFields() {
    // The delete's own object starts with no messages: the listing builds one for every
    // message on the server, with its headers and current number.
    m_pop->GetAllHeaders();
    for (const auto& listed : m_pop->m_messages)
        for (const CEmailMessage* queued : m_queue)
            if (SameListedFields(*listed, *queued)) Delete(listed->MsgNumber);
}

void CDeleteAccountMsgsThread::Delete(const std::string& number) {
    m_pop->Dele(number);
    ++m_deletedCount;
}

std::unique_ptr<CDeleteAccountMsgsThread> DeleteMsgsFromServer(CEmailAccount& account,
                                                               std::atomic<int>& deletedCount) {
    Pop3Mail* pop = account.AccessAs<Pop3Mail>();
    if (!pop) return nullptr;
    account.m_deleting = true;
    account.m_deleteFinished = false;
    std::vector<CEmailMessage*> queue;
    {
        std::lock_guard<std::recursive_mutex> hold(account.Mutex());
        for (const auto& message : account.GetMessages()) {
            if (!message->MarkedForDelete || message->m_queuedForDelete) continue;
            queue.push_back(message.get());
            // The count shown for the account no longer includes it. An outcome code (a
            // refused password, no connection) is not a count and stays as it is.
            if (pop->m_msgCount > 0) --pop->m_msgCount;
            message->m_queuedForDelete = true;
        }
    }
    if (queue.empty()) {
        account.m_deleting = false;
        account.m_deleteFinished = true;
        return nullptr;
    }
    return std::make_unique<CDeleteAccountMsgsThread>(account, std::move(queue), deletedCount);
}

}  // namespace ph
