#pragma once
// Small records the document keeps as they are stored: address book entries, canned inserts,
// outgoing messages (outbox and sent items) and rules. Each keeps the id of its record.
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

// A rule as stored; the rule engine reads and writes it through the same record.
struct StoredRule {
    int m_id = 0;
    RuleRecord m_rec;
};

}  // namespace ph
