// The write-through jobs of the outbox and the sent items.
#include <algorithm>

#include "common/DateTime.h"
#include "doc/CPostharbourDoc.h"
#include "doc/RecordJobs.h"
#include "store/Tables.h"

namespace ph {

using namespace recordjobs;

OutgoingMessage* CPostharbourDoc::AddOutgoing(const OutgoingRecord& record, bool toOutbox) {
    auto fill = [&](OutgoingRecord& r) { r = record; };
    const int id = toOutbox ? AddRecord<COutboxTable>(m_root, fill) : AddRecord<CSentItemsTable>(m_root, fill);
    if (id == 0) return nullptr;
    auto item = std::make_unique<OutgoingMessage>();
    item->m_id = id;
    item->m_inOutbox = toOutbox;
    item->m_rec = record;
    if (CEmailAccount* account = FindAccount(record.AcctID))
        (toOutbox ? account->m_outboxItems : account->m_sentItems).push_back(item.get());
    auto& list = toOutbox ? m_outbox : m_sentItems;
    list.push_back(std::move(item));
    return list.back().get();
}

bool CPostharbourDoc::UpdateOutgoing(OutgoingMessage& item) {
    auto fill = [&](OutgoingRecord& r) { r = item.m_rec; };
    return item.m_inOutbox ? UpdateRecord<COutboxTable>(m_root, item.m_id, fill)
                           : UpdateRecord<CSentItemsTable>(m_root, item.m_id, fill);
}

bool CPostharbourDoc::DeleteOutgoing(OutgoingMessage& item) {
    bool ok = true;
    for (auto& folder : m_allFolders)
        for (auto& list : folder->m_filed)
            for (size_t i = list.size(); i-- > 0;)
                if (list[i].sent == &item) {
                    ok = DeleteFolderContentsRow(list[i].contentsId) && ok;
                    list.erase(list.begin() + static_cast<long>(i));
                }
    ok = (item.m_inOutbox ? DeleteRecord<COutboxTable>(m_root, item.m_id)
                          : DeleteRecord<CSentItemsTable>(m_root, item.m_id)) && ok;
    for (auto& account : m_accounts) {
        ErasePointer(account->m_outboxItems, &item);
        ErasePointer(account->m_sentItems, &item);
    }
    EraseOwned(item.m_inOutbox ? m_outbox : m_sentItems, &item);
    return ok;
}

OutgoingMessage* CPostharbourDoc::MarkOutboxSent(int outboxId, OutgoingRecord record) {
    // The copy the send worked from stands in for a row the user deleted while it was sent:
    // the message went out all the same.
    const auto at = std::find_if(m_outbox.begin(), m_outbox.end(), [&](const auto& item) { return item->m_id == outboxId; });
    record.SentDate = DateTime::Now();
    OutgoingMessage* sent = AddOutgoing(record, /*toOutbox=*/false);
    if (sent && at != m_outbox.end()) DeleteOutgoing(**at);
    return sent;
}

}  // namespace ph
