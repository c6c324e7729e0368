#include <gtest/gtest.h>

#include "app/MessageListFilter.h"
#include "app/TreeLabels.h"
#include "doc/CPostharbourDoc.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

DateTime At(int y, int m, int d, int hh = 0) {
    return DateTime::FromParts(y, m, d, hh);
}

// A message's marks as a test sets them up.
struct Marks {
    bool onServer = true, isNew = false, read = false, hidden = false, notInRoot = false,
         deleted = false;
    DateTime date = At(2004, 3, 5);
};

void Apply(const Marks& k, CEmailMessage& m) {
    m.IsOnServer = k.onServer;
    m.IsNew = k.isNew;
    m.IsRead = k.read;
    m.IsHidden = k.hidden;
    m.IsNotInRoot = k.notInRoot;
    m.MarkedForDelete = k.deleted;
    m.SentDate = k.date;
}

ViewSwitches Switches(bool notOnServer, bool old, bool read, bool unread, bool hidden) {
    return {notOnServer, old, read, unread, hidden};
}

TEST(MessageListFilter, TestsRunInTheirOrder) {
    const ViewSwitches all = Switches(1, 1, 1, 1, 0);
    const ViewSwitches none = Switches(0, 0, 0, 0, 0);
    const DatePeriod week = *PresetPeriod(kPeriodLast7Days, At(2004, 3, 10, 12));  // from March 3rd
    const DatePeriod always;
    const ListSelection allMail, hiddenNode{ListSource::HiddenMail}, account{ListSource::Account},
        accountUnderHidden{ListSource::Account, nullptr, nullptr, true}, folder{ListSource::Folder};
    Marks worst;
    worst = {false, false, true, true, true, true, At(2001, 1, 1)};
    Marks worstKept = worst;
    worstKept.deleted = false;
    struct Case {
        const char* name;
        Marks marks;
        ViewSwitches switches;
        DatePeriod period;
        ListSelection selection;
        SkipReason expected;
    };
    const Case cases[] = {
        {"PlainMessageIsListed", {}, all, week, account, SkipReason::None},
        {"DeletedBeforeEverything", worst, none, week, account, SkipReason::EmptyOrDeleted},
        {"NotOnServerBeforeOld", worstKept, none, week, account, SkipReason::NotOnServer},
        {"OldBeforeRead",
         {.read = true, .hidden = true},
         Switches(1, 0, 0, 1, 0),
         week,
         account,
         SkipReason::NotNew},
        {"ReadBeforeHidden",
         {.read = true, .hidden = true},
         Switches(1, 1, 0, 1, 0),
         week,
         account,
         SkipReason::Read},
        {"UnreadBeforeHidden",
         {.hidden = true},
         Switches(1, 1, 1, 0, 0),
         week,
         account,
         SkipReason::Unread},
        {"ReadMailIgnoresShowUnread",
         {.read = true},
         Switches(1, 1, 1, 0, 0),
         week,
         account,
         SkipReason::None},
        {"UnreadMailIgnoresShowRead", {}, Switches(1, 1, 0, 1, 0), week, account, SkipReason::None},
        {"NewMailIgnoresShowOld",
         {.isNew = true},
         Switches(1, 0, 1, 1, 0),
         week,
         account,
         SkipReason::None},
        {"HiddenBeforeNotInRoot",
         {.hidden = true, .notInRoot = true},
         all,
         week,
         account,
         SkipReason::Hidden},
        {"HiddenShownBySwitch",
         {.hidden = true},
         Switches(1, 1, 1, 1, 1),
         week,
         allMail,
         SkipReason::None},
        {"HiddenShownOnTheHiddenNode", {.hidden = true}, all, week, hiddenNode, SkipReason::None},
        {"HiddenShownUnderTheHiddenNode",
         {.hidden = true},
         all,
         week,
         accountUnderHidden,
         SkipReason::None},
        {"HiddenSkippedInAFolder", {.hidden = true}, all, week, folder, SkipReason::Hidden},
        {"NotInRootSkippedUnderAnAccount",
         {.notInRoot = true, .date = At(2001, 1, 1)},
         all,
         week,
         account,
         SkipReason::NotInRoot},
        {"NotInRootListedElsewhere", {.notInRoot = true}, all, week, folder, SkipReason::None},
        {"BeforeThePeriod",
         {.date = At(2004, 3, 2, 23)},
         all,
         week,
         allMail,
         SkipReason::OutsidePeriod},
        {"StartOfThePeriodIsIn", {.date = At(2004, 3, 3)}, all, week, allMail, SkipReason::None},
        {"AfterTwentyTwenty",
         {.date = At(2020, 1, 1, 1)},
         all,
         week,
         allMail,
         SkipReason::OutsidePeriod},
        {"AllDatesTestsNoDate", {.date = At(2030, 1, 1)}, all, always, allMail, SkipReason::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CEmailMessage m(nullptr);
        Apply(c.marks, m);
        EXPECT_EQ(MessageListFilter(c.switches, c.period).Test(&m, c.selection), c.expected);
    }
    EXPECT_EQ(
        MessageListFilter(all, always).Test(static_cast<const CEmailMessage*>(nullptr), allMail),
        SkipReason::EmptyOrDeleted);
}

class DocumentListing : public test::OpenDocument {
  protected:
    void SetUp() override {
        OpenDocument::SetUp();
        for (const char* address : {"ann@example.com", "bob@example.org"}) {
            CEmailAccount::Settings s;
            s.userName = "user";
            s.emailName = address;
            s.incomingServer = "mail.example.com";
            accounts.push_back(doc->AddAccount(s));
            ASSERT_NE(accounts.back(), nullptr);
        }
    }
    // A stored message of account `a` with the given marks; the run-time ones set after.
    CEmailMessage* Add(int a, const std::string& subject, const Marks& marks = {}) {
        EmailRecord r;
        r.MsgUniqueID = subject;
        r.Subject = subject;
        r.IsOnServer = marks.onServer;
        r.IsRead = marks.read;
        r.IsHidden = marks.hidden;
        r.IsNotInRoot = marks.notInRoot;
        r.SentDate = marks.date;
        CEmailMessage* m = doc->AddStoredMessage(*accounts.at(a), r);
        EXPECT_NE(m, nullptr);
        if (m) Apply(marks, *m);
        return m;
    }
    OutgoingMessage* Outgoing(bool outbox, const std::string& subject, const DateTime& date) {
        OutgoingRecord r;
        r.AcctID = accounts[0]->m_id;
        r.Subject = subject;
        r.SentDate = date;
        return doc->AddOutgoing(r, outbox);
    }
    static std::vector<std::string> Subjects(const MessageListing& listing) {
        std::vector<std::string> out;
        for (const ListedItem& item : listing.items)
            out.push_back(item.message ? item.message->Subject
                                       : "out:" + item.outgoing->m_rec.Subject);
        return out;
    }
    MessageListing List(const ListSelection& selection, ViewSwitches switches = {},
                        DatePeriod period = {}) {
        return MessageListFilter(switches, period).List(*doc, selection);
    }
    std::vector<CEmailAccount*> accounts;
};

using Names = std::vector<std::string>;

TEST_F(DocumentListing, EachSourceListsItsOwnSequence) {
    Add(0, "plain", {.onServer = false, .date = At(2030, 1, 1)});
    Add(1, "other");
    Add(0, "hidden", {.hidden = true});
    Add(1, "hidden2", {.hidden = true});
    Add(0, "filed", {.notInRoot = true});
    Add(0, "gone", {.deleted = true});
    CEmailMessage* found = Add(1, "found", {.notInRoot = true});
    CEmailFolderNode* folder = doc->AddFolder("Kept", kFolderUser, 0);
    ASSERT_TRUE(doc->FileMessage(*doc->m_allMessages[4], *folder));
    ASSERT_TRUE(doc->FileSentItem(*Outgoing(false, "sent", At(2004, 1, 1)), *folder, 1));
    ASSERT_TRUE(doc->FileMessage(*doc->m_allMessages[0], *folder));
    Outgoing(true, "queued", At(2004, 1, 1));
    doc->m_searchResults = {found, doc->m_allMessages[1]};

    struct Case {
        const char* name;
        ListSelection selection;
        Names expected;
    };
    const Case cases[] = {
        {"AllActiveMail", {ListSource::AllMail}, {"plain", "other", "filed", "found"}},
        // Every message of the account except hidden, not-in-root and deleted ones, whatever its
        // date.
        {"Account", {ListSource::Account, accounts[0]}, {"plain"}},
        {"HiddenNode", {ListSource::HiddenMail}, {"hidden", "hidden2"}},
        {"AccountUnderHiddenNode", {ListSource::Account, accounts[1], nullptr, true}, {"hidden2"}},
        {"SearchResultsInTheirOrder", {ListSource::SearchResults}, {"found", "other"}},
        {"FolderBothListsWithSentItems",
         {ListSource::Folder, nullptr, folder},
         {"filed", "plain", "out:sent"}},
        {"Outbox", {ListSource::Outbox}, {"out:queued"}},
        {"SentItems", {ListSource::SentItems}, {"out:sent"}},
        {"AccountMissing", {ListSource::Account}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Subjects(List(c.selection)), c.expected) << c.name;

    // Outgoing mail follows the period too; clearing both read switches hides every received
    // message.
    const DatePeriod later = CustomPeriod(At(2004, 2, 1), At(2004, 12, 1));
    EXPECT_EQ(Subjects(List({ListSource::Folder, nullptr, folder}, {}, later)), Names{"filed"});
    for (const Case& c : cases) {
        const MessageListing listing = List(c.selection, {1, 1, 0, 0, 1});
        for (const ListedItem& item : listing.items) EXPECT_EQ(item.message, nullptr) << c.name;
    }
}

TEST_F(DocumentListing, CountsForTheStatusLine) {
    Add(0, "new-read", {.isNew = true, .read = true});
    Add(0, "new", {.isNew = true});
    Add(0, "read", {.read = true});
    Add(0, "old");
    Add(0, "new-hidden", {.isNew = true, .read = true, .hidden = true});
    struct Case {
        const char* name;
        ViewSwitches switches;
        ListCounts counts;
        const char* status;
    };
    const Case cases[] = {
        {"Everything", {}, {4, 2, 1}, "Showing 4 messages with 2 new including 1 read on server"},
        {"NewOnly",
         {1, 0, 1, 1, 0},
         {2, 2, 1},
         "Showing 2 messages with 2 new including 1 read on server"},
        {"UnreadOnly",
         {1, 1, 0, 1, 0},
         {2, 1, 0},
         "Showing 2 messages with 1 new including 0 read on server"},
        {"WithHidden",
         {1, 1, 1, 1, 1},
         {5, 3, 2},
         "Showing 5 messages with 3 new including 2 read on server"},
        {"Nothing",
         {1, 1, 0, 0, 0},
         {0, 0, 0},
         "Showing 0 messages with 0 new including 0 read on server"},
    };
    for (const Case& c : cases) {
        const MessageListing listing = List({ListSource::Account, accounts[0]}, c.switches);
        EXPECT_EQ(listing.counts, c.counts) << c.name;
        EXPECT_EQ(listing.counts.listed, static_cast<int>(listing.items.size())) << c.name;
        EXPECT_EQ(StatusLine(listing.counts), c.status) << c.name;
    }
}

TEST_F(DocumentListing, DocumentKeepsTheViewMenuPeriod) {
    EXPECT_EQ(DocumentPeriod(*doc).mode, kPeriodAllDates);
    const DatePeriod week = *PresetPeriod(kPeriodLast7Days, At(2004, 3, 10, 12));
    StoreDocumentPeriod(*doc, week);
    EXPECT_EQ(doc->m_rangeFrom, At(2004, 3, 3));
    const DatePeriod back = DocumentPeriod(*doc);
    EXPECT_EQ(back.mode, kPeriodCustom);
    EXPECT_EQ(back.start, week.start);
    EXPECT_EQ(back.end, week.end);
    // "All Dates" gives the document the range that loads every message again.
    StoreDocumentPeriod(*doc, DatePeriod{kPeriodAllDates, At(2004, 1, 1), At(2004, 2, 1)});
    EXPECT_EQ(doc->m_rangeFrom, AllDatesStart());
    EXPECT_EQ(DocumentPeriod(*doc).mode, kPeriodAllDates);
}

TEST_F(DocumentListing, TreeLabelsCarryTheirCounts) {
    CEmailAccount& ann = *accounts[0];
    struct AccountCase {
        int newCount;
        bool checking, finished;
        const char* text;
        bool image;
    };
    const AccountCase accountCases[] = {
        {0, false, false, "ann@example.com", false},
        {1, false, false, "ann@example.com (1)", true},
        {12, false, false, "ann@example.com (12)", true},
        {3, true, false, "ann@example.com", false},
        {3, false, true, "ann@example.com", false},
        {-1, false, false, "ann@example.com", false},
    };
    for (const AccountCase& c : accountCases) {
        ann.m_newMsgCount = c.newCount;
        ann.m_checkingMail = c.checking;
        ann.m_checkFinished = c.finished;
        const TreeLabel label = AccountTreeLabel(ann);
        EXPECT_EQ(label.text, c.text);
        EXPECT_EQ(label.newMailImage, c.image) << c.text;
    }

    EXPECT_EQ(SearchResultsLabel(0), "Search Results");
    EXPECT_EQ(SearchResultsLabel(1), "Search Results (1)");
    EXPECT_EQ(SearchResultsLabel(40), "Search Results (40)");

    CEmailFolderNode* folder = doc->AddFolder("Kept", kFolderUser, 0);
    EXPECT_EQ(FolderTreeLabel(*folder), "Kept");
    ASSERT_TRUE(doc->FileSentItem(*Outgoing(false, "sent", At(2004, 1, 1)), *folder, 1));
    EXPECT_EQ(FolderTreeLabel(*folder), "Kept (1)");
    CEmailMessage* m = Add(0, "m");
    ASSERT_TRUE(doc->FileMessage(*m, *folder));
    ASSERT_TRUE(doc->FileMessage(*m, *folder));
    EXPECT_EQ(FolderTreeLabel(*folder), "Kept (3)");
}

}  // namespace
}  // namespace ph
