#include "app/MessageListFilter.h"

#include <mutex>

#include "common/Format.h"
#include "doc/CPostharbourDoc.h"

namespace ph {
namespace {

// Worker threads change a message's marks under its account's lock.
std::unique_lock<std::recursive_mutex> LockAccountOf(const CEmailMessage& message) {
    CEmailAccount* account = message.Account();
    return account ? std::unique_lock<std::recursive_mutex>(account->Mutex())
                   : std::unique_lock<std::recursive_mutex>();
}

}  // namespace

SkipReason MessageListFilter::Test(const CEmailMessage* message,
                                   const ListSelection& selection) const {
    if (!message || message->MarkedForDelete) return SkipReason::EmptyOrDeleted;
    const CEmailMessage& m = *message;
    if (!m.IsOnServer && !m_switches.ShowNotOnServer) return SkipReason::NotOnServer;
    if (!m.IsNew && !m_switches.ShowOld) return SkipReason::NotNew;
    if (m.IsRead && !m_switches.ShowRead) return SkipReason::Read;
    if (!m.IsRead && !m_switches.ShowUnread) return SkipReason::Unread;
    if (m.IsHidden && !m_switches.ShowHidden && selection.source != ListSource::HiddenMail &&
        !selection.underHiddenNode)
        return SkipReason::Hidden;
    if (m.IsNotInRoot && selection.source == ListSource::Account) return SkipReason::NotInRoot;
    if (!m_period.Contains(m.SentDate)) return SkipReason::OutsidePeriod;
    return SkipReason::None;
}

SkipReason MessageListFilter::Test(const OutgoingMessage* item) const {
    if (!item) return SkipReason::EmptyOrDeleted;
    return m_period.Contains(item->m_rec.SentDate) ? SkipReason::None : SkipReason::OutsidePeriod;
}

void MessageListFilter::Add(CEmailMessage* message, const ListSelection& selection,
                            MessageListing& out) const {
    std::unique_lock<std::recursive_mutex> lock;
    if (message) lock = LockAccountOf(*message);
    if (Test(message, selection) != SkipReason::None) return;
    out.items.push_back({message, nullptr});
    ++out.counts.listed;
    if (message->IsNew) {
        ++out.counts.newCount;
        if (message->IsRead) ++out.counts.newAndRead;
    }
}

void MessageListFilter::Add(OutgoingMessage* item, MessageListing& out) const {
    if (Test(item) != SkipReason::None) return;
    out.items.push_back({nullptr, item});
    ++out.counts.listed;
}

MessageListing MessageListFilter::List(const CPostharbourDoc& doc,
                                       const ListSelection& selection) const {
    MessageListing out;
    const auto addAll = [&](const auto& messages) {
        for (CEmailMessage* m : messages) Add(m, selection, out);
    };
    const auto addOutgoing = [&](const std::vector<std::unique_ptr<OutgoingMessage>>& items) {
        for (const auto& item : items) Add(item.get(), out);
    };
    switch (selection.source) {
        case ListSource::AllMail:
            addAll(doc.m_allMessages);
            break;
        case ListSource::HiddenMail:
            addAll(doc.m_hiddenMessages);
            break;
        case ListSource::SearchResults:
            addAll(doc.m_searchResults);
            break;
        case ListSource::Outbox:
            addOutgoing(doc.m_outbox);
            break;
        case ListSource::SentItems:
            addOutgoing(doc.m_sentItems);
            break;
        case ListSource::Account: {
            if (!selection.account) break;
            CEmailAccount& account = *selection.account;
            std::lock_guard<std::recursive_mutex> guard(account.Mutex());
            if (selection.underHiddenNode) {
                addAll(account.m_hiddenMessages);
                break;
            }
            for (const auto& m : account.GetMessages()) Add(m.get(), selection, out);
            break;
        }
        case ListSource::Folder:
            if (!selection.folder) break;
            for (const auto& list : selection.folder->m_filed)
                for (const FiledItem& filed : list) {
                    if (filed.sent)
                        Add(filed.sent, out);
                    else
                        Add(filed.message, selection, out);
                }
            break;
    }
    return out;
}

std::string StatusLine(const ListCounts& counts) {
    return Format("Showing %d messages with %d new including %d read on server", counts.listed,
                  counts.newCount, counts.newAndRead);
}

DatePeriod DocumentPeriod(const CPostharbourDoc& doc) {
    const DatePeriod all;
    if (doc.m_rangeFrom == all.start && doc.m_rangeTo == all.end) return all;
    return CustomPeriod(doc.m_rangeFrom, doc.m_rangeTo);
}

void StoreDocumentPeriod(CPostharbourDoc& doc, const DatePeriod& period) {
    // "All Dates" tests no date, so its range must be the one that loads every message.
    const DatePeriod stored = period.mode == kPeriodAllDates ? DatePeriod() : period;
    doc.m_rangeFrom = stored.start;
    doc.m_rangeTo = stored.end;
}

}  // namespace ph
