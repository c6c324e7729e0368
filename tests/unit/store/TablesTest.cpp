#include "store/Tables.h"

#include <gtest/gtest.h>

#include "store/StoreDump.h"
#include "store/StoreKey.h"
#include "support/MemStore.h"

namespace ph {
namespace {

using test::MemStore;

int AddFolder(CStorageNode& root, const std::string& name) {
    CFoldersTable folders(root);
    folders.ClearName();
    folders.m_rec.FolderName = name;
    EXPECT_TRUE(folders.Update());
    folders.Close();
    return folders.RecordId();
}

std::vector<std::string> FolderNamesInOrder(CStorageNode& root) {
    std::vector<std::string> names;
    CFoldersTable folders(root);
    for (bool ok = folders.Open(); ok; ok = folders.MoveNext())
        names.push_back(folders.RecordName() + "=" + folders.m_rec.FolderName);
    folders.Close();
    return names;
}

TEST(StoreCreation, NewStoreHoldsTheTwelveTablesInOrder) {
    MemStore store;
    std::vector<std::string> found;
    std::string name;
    for (bool ok = store.root.FindFirst("*", ElementKind::Storage, name); ok; ok = store.root.FindNext(name))
        found.push_back(name);
    EXPECT_EQ(found.size(), 12u);
    for (const char* table : kStoreTables) EXPECT_NE(store.root.OpenChild(table), nullptr) << table;
    EXPECT_EQ(LayoutOf(store.root, "Emails"), TableLayout::FixedRecord);
    EXPECT_EQ(LayoutOf(store.root, "FolderContents"), TableLayout::FixedRecord);
    EXPECT_EQ(LayoutOf(store.root, "Accounts"), TableLayout::RecordStorage);
    CEmailsTable emails(store.root);
    EXPECT_FALSE(emails.Open());  // empty, but readable
    EXPECT_EQ(emails.RecordLength(), 2128);
    emails.Close();
    CFolderContentsTable contents(store.root);
    contents.Open();
    EXPECT_EQ(contents.RecordLength(), 48);
}

TEST(RecordStorageTable, NewIdsFollowTheLargestExistingId) {
    MemStore store;
    EXPECT_EQ(AddFolder(store.root, "a"), 1);
    EXPECT_EQ(AddFolder(store.root, "b"), 2);
    for (int i = 3; i <= 7; ++i) AddFolder(store.root, "x");
    CFoldersTable folders(store.root);
    for (int gone : {3, 4, 5, 6}) folders.Delete(CRecordStorageTable::NameOfId(gone));
    folders.Close();
    EXPECT_EQ(AddFolder(store.root, "c"), 8);  // not 3: ids are never reused below the top
    EXPECT_EQ(FolderNamesInOrder(store.root),
              (std::vector<std::string>{"000001=a", "000002=b", "000007=x", "000008=c"}));
}

TEST(RecordStorageTable, ExactNameFetchesOneRecord) {
    MemStore store;
    for (const char* n : {"one", "two", "three"}) AddFolder(store.root, n);
    CFoldersTable folders(store.root);
    ASSERT_TRUE(folders.Open("000002"));
    EXPECT_EQ(folders.m_rec.FolderName, "two");
    EXPECT_FALSE(folders.MoveNext());
    EXPECT_FALSE(folders.Open("000009"));
    EXPECT_TRUE(folders.IsEOF());
}

TEST(RecordStorageTable, BothTextFormsKeepEveryByteOfEveryField) {
    MemStore store;
    const std::string nasty = std::string("<tag> 100% </Name> %3c ") + '\x01' + "\xff end";
    {
        CAccountsTable accounts(store.root);
        accounts.m_rec.EmailName = "bob@example.org";
        accounts.m_rec.Password = nasty;
        accounts.m_rec.Pop3Port = 995;
        accounts.m_rec.useSSL = true;
        accounts.m_rec.AccountType = 1002;
        accounts.m_rec.EmailGrid_MsgSizeW = -7;
        ASSERT_TRUE(accounts.Update());
        accounts.Close();
    }
    {
        CAddressBookTable book(store.root);
        book.m_rec.Name = nasty;
        book.m_rec.Email = "a@b";
        ASSERT_TRUE(book.Update());
        book.Close();
    }
    store.Reopen();
    CAccountsTable accounts(store.root);
    ASSERT_TRUE(accounts.Open());
    EXPECT_EQ(accounts.m_rec.EmailName, "bob@example.org");
    EXPECT_EQ(accounts.m_rec.Password, nasty);
    EXPECT_EQ(accounts.m_rec.Pop3Port, 995);
    EXPECT_EQ(accounts.m_rec.SmtpPort, 25);  // stored 25 by default
    EXPECT_TRUE(accounts.m_rec.useSSL);
    EXPECT_EQ(accounts.m_rec.AccountType, 1002);
    EXPECT_EQ(accounts.m_rec.EmailGrid_MsgSizeW, -7);
    accounts.Close();
    CAddressBookTable book(store.root);
    ASSERT_TRUE(book.Open());
    EXPECT_EQ(book.m_rec.Name, nasty);
}

TEST(RecordStorageTable, PortsStoredAsZeroOrMissingReadAsProtocolDefaults) {
    MemStore store;
    auto table = store.root.OpenChild("Accounts");
    auto record = table->CreateChild("000001");
    auto xml = record->CreateStream("Xml");
    xml->EnableCipher(kStoreKey);
    xml->Write("<$EmailName$>old@example.org</$>\r\n<$SmtpPort$>0</$>\r\n");
    xml->Close();
    xml.reset();
    record.reset();
    table.reset();
    CAccountsTable accounts(store.root);
    ASSERT_TRUE(accounts.Open());
    EXPECT_EQ(accounts.m_rec.EmailName, "old@example.org");
    EXPECT_EQ(accounts.m_rec.Pop3Port, 110);
    EXPECT_EQ(accounts.m_rec.SmtpPort, 25);
    EXPECT_FALSE(accounts.m_rec.allowCheckmail);
}

TEST(RecordStorageTable, RecordWithoutXmlReadsAllEmpty) {
    MemStore store;
    store.root.OpenChild("Folders")->CreateChild("000004");
    CFoldersTable folders(store.root);
    folders.m_rec.FolderName = "stale";
    folders.m_rec.ParentID = 9;
    ASSERT_TRUE(folders.Open());
    EXPECT_EQ(folders.RecordId(), 4);
    EXPECT_EQ(folders.m_rec.FolderName, "");
    EXPECT_EQ(folders.m_rec.ParentID, 0);
}

TEST(RecordStorageTable, RewriteKeepsElementsThisVersionDoesNotKnow) {
    MemStore store;
    auto record = store.root.OpenChild("AddressBook")->CreateChild("000001");
    auto xml = record->CreateStream("Xml");
    xml->EnableCipher(kStoreKey);
    xml->Write("<Name>Ann</Name>\r\n<Nickname>annie</Nickname>\r\n<Email>a@x</Email>\r\n");
    xml->Close();
    xml.reset();
    record.reset();
    CAddressBookTable book(store.root);
    ASSERT_TRUE(book.Open());
    book.m_rec.Email = "ann@y";
    ASSERT_TRUE(book.Update(book.RecordName()));
    ASSERT_TRUE(book.Update(book.RecordName()));  // twice: nothing grows
    book.Close();
    auto back = store.root.OpenChild("AddressBook")->OpenChild("000001")->OpenStream("Xml");
    back->EnableCipher(kStoreKey);
    EXPECT_EQ(back->ReadAll(), "<Name>Ann</Name>\r\n<Nickname>annie</Nickname>\r\n<Email>ann@y</Email>\r\n");
}

TEST(RecordStorageTable, PrefixedNamesNumberAfterTheUnderscore) {
    MemStore store;
    // The old message table shares the name "Emails": test the naming on a storage of its own.
    store.root.CreateChild("Legacy");
    CRecordTable<AddressBookRecord> legacy(store.root, "Legacy", CRecordStorageTable::TextForm::DollarTag);
    legacy.SetPrefix("20040305");
    legacy.m_rec.Name = "first";
    ASSERT_TRUE(legacy.Update());
    EXPECT_EQ(legacy.RecordName(), "20040305_000001");
    legacy.SetPrefix("19991231");
    legacy.ClearName();
    ASSERT_TRUE(legacy.Update());
    EXPECT_EQ(legacy.RecordName(), "19991231_000002");
    EXPECT_EQ(legacy.RecordId(), 2);
}

TEST(RecordStorageTable, OutgoingMessagesKeepTheirTextAndAttachmentStreams) {
    MemStore store;
    {
        COutboxTable outbox(store.root);
        outbox.m_rec.Subject = "hello";
        outbox.m_rec.Hidden = true;
        outbox.m_rec.MsgText = std::string(6000, 'm');
        outbox.m_rec.Attachments = "a.txt\nb.bin";
        ASSERT_TRUE(outbox.Update());
        outbox.Close();
        CSentItemsTable sent(store.root);
        sent.m_rec.Subject = "sent";
        sent.m_rec.MsgText = "body";
        ASSERT_TRUE(sent.Update());
        sent.Close();
    }
    store.Reopen();
    COutboxTable outbox(store.root);
    ASSERT_TRUE(outbox.Open());
    EXPECT_EQ(outbox.m_rec.Subject, "hello");
    EXPECT_TRUE(outbox.m_rec.Hidden);
    EXPECT_EQ(outbox.m_rec.MsgText, std::string(6000, 'm'));
    EXPECT_EQ(outbox.m_rec.Attachments, "a.txt\nb.bin");
    outbox.Close();
    CSentItemsTable sent(store.root);
    ASSERT_TRUE(sent.Open());
    EXPECT_EQ(sent.m_rec.MsgText, "body");
    EXPECT_EQ(sent.m_rec.Attachments, "");
}

TEST(RecordStorageTable, PreferencesKeepTheCheckIntervalApartFromTheLogoffTimeout) {
    MemStore store;
    {
        CPreferencesTable prefs(store.root);
        prefs.m_rec.LogoffTimeout = 30;
        prefs.m_rec.AutoCheckInterval = 12;
        prefs.m_rec.dwTimeout = 5000;
        ASSERT_TRUE(prefs.Update());
        prefs.Close();
    }
    {
        CPreferencesTable prefs(store.root);
        ASSERT_TRUE(prefs.Open());
        EXPECT_EQ(prefs.m_rec.LogoffTimeout, 30);
        EXPECT_EQ(prefs.m_rec.AutoCheckInterval, 12);
        EXPECT_EQ(prefs.m_rec.dwTimeout, 5000);
    }
    // A store of the older kind has one "LogoffTimeout" element holding the interval.
    auto record = store.root.OpenChild("Preferences")->CreateChild("000002");
    auto xml = record->CreateStream("Xml");
    xml->EnableCipher(kStoreKey);
    xml->Write("<DbPswd></DbPswd>\r\n<LogoffTimeout>15</LogoffTimeout>\r\n<AutoCheck>T</AutoCheck>\r\n");
    xml->Close();
    CPreferencesTable old(store.root);
    ASSERT_TRUE(old.Open("000002"));
    EXPECT_EQ(old.m_rec.AutoCheckInterval, 15);
    EXPECT_TRUE(old.m_rec.AutoCheck);
}

TEST(RecordStorageTable, FolderNamesAreStoredUpTo200Characters) {
    MemStore store;
    AddFolder(store.root, std::string(300, 'f'));
    EXPECT_EQ(FolderNamesInOrder(store.root), (std::vector<std::string>{"000001=" + std::string(200, 'f')}));
}

// ---------------------------------------------------------------------------------------
// Fixed-record tables

std::string AddMessage(CStorageNode& root, const std::string& uid, bool texts = false) {
    CEmailsTable emails(root);
    emails.m_includeTexts = texts;
    emails.SetNew();
    emails.m_rec = EmailRecord{};
    emails.m_rec.MsgUniqueID = uid;
    emails.m_rec.SentDate = DateTime::FromParts(2004, 3, 5, 17, 2, 9);
    if (texts) {
        emails.m_rec.PlainText = "plain " + uid;
        emails.m_rec.Body = "body <$Header$> " + uid;
    }
    std::string id;
    EXPECT_TRUE(emails.Update(id));
    emails.Close();
    return id;
}

std::vector<int> WalkSlots(CStorageNode& root) {
    std::vector<int> slots;
    CEmailsTable emails(root);
    for (bool ok = emails.Open(); ok; ok = emails.MoveNext()) slots.push_back(emails.CurrentSlot());
    emails.Close();
    return slots;
}

void DeleteSlots(CStorageNode& root, std::initializer_list<int> slots) {
    CEmailsTable emails(root);
    for (int s : slots) EXPECT_TRUE(emails.Delete(s)) << s;
    emails.Close();
}

TEST(FixedRecordTable, WalkVisitsUsedSlotsOnlyAndNewRowsFillTheLowestGap) {
    MemStore store;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(AddMessage(store.root, "m" + std::to_string(i)), std::to_string(i));
    DeleteSlots(store.root, {3, 4, 5, 6, 7, 9});
    EXPECT_EQ(WalkSlots(store.root), (std::vector<int>{0, 1, 2, 8}));
    EXPECT_EQ(AddMessage(store.root, "new"), "3");
    EXPECT_EQ(WalkSlots(store.root), (std::vector<int>{0, 1, 2, 3, 8}));
    CEmailsTable emails(store.root);
    EXPECT_FALSE(emails.Open(5));  // a deleted slot is not a row
    ASSERT_TRUE(emails.Open(3));
    EXPECT_EQ(emails.m_rec.MsgUniqueID, "new");
}

TEST(FixedRecordTable, DeletingSlot3Of10KeepsTheWalkReachingTheEnd) {
    MemStore store;
    for (int i = 0; i < 10; ++i) AddMessage(store.root, "m" + std::to_string(i));
    DeleteSlots(store.root, {3});
    EXPECT_EQ(WalkSlots(store.root), (std::vector<int>{0, 1, 2, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(AddMessage(store.root, "again"), "3");
}

TEST(FixedRecordTable, FullBitmapGrowsBy1024BytesForSlot8192) {
    MemStore store;
    {
        CFolderContentsTable contents(store.root);
        contents.Open();
        std::string id;
        for (int i = 0; i < 8192; ++i) {
            contents.SetNew();
            contents.m_rec.MsgID = std::to_string(i);
            ASSERT_TRUE(contents.Update(id));
        }
        EXPECT_EQ(id, "8191");
        EXPECT_EQ(store.root.OpenChild("FolderContents")->OpenStream("TableInfo")->GetLength(), 1024u);
        contents.SetNew();
        ASSERT_TRUE(contents.Update(id));
        EXPECT_EQ(id, "8192");
        contents.Close();
    }
    EXPECT_EQ(store.root.OpenChild("FolderContents")->OpenStream("TableInfo")->GetLength(), 2048u);
    store.Reopen();
    CFolderContentsTable contents(store.root);
    ASSERT_TRUE(contents.Open(8192));
    ASSERT_TRUE(contents.Open(8191));
    EXPECT_EQ(contents.m_rec.MsgID, "8191");
}

TEST(FixedRecordTable, LongTextsAreCutAtTheirFieldSize) {
    MemStore store;
    {
        CEmailsTable emails(store.root);
        emails.SetNew();
        emails.m_rec.Subject = std::string(300, 's');
        emails.m_rec.MsgUniqueID = std::string(250, 'u');  // exactly the size: no terminator
        emails.m_rec.AcctID = 12;
        std::string id;
        ASSERT_TRUE(emails.Update(id));
        emails.Close();
    }
    CEmailsTable emails(store.root);
    ASSERT_TRUE(emails.Open());
    EXPECT_EQ(emails.m_rec.Subject, std::string(250, 's'));
    EXPECT_EQ(emails.m_rec.MsgUniqueID, std::string(250, 'u'));
    EXPECT_EQ(emails.m_rec.AcctID, 12);
    EXPECT_EQ(emails.m_rec.SentDate2, "18991230");
}

TEST(FixedRecordTable, CachedTextsLiveInTheBlobOnlyWhenThereAreAny) {
    MemStore store;
    AddMessage(store.root, "bare", true);  // texts requested but the message has some
    {
        CEmailsTable emails(store.root);
        emails.m_includeTexts = true;
        emails.SetNew();
        emails.m_rec.MsgUniqueID = "empty";
        std::string id;
        ASSERT_TRUE(emails.Update(id));
        EXPECT_EQ(id, "1");
        emails.Close();
    }
    auto table = store.root.OpenChild("Emails");
    EXPECT_TRUE(table->OpenStream("Blob_Xml_0"));
    EXPECT_FALSE(table->OpenStream("Blob_Xml_1"));  // nothing cached, nothing written
    table.reset();
    store.Reopen();
    CEmailsTable emails(store.root);
    emails.m_includeTexts = true;
    ASSERT_TRUE(emails.Open(0));
    EXPECT_EQ(emails.m_rec.PlainText, "plain bare");
    EXPECT_EQ(emails.m_rec.Body, "body <$Header$> bare");
    EXPECT_EQ(emails.m_rec.Header, "");
    EXPECT_EQ(emails.m_rec.PlainTextSize, 10);
    EXPECT_EQ(emails.m_rec.HeaderSize, 0);
    ASSERT_TRUE(emails.MoveNext());
    EXPECT_EQ(emails.m_rec.MsgUniqueID, "empty");
    EXPECT_EQ(emails.m_rec.PlainText, "");  // nothing left over from the row before
    emails.Close();
    CEmailsTable withoutTexts(store.root);
    ASSERT_TRUE(withoutTexts.Open(0));
    EXPECT_EQ(withoutTexts.m_rec.PlainText, "");
    EXPECT_EQ(withoutTexts.m_rec.PlainTextSize, 10);
}

// A walk reads every row's blob into the same buffer: a row whose blob is gone must not show
// the texts of the row before.
TEST(FixedRecordTable, RowWhoseBlobIsGoneReadsNoTextsOfTheRowBefore) {
    MemStore store;
    AddMessage(store.root, "first", true);
    AddMessage(store.root, "second", true);
    ASSERT_TRUE(store.root.OpenChild("Emails")->Destroy("Blob_Xml_1"));
    CEmailsTable emails(store.root);
    emails.m_includeTexts = true;
    ASSERT_TRUE(emails.Open());
    EXPECT_EQ(emails.m_rec.PlainText, "plain first");
    ASSERT_TRUE(emails.MoveNext());
    EXPECT_EQ(emails.m_rec.MsgUniqueID, "second");
    EXPECT_EQ(emails.m_rec.PlainTextSize, 12);
    EXPECT_EQ(emails.m_rec.PlainText, "");
    EXPECT_EQ(emails.m_rec.Body, "");
}

TEST(FixedRecordTable, DateRangeSkipsRowsSentBeforeItsStart) {
    MemStore store;
    const DateTime dates[] = {DateTime::FromParts(2003, 1, 1), DateTime::FromParts(2004, 6, 1),
                              DateTime::FromParts(2002, 12, 31), DateTime::FromParts(2005, 1, 1)};
    for (const DateTime& d : dates) {
        CEmailsTable emails(store.root);
        emails.SetNew();
        emails.m_rec.SentDate = d;
        std::string id;
        emails.Update(id);
        emails.Close();
    }
    auto walk = [&](DateTime from, DateTime to) {
        std::vector<int> slots;
        CEmailsTable emails(store.root);
        emails.SetDateRange(from, to);
        for (bool ok = emails.Open(); ok; ok = emails.MoveNext()) slots.push_back(emails.CurrentSlot());
        return slots;
    };
    EXPECT_EQ(walk(DateTime::FromParts(2003, 1, 1), DateTime::FromParts(2030, 1, 1)), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(walk(DateTime::FromParts(1985, 1, 1), DateTime::FromParts(2020, 1, 1)), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(walk(DateTime::FromParts(2006, 1, 1), DateTime::FromParts(2030, 1, 1)), (std::vector<int>{}));
}

// Builds an "Emails" table whose stored field list stops before `firstMissing`, the way an
// older version of the program wrote it, holding `rows` messages.
class NarrowEmailsTable : public CFixedRecordTable {
public:
    NarrowEmailsTable(CStorageNode& root, size_t fieldCount)
        : CFixedRecordTable(root, "Emails"),
          m_fields(CEmailsTable::Definition().begin(), CEmailsTable::Definition().begin() + fieldCount) {}
    bool CreateTable() override { return CreateWith(m_fields); }
    bool UpgradeFields() override { return UpgradeTo(m_fields); }
    void DoFieldExchange(CFieldExchange& fx) override { m_rec.ExchangeFields(fx); }
    EmailRecord m_rec;

private:
    std::vector<FieldSpec> m_fields;
};

TEST(FixedRecordTable, WideningKeepsOldFieldsAndLeavesNewOnesEmpty) {
    for (size_t fieldCount : {18u, 21u}) {  // without the four sizes; without PlainTextSize
        SCOPED_TRACE(fieldCount);
        MemStore store(false);
        store.root.CreateChild("Emails");
        NarrowEmailsTable narrow(store.root, fieldCount);
        ASSERT_TRUE(narrow.CreateTable());
        const int oldLength = narrow.RecordLength();
        for (int i = 0; i < 3; ++i) {
            narrow.SetNew();
            narrow.m_rec.SentDate2 = "20040305";
            narrow.m_rec.MsgUniqueID = "uid" + std::to_string(i);
            narrow.m_rec.Subject = std::string(250, char('a' + i));  // full to the end
            narrow.m_rec.ReplyTo = std::string(250, char('x' + i));
            narrow.m_rec.BodySize = 77;  // ignored when the field is not stored
            std::string id;
            ASSERT_TRUE(narrow.Update(id));
        }
        narrow.Close();

        CEmailsTable emails(store.root);
        ASSERT_TRUE(emails.UpgradeFields());
        emails.Close();
        store.Reopen();
        CEmailsTable reopened(store.root);
        ASSERT_TRUE(reopened.Open());
        EXPECT_GT(reopened.RecordLength(), oldLength);
        EXPECT_EQ(reopened.RecordLength(), 2128);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(reopened.m_rec.MsgUniqueID, "uid" + std::to_string(i));
            EXPECT_EQ(reopened.m_rec.Subject, std::string(250, char('a' + i)));
            EXPECT_EQ(reopened.m_rec.ReplyTo, std::string(250, char('x' + i)));
            EXPECT_EQ(reopened.m_rec.HeaderSize, 0);
            EXPECT_EQ(reopened.m_rec.HtmlTextSize, 0);
            EXPECT_EQ(reopened.m_rec.PlainTextSize, 0);
            EXPECT_EQ(reopened.m_rec.BodySize, fieldCount > 18 ? 77 : 0);
            if (i < 2) {
                ASSERT_TRUE(reopened.MoveNext());
            }
        }
        EXPECT_FALSE(reopened.MoveNext());
        reopened.Close();
        CEmailsTable again(store.root);
        EXPECT_TRUE(again.UpgradeFields());  // up to date now: nothing to do
    }
}

// A table that knows only some of the stored fields, as an older version of the program.
class SubjectOnlyTable : public CFixedRecordTable {
public:
    explicit SubjectOnlyTable(CStorageNode& root) : CFixedRecordTable(root, "Emails") {}
    bool CreateTable() override { return false; }
    bool UpgradeFields() override { return true; }
    void DoFieldExchange(CFieldExchange& fx) override { fx.Text("Subject", m_subject); }
    std::string m_subject;
};

// Rewriting a row changes the fields the writer exchanges and keeps every other stored
// value, also when the row was read, or walked past, without them being looked at.
TEST(FixedRecordTable, RewriteKeepsTheFieldsTheWriterDoesNotExchange) {
    MemStore store;
    for (int i = 0; i < 3; ++i) AddMessage(store.root, "uid" + std::to_string(i));
    {
        SubjectOnlyTable older(store.root);
        ASSERT_TRUE(older.Open());
        ASSERT_TRUE(older.MoveNext());  // slot 1
        older.m_subject = "changed";
        std::string id;
        ASSERT_TRUE(older.Update(id));
        EXPECT_EQ(id, "1");
        older.SetNew();  // a new row takes the other values of the row read last
        older.m_subject = "added";
        ASSERT_TRUE(older.Update(id));
        EXPECT_EQ(id, "3");
        older.Close();
    }
    CEmailsTable emails(store.root);
    std::vector<std::string> rows;
    for (bool ok = emails.Open(); ok; ok = emails.MoveNext())
        rows.push_back(emails.m_rec.MsgUniqueID + "/" + emails.m_rec.Subject + "/" + emails.m_rec.SentDate.ToStoreText());
    const std::string date = "March 05, 2004 17:02:09";
    EXPECT_EQ(rows, (std::vector<std::string>{"uid0//" + date, "uid1/changed/" + date, "uid2//" + date,
                                              "uid1/added/" + date}));
}

TEST(FixedRecordTable, TableWithoutRecordsStreamCountsAsUpToDate) {
    MemStore store(false);
    store.root.CreateChild("Emails");
    CEmailsTable emails(store.root);
    EXPECT_TRUE(emails.UpgradeFields());
}

}  // namespace
}  // namespace ph

namespace ph {
namespace {

TEST(StoreDump, ShowsEveryTableRecordFieldTextAndStreamButNoSecrets) {
    test::MemStore store;
    {
        CAccountsTable accounts(store.root);
        accounts.m_rec.EmailName = "bob@example.org";
        accounts.m_rec.Password = "hunter2";
        accounts.Update();
        accounts.Close();
        COutboxTable outbox(store.root);
        outbox.m_rec.MsgText = "text of the message";
        outbox.Update();
        outbox.Close();
    }
    AddMessage(store.root, "uid-1", true);
    const std::vector<TableDump> dump = DumpStore(store.root);
    ASSERT_EQ(dump.size(), 12u);
    for (size_t i = 0; i < dump.size(); ++i) EXPECT_EQ(dump[i].name, kStoreTables[i]);

    const RecordDump& account = dump[1].records.at(0);
    EXPECT_EQ(account.id, "000001");
    EXPECT_EQ(account.fields.size(), 24u);
    EXPECT_EQ(account.fields[0], (std::pair<std::string, std::string>{"EmailName", "bob@example.org"}));
    EXPECT_EQ(account.fields[2], (std::pair<std::string, std::string>{"Password", "<hidden>"}));

    const RecordDump& message = dump[2].records.at(0);
    EXPECT_EQ(dump[2].layout, "fixed-record");
    EXPECT_EQ(message.id, "0");
    EXPECT_EQ(message.fields.size(), CEmailsTable::Definition().size());
    EXPECT_EQ(message.fields[8].second, "March 05, 2004 17:02:09");
    ASSERT_EQ(message.streams.size(), 4u);
    EXPECT_EQ(message.streams[0], (std::pair<std::string, std::string>{"Blob_Xml_0/PlainText", "plain uid-1"}));

    const RecordDump& outgoing = dump[9].records.at(0);
    ASSERT_EQ(outgoing.streams.size(), 2u);
    EXPECT_EQ(outgoing.streams[0], (std::pair<std::string, std::string>{"MsgText", "text of the message"}));
}

}  // namespace
}  // namespace ph
