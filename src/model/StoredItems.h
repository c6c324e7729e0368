#pragma once
// Small records the document keeps as they are stored: address book entries, canned inserts
// and outgoing messages (outbox and sent items). Each keeps the id of its record.
#include <string>

#include "store/Records.h"

namespace ph {

struct AddressBookEntry {
    int m_id = 0;
    std::string m_name;
    std::string m_email;
};

struct CannedInsert {
    int m_id = 0;
    std::string m_title;
    std::string m_text;
};

struct OutgoingMessage {
    int m_id = 0;
    bool m_inOutbox = true;  // false: a sent item
    // Handed to a running check to be sent; another check leaves it alone (interface thread).
    bool m_sending = false;
    OutgoingRecord m_rec;
};

// An outbox message handed to a check: a copy, so the check never reads what the interface
// may change meanwhile. The worker sets `sent` under the account's lock; the completion pass
// moves what was sent to the sent items.
struct OutboxSend {
    int outboxId = 0;
    OutgoingRecord record;
    bool sent = false;
};

}  // namespace ph
