#include "retrieval/MessageDownload.h"

#include <mutex>
#include <string>

#include "common/Bytes.h"
#include "message/MimeParser.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"
#include "retrieval/ServerMatch.h"

namespace ph {
namespace {

enum class Fetch { Text, Whole };

std::unique_lock<std::recursive_mutex> LockAccount(CEmailAccount* account) {
    return account ? std::unique_lock<std::recursive_mutex>(account->Mutex())
                   : std::unique_lock<std::recursive_mutex>();
}

// Whether `listed` carries its number in this connection: a message the listing did not see
// keeps the number of an older one.
bool NumberedNow(Pop3Mail& pop, const CEmailMessage& listed) {
    std::string id;
    return !listed.MsgUniqueID.empty() && pop.GetMsgUidl(LeadingInt(listed.MsgNumber), id) &&
           id == listed.MsgUniqueID;
}

// After a listing, the number of another message of the account's list with `message`'s header
// fields; empty when there is none.
std::string NumberByListedFields(Pop3Mail& pop, const CEmailMessage& message) {
    auto hold = LockAccount(pop.m_account);
    MessageList& list = pop.m_messages;
    const size_t known = list.size();
    pop.GetAllHeaders();
    std::string number;
    for (const auto& other : list) {
        if (other.get() != &message && SameListedFields(*other, message) &&
            NumberedNow(pop, *other)) {
            number = other->MsgNumber;
            break;
        }
    }
    // The messages the listing built are for the next check to bring in and store: left in the
    // list now, that check would take them for known ones and never store them.
    const int built = static_cast<int>(list.size() - known);
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(known), list.end());
    if (pop.m_account && pop.m_account->AccessAs<Pop3Mail>() == &pop)
        pop.m_account->m_newMsgCount -= built;
    return number;
}

// Logs in, finds the message's number in this connection and fetches it into `into`. The
// connection is ended either way.
bool FetchMessage(Pop3Mail& pop, const CEmailMessage& message, CEmailMessage& into, Fetch what) {
    if (!pop.Login()) return false;
    // The numbers of this connection: they may differ from the check's.
    pop.Uidl();
    into.MsgUniqueID = message.MsgUniqueID;
    into.MsgSize = message.MsgSize;
    if (!pop.FindMsgNumber(into)) into.MsgNumber = NumberByListedFields(pop, message);
    bool fetched = false;
    if (!into.MsgNumber.empty())
        fetched = what == Fetch::Text ? pop.GetMsgText(into.MsgNumber, into)
                                      : pop.GetMsg(into.MsgNumber, into);
    // GetMsgText has closed the connection already, without QUIT.
    if (pop.Connection().IsConnected()) pop.Disconnect();
    return fetched;
}

// The fetch, leaving the account's check outcome as the check left it: a download is no
// check, and its login and listing would otherwise show through the message count.
bool Download(Pop3Mail& pop, const CEmailMessage& message, CEmailMessage& into, Fetch what) {
    const int outcome = pop.m_msgCount;
    const bool fetched = FetchMessage(pop, message, into, what);
    pop.m_msgCount = outcome;
    return fetched;
}

// The end of a download with the account's lock held: whether texts arrived, and if so the
// message is read and no longer new.
bool SettleArrival(CEmailMessage& message, CEmailAccount* account) {
    message.m_textCached = !message.PlainText.empty() || !message.HtmlText.empty();
    if (message.Body.empty() && !message.m_textCached) return false;
    if (message.IsNew) {
        message.IsNew = false;
        if (account && account->m_newMsgCount > 0) --account->m_newMsgCount;
    }
    message.IsReadLocally = true;
    // The texts in memory are now the ones to store, not those the store may still hold.
    message.m_textsInMemory = true;
    return true;
}

}  // namespace

bool DownloadMsg(Pop3Mail& pop, CEmailMessage& message) {
    CEmailMessage fetched(message.Account());
    if (!Download(pop, message, fetched, Fetch::Text)) return false;
    auto hold = LockAccount(pop.m_account);
    message.MsgNumber = std::move(fetched.MsgNumber);
    message.Header = std::move(fetched.Header);
    message.Body = std::move(fetched.Body);
    message.PlainText = std::move(fetched.PlainText);
    message.HtmlText = std::move(fetched.HtmlText);
    if (!fetched.AttachmentType.empty()) message.AttachmentType = std::move(fetched.AttachmentType);
    // Parsing no headers would blank the fields the check filled.
    if (!message.Header.empty()) mime::ParseHeaders(message, message.Header);
    return SettleArrival(message, pop.m_account);
}

bool DownloadFullMsg(Pop3Mail& pop, CEmailMessage& message, bool collectAttachments) {
    CEmailMessage fetched(message.Account());
    if (!Download(pop, message, fetched, Fetch::Whole)) return false;
    // Parsed before the lock is taken: a large message must not hold up the views.
    fetched.CollectAttachments = collectAttachments;
    mime::ParseBody(fetched, fetched.Body);
    auto hold = LockAccount(pop.m_account);
    message.MsgNumber = std::move(fetched.MsgNumber);
    message.Body = std::move(fetched.Body);
    message.PlainText = std::move(fetched.PlainText);
    message.HtmlText = std::move(fetched.HtmlText);
    if (!fetched.AttachmentType.empty()) message.AttachmentType = std::move(fetched.AttachmentType);
    message.HasAttachment = message.HasAttachment || fetched.HasAttachment;
    message.ClearAttachments();
    message.CollectAttachments = collectAttachments;
    message.AttachmentData = std::move(fetched.AttachmentData);
    message.AttachmentNames = std::move(fetched.AttachmentNames);
    message.AttachmentExtra = std::move(fetched.AttachmentExtra);
    return SettleArrival(message, pop.m_account);
}

}  // namespace ph
