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
    OutgoingRecord m_rec;
};

}  // namespace ph
