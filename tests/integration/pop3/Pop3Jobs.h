#pragma once
// What the delete and download tests share: the account's messages as a check left them, the
// server's messages as a connection of the test's own sees them, and waiting for a worker the
// way the frame's timer does.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"

namespace ph::test {

// Every message on the server with its number, id, size and parsed headers, listed over a new
// connection made like `like`'s; the account and its object are left alone. Empty when the
// login or the listing fails.
inline MessageList ListServer(const Pop3Mail& like) {
    Pop3Mail probe(like.m_user, like.m_password, like.m_servers, nullptr, nullptr,
                   like.Connection().TlsSocket().Options());
    probe.SetTimeouts(like.GetTimeouts());
    if (!probe.Login()) return {};
    const bool listed = probe.GetAllHeaders();
    probe.Disconnect();
    return listed ? std::move(probe.m_messages) : MessageList();
}

// Adds a message to the account under `id`, as a check would have listed it; with `fieldsOf`
// it carries that listed message's header fields and size as well.
inline CEmailMessage& AddListed(CEmailAccount& account, const std::string& id,
                                const CEmailMessage* fieldsOf = nullptr) {
    CEmailMessage& message = *account.AddMessage(id);
    if (fieldsOf) {
        message.Subject = fieldsOf->Subject;
        message.From = fieldsOf->From;
        message.SentDate = fieldsOf->SentDate;
        message.MsgSize = fieldsOf->MsgSize;
    }
    return message;
}

// The same, marked for delete by the user.
inline CEmailMessage& AddMarked(CEmailAccount& account, const std::string& id,
                                const CEmailMessage* fieldsOf = nullptr) {
    CEmailMessage& message = AddListed(account, id, fieldsOf);
    message.MarkedForDelete = true;
    return message;
}

inline std::vector<std::string> Ids(const MessageList& messages) {
    std::vector<std::string> ids;
    for (const auto& message : messages) ids.push_back(message->MsgUniqueID);
    return ids;
}

// Polls the worker's flag until it is finished, meanwhile reading the account's messages under
// its lock as the views do, then reaps it.
template <class Worker>
void WaitLikeTheFrame(Worker& worker, CEmailAccount& account) {
    while (!worker.Finished()) {
        {
            std::lock_guard<std::recursive_mutex> hold(account.Mutex());
            size_t seen = 0;
            for (const auto& message : account.GetMessages())
                seen += message->MsgNumber.size() + message->PlainText.size();
            (void)seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    worker.Join();
}

}  // namespace ph::test
