#pragma once
// Which messages of the selected tree item the message list shows: the five view switches and
// the date period decide, message by message, in a fixed order of tests; the listing also
// counts what it shows for the status line.
#include <string>
#include <vector>

#include "app/DatePeriod.h"
#include "app/ViewSwitches.h"

namespace ph {

class CPostharbourDoc;
class CEmailAccount;
class CEmailFolderNode;
class CEmailMessage;
struct OutgoingMessage;

// The kinds of tree item that list messages.
enum class ListSource { AllMail, HiddenMail, Outbox, SentItems, SearchResults, Account, Folder };

struct ListSelection {
    ListSource source = ListSource::AllMail;
    CEmailAccount* account = nullptr;    // Account
    CEmailFolderNode* folder = nullptr;  // Folder
    // The item hangs directly under the inactive-mail node: its hidden messages are listed
    // whatever "ShowHidden" says, and an account there lists only its hidden messages.
    bool underHiddenNode = false;
};

// One row: a received message, or an outgoing one (outbox, sent items, a folder's sent items).
struct ListedItem {
    CEmailMessage* message = nullptr;
    OutgoingMessage* outgoing = nullptr;
};

struct ListCounts {
    int listed = 0;
    int newCount = 0;    // listed with the new mark
    int newAndRead = 0;  // of those, read on the server

    bool operator==(const ListCounts&) const = default;
};

struct MessageListing {
    std::vector<ListedItem> items;
    ListCounts counts;
};

// Why a message is left out, in the order the tests are made.
enum class SkipReason {
    None,  // listed
    EmptyOrDeleted,
    NotOnServer,
    NotNew,
    Read,
    Unread,
    Hidden,
    NotInRoot,
    OutsidePeriod,
};

class MessageListFilter {
  public:
    MessageListFilter(ViewSwitches switches, DatePeriod period)
        : m_switches(switches), m_period(period) {}

    const ViewSwitches& Switches() const { return m_switches; }
    const DatePeriod& Period() const { return m_period; }

    // The first test the message fails, as listed under `selection`. The caller holds the
    // lock of the message's account.
    SkipReason Test(const CEmailMessage* message, const ListSelection& selection) const;
    // Outgoing mail carries none of the server marks: only its date is tested.
    SkipReason Test(const OutgoingMessage* item) const;

    // The rows of the selected item in its order, with their counts. Takes the accounts'
    // locks while it reads their messages.
    MessageListing List(const CPostharbourDoc& doc, const ListSelection& selection) const;

  private:
    void Add(CEmailMessage* message, const ListSelection& selection, MessageListing& out) const;
    void Add(OutgoingMessage* item, MessageListing& out) const;

    ViewSwitches m_switches;
    DatePeriod m_period;
};

// "Showing %d messages with %d new including %d read on server".
std::string StatusLine(const ListCounts& counts);

// The period the View menu keeps in the document, which is the document's load range: the
// range that loads everything reads as "All Dates", any other as that custom range.
DatePeriod DocumentPeriod(const CPostharbourDoc& doc);
void StoreDocumentPeriod(CPostharbourDoc& doc, const DatePeriod& period);

}  // namespace ph
