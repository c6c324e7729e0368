#include "retrieval/ThreadCheckMail.h"

#include "common/DateTime.h"
#include "common/Trace.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "message/SmtpSend.h"
#include "retrieval/Pop3Mail.h"

namespace ph {
namespace {

constexpr const char* kLastCheckedFormat = "%H:%M:%S %a, %b %d, %Y";

bool AbortAsked(const CEmailAccount& account) {
    const IMailContext* context = account.Context();
    return context && context->AbortCheckmail();
}

}  // namespace

void BeginListing(CEmailAccount& account) {
    for (const auto& message : account.GetMessages()) {
        message->WasOnServer = message->IsOnServer;
        message->SeenOnServer = false;
    }
}

void MarkAddedMessagesNew(CEmailAccount& account) {
    MessageList& messages = account.GetMessages();
    for (size_t i = account.m_knownCount; i < messages.size(); ++i)
        if (messages[i]->NewMailMark) messages[i]->IsNew = true;
}

int SettleOnServer(CEmailAccount& account) {
    int count = 0;
    for (const auto& message : account.GetMessages()) {
        message->IsOnServer = message->SeenOnServer;
        if (message->IsOnServer && !message->MarkedForDelete) ++count;
    }
    account.m_knownCount = account.GetMessages().size();
    return count;
}

void SendOutbox(CEmailAccount& account) {
    for (OutboxSend& item : account.m_outboxSends) {
        if (AbortAsked(account)) return;
        // Left over from a check whose end was not taken over yet: it went out then.
        if (item.sent) continue;
        const SendResult result = account.SendMail(MailFromRecord(item.record));
        item.sent = result == SendResult::Sent;
        if (!item.sent) Trace("outbox message \"%s\" not sent: %s\n", item.record.Subject.c_str(), SendResultText(result));
    }
}

void EndTry(CEmailAccount& account) {
    if (!account.ChecksInOtherWindow() && account.GetMsgCount() <= kCountNoResult && !AbortAsked(account))
        return;
    account.m_checkingMail = false;
    account.m_checkFinished = true;
}

void CheckPop3Account(CEmailAccount& account, Pop3Mail& pop) {
    BeginListing(account);
    pop.Connection().ResetBytesReceived();
    if (pop.Login()) {
        const bool listed = pop.GetAllHeaders();
        pop.Disconnect();
        account.SetLastChecked(DateTime::Now().Format(kLastCheckedFormat));
        MarkAddedMessagesNew(account);
        if (!listed) {
            // The old marks stay: a listing cut short says nothing about what left the server.
            Trace("failed so retrying\n");
            // A server that stopped answering keeps that outcome, so the user sees it failed to
            // connect rather than a check that found nothing.
            if (pop.m_msgCount != kCountNoConnection) pop.m_msgCount = kCountNoResult;
            return;
        }
        pop.m_msgCount = SettleOnServer(account);
    }
    SendOutbox(account);
    EndTry(account);
}

}  // namespace ph
