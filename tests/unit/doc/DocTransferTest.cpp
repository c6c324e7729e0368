// Exporting, compacting and converting stores.
#include "TransferFixture.h"

namespace ph {
namespace {

using namespace transfer_test;

TEST_F(DocTransferTest, ExportAndImportRefuseTheOpenStoreUnderAnyName) {
    Populate(Doc());
    fs::create_symlink(Path("Postharbour.stg"), Path("link.stg"));
    const std::string before = ReadFile(Path("Postharbour.stg"));
    const Lines model = Model(Doc());
    const Lines spellings = {Path("Postharbour.stg"), (dir / "." / "Postharbour.stg").string(),
                             (dir / ".." / dir.filename() / "Postharbour.stg").string(), Path("link.stg")};
    for (bool exporting : {true, false}) {
        for (const std::string& path : spellings) {
            SCOPED_TRACE((exporting ? "export to " : "import from ") + path);
            UI().boxes.clear();
            EXPECT_FALSE(exporting ? Doc().Export(path) : Doc().Import(path));
            ASSERT_EQ(UI().boxes.size(), 1u);
            EXPECT_EQ(UI().boxes[0].text,
                      exporting ? "Cannot export to current open file" : "Cannot import from current open file");
            EXPECT_EQ(UI().boxes[0].caption, "ERROR");
            EXPECT_EQ(ReadFile(Path("Postharbour.stg")), before);
        }
    }
    EXPECT_EQ(UI().importDialogs, 0);
    EXPECT_EQ(Model(Doc()), model);
}

TEST_F(DocTransferTest, ExportedStoreHoldsTheSameModelUnderNewIds) {
    Populate(Doc());
    const Lines model = Model(Doc());
    ASSERT_GT(model.size(), 20u);
    const std::string before = ReadFile(Path("Postharbour.stg"));
    std::ofstream(Path("copy.mdb")) << "an older file of that name";
    ASSERT_TRUE(Doc().Export(Path("copy.mdb")));
    EXPECT_TRUE(UI().boxes.empty());
    EXPECT_EQ(ReadFile(Path("Postharbour.stg")), before);

    Session copy(Path("copy.mdb"), Path("copy.ini"));
    EXPECT_EQ(Model(copy.doc), model);
    // Renumbered: the copy has no gaps where the original has.
    EXPECT_EQ(copy.doc.m_accounts[0]->m_id, 1);
    EXPECT_NE(Doc().m_accounts[0]->m_id, 1);
    EXPECT_EQ(copy.doc.m_allMessages[0]->m_storeId, "0");
    EXPECT_NE(Doc().m_allMessages[0]->m_storeId, "0");
}

TEST_F(DocTransferTest, ExportDropsRowsOfMissingOwnersAndClearsDanglingOptionalReferences) {
    CEmailAccount* ann = AddAccount(Doc(), "ann@example.org");
    CEmailMessage* kept = AddMessage(Doc(), *ann, "kept");
    CEmailFolderNode* folder = Doc().AddFolder("F", kFolderUser, 0);
    ASSERT_TRUE(Doc().FileMessage(*kept, *folder));
    CStorageNode& root = Doc().Root();
    {
        CEmailsTable emails(root);
        emails.SetNew();
        emails.m_rec.MsgUniqueID = "orphan";
        emails.m_rec.AcctID = 999;
        std::string id;
        ASSERT_TRUE(emails.Update(id));
        emails.Close();
        CFolderContentsTable contents(root);
        contents.SetNew();
        contents.m_rec = FolderContentsRecord{kept->m_storeId, 4242, true, 0};
        ASSERT_TRUE(contents.Update(id));
        contents.Close();
    }
    AddRow<CFoldersTable>(root, [](FolderRecord& r) { r = {"Lost", 0, 4242}; });
    AddRow<CGroupContentsTable>(root, [](GroupContentsRecord& r) { r = {77, 78}; });
    AddOutgoing(Doc(), 999, "for a gone account", false);
    AddRule(Doc(), "to nowhere", "x", 4242, folder->m_id);
    ASSERT_TRUE(Doc().Export(Path("copy.mdb")));

    CStorageNode copy;
    ASSERT_TRUE(copy.OpenFile(Path("copy.mdb")));
    EXPECT_EQ(Rows(copy, "Emails", {"MsgUniqueID"}), Lines{"kept"});
    EXPECT_EQ(Rows(copy, "Folders", {"FolderName"}), Lines{"F"});
    EXPECT_EQ(Rows(copy, "FolderContents", {"MsgID", "FolderID"}), Lines{"0 1"});
    EXPECT_EQ(Rows(copy, "GroupContents", {"AcctID"}), Lines{});
    EXPECT_EQ(Rows(copy, "SentItems", {"AcctID"}), Lines{"0"});
    EXPECT_EQ(Rows(copy, "Rules", {"ActionMoveFolderid", "ActionCopyFolderid"}), Lines{"0 1"});
}

TEST_F(DocTransferTest, ExportThatCannotWriteReportsAndLeavesNoFile) {
    fs::create_directories(Path("a-directory"));
    for (const std::string& target : {Path("missing/copy.mdb"), Path("a-directory")}) {
        SCOPED_TRACE(target);
        UI().boxes.clear();
        EXPECT_FALSE(Doc().Export(target));
        ASSERT_EQ(UI().boxes.size(), 1u);
        EXPECT_EQ(UI().boxes[0].caption, "ERROR");
        EXPECT_FALSE(fs::is_regular_file(target));
    }
    EXPECT_TRUE(fs::is_directory(Path("a-directory")));
}
TEST_F(DocTransferTest, ImportAndCompactionWaitForBusyAccounts) {
    Populate(Doc());
    Session(Path("other.mdb"), Path("other.ini"));
    for (std::atomic<bool> CEmailAccount::*flag :
         {&CEmailAccount::m_checkingMail, &CEmailAccount::m_deleting, &CEmailAccount::m_downloading}) {
        for (bool compacting : {true, false}) {
            SCOPED_TRACE(compacting ? "compact" : "import");
            const std::string before = ReadFile(Path("Postharbour.stg"));
            UI().boxes.clear();
            CEmailAccount* busy = Doc().m_accounts.back().get();
            busy->*flag = true;
            EXPECT_FALSE(compacting ? Doc().Compact() : Doc().Import(Path("other.mdb")));
            ASSERT_EQ(UI().boxes.size(), 1u);
            EXPECT_EQ(UI().boxes[0].caption, "BUSY");
            EXPECT_EQ(Doc().m_accounts.back().get(), busy);  // not rebuilt under a worker
            EXPECT_EQ(ReadFile(Path("Postharbour.stg")), before);
            busy->*flag = false;
        }
    }
    EXPECT_EQ(UI().importDialogs, 0);
}

// ---------------------------------------------------------------------------------------
// Compaction

TEST_F(DocTransferTest, CompactionKeepsEverythingAndGivesBackWhatDeletionsLeft) {
    Populate(Doc());
    CEmailAccount* ann = Doc().FindAccountByAddress("ann@example.org");
    {
        CCommitGroup group(Doc().Root());
        std::vector<CEmailMessage*> bulk;
        for (int i = 0; i < 120; ++i)
            bulk.push_back(AddMessage(Doc(), *ann, "bulk-" + std::to_string(i), "", std::string(6000, char('a' + i % 26))));
        for (int i = 0; i < 115; ++i) Doc().DeleteMessageRecord(*bulk[i]);
    }
    Doc().Reload();
    const Lines model = Model(Doc());
    const auto sizeBefore = fs::file_size(Path("Postharbour.stg"));

    ASSERT_TRUE(Doc().Compact());
    ASSERT_EQ(UI().boxes.size(), 1u);
    EXPECT_EQ(UI().boxes[0].text, "Message Store Successfully Compacted");
    EXPECT_EQ(Model(Doc()), model);
    const auto sizeAfter = fs::file_size(Path("Postharbour.stg"));
    EXPECT_LT(sizeAfter * 4, sizeBefore) << sizeBefore << " -> " << sizeAfter;
    EXPECT_FALSE(fs::exists(Path("Postharbour.stg.compact")));
    // The compacted file is the open store: changes go on to it.
    AddMessage(Doc(), *Doc().m_accounts[0], "after");
    Doc().CloseStore();
    ASSERT_TRUE(Doc().OpenStore(Path("Postharbour.stg")));
    EXPECT_EQ(Model(Doc()).size(), model.size() + 1);
}

TEST_F(DocTransferTest, FailedCompactionLeavesTheOriginalOpenAndInPlace) {
    Populate(Doc());
    const Lines model = Model(Doc());
    const std::string before = ReadFile(Path("Postharbour.stg"));
    // The copy cannot be made where it has to go.
    fs::create_directories(Path("Postharbour.stg.compact"));
    std::ofstream(Path("Postharbour.stg.compact/keep")) << "x";

    EXPECT_FALSE(Doc().Compact());
    ASSERT_EQ(UI().boxes.size(), 1u);
    EXPECT_NE(UI().boxes[0].text.find("could not be compacted"), std::string::npos) << UI().boxes[0].text;
    EXPECT_EQ(ReadFile(Path("Postharbour.stg")), before);
    EXPECT_EQ(Model(Doc()), model);
    EXPECT_TRUE(fs::exists(Path("Postharbour.stg.compact/keep")));
    EXPECT_NE(AddMessage(Doc(), *Doc().m_accounts[0], "still-writable"), nullptr);
}

// ---------------------------------------------------------------------------------------
// The old layout

// A store as an earlier version wrote it: messages named by date and id, so that their order
// by name is not their order by id, and filings as element records. With `oldMessages` false
// the messages are already in the fixed-record table.
void BuildOldLayoutStore(const std::string& path, bool oldMessages) {
    CStorageNode root;
    ASSERT_TRUE(root.CreateFile(path));
    for (const char* name : kStoreTables) ASSERT_TRUE(root.CreateChild(name));
    CEmailsTable emails(root);
    emails.m_includeTexts = true;
    if (!oldMessages) {
        ASSERT_TRUE(emails.CreateTable());
    }
    const int account = AddRow<CAccountsTable>(root, [](AccountRecord& r) {
        r.EmailName = "old@example.org";
        r.AccountType = kTypePop3;
        r.allowCheckmail = true;
    });
    const int folder = AddRow<CFoldersTable>(root, [](FolderRecord& r) { r.FolderName = "Kept"; });
    const int sent = AddRow<CSentItemsTable>(root, [&](OutgoingRecord& r) {
        r.Subject = "old sent";
        r.AcctID = account;
    });
    Lines ids;
    for (const char* day : {"20040305", "20030101", "20040101"}) {
        EmailRecord r;
        r.MsgUniqueID = std::string("m-") + day;
        r.AcctID = account;
        r.SentDate = DateTime::FromParts(std::stoi(std::string(day, 4)), std::stoi(std::string(day + 4, 2)),
                                         std::stoi(std::string(day + 6, 2)));
        r.Subject = day;
        r.Body = std::string("body ") + day;
        if (oldMessages) {
            ids.push_back(std::to_string(AddRow<COldEmailsTable>(root, [&](EmailRecord& rec) { rec = r; }, day)));
        } else {
            emails.SetNew();
            emails.m_rec = r;
            ids.emplace_back();
            ASSERT_TRUE(emails.Update(ids.back()));
        }
    }
    emails.Close();
    const FolderContentsRecord filings[] = {
        {ids[0], folder, true, 0},
        {ids[1], folder, true, 1},
        {"99", folder, true, 0},  // a message that is not there
        {std::to_string(sent), folder, false, 0},
    };
    for (const FolderContentsRecord& filing : filings)
        AddRow<COldFolderContentsTable>(root, [&](FolderContentsRecord& r) { r = filing; });
    root.Release();
}

TEST_F(DocTransferTest, OldLayoutIsConvertedOnOpenWithFilingsFollowingTheirMessages) {
    struct Case {
        const char* name;
        bool oldMessages;
        size_t filingRows;  // converted messages drop the filing of one that was not there
    };
    const Case cases[] = {{"old messages and filings", true, 3}, {"old filings only", false, 4}};
    const Lines expected = {"acct old@example.org 2",
                            "filed /Kept 0 old sent",
                            "filed /Kept 0 old@example.org/m-20040305",
                            "filed /Kept 1 old@example.org/m-20030101",
                            "folder /Kept",
                            "msg old@example.org/m-20030101 20030101 |body 20030101",
                            "msg old@example.org/m-20040101 20040101 |body 20040101",
                            "msg old@example.org/m-20040305 20040305 |body 20040305",
                            "prefs",
                            "sent old@example.org old sent |"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path(std::string(c.name) + ".stg");
        BuildOldLayoutStore(path, c.oldMessages);
        for (int open = 0; open < 2; ++open) {
            Session s(path, Path("old.ini"));
            EXPECT_TRUE(s.ui.boxes.empty());
            EXPECT_FALSE(s.doc.HasOldLayout());
            EXPECT_EQ(Model(s.doc, false), expected);
            for (const TableDump& t : DumpStore(s.doc.Root())) {
                if (t.name == "Emails" || t.name == "FolderContents") {
                    EXPECT_EQ(t.layout, "fixed-record") << t.name;
                }
            }
            EXPECT_EQ(Rows(s.doc.Root(), "FolderContents", {"MsgID"}).size(), c.filingRows);
        }
    }
}

TEST_F(DocTransferTest, ImportReadsAStoreOfTheOldLayoutWithoutChangingIt) {
    BuildOldLayoutStore(Path("old.stg"), true);
    const std::string before = ReadFile(Path("old.stg"));
    UI().importChoice.newFolders = UI().importChoice.folderContents = true;
    ASSERT_TRUE(Doc().Import(Path("old.stg")));
    EXPECT_EQ(ReadFile(Path("old.stg")), before);
    EXPECT_EQ(Model(Doc(), false), (Lines{"acct old@example.org 2", "filed /Kept 0 old sent",
                                          "filed /Kept 0 old@example.org/m-20040305",
                                          "filed /Kept 1 old@example.org/m-20030101", "folder /Kept",
                                          "msg old@example.org/m-20030101 20030101 |body 20030101",
                                          "msg old@example.org/m-20040101 20040101 |body 20040101",
                                          "msg old@example.org/m-20040305 20040305 |body 20040305", "prefs",
                                          "sent old@example.org old sent |"}));
}

}  // namespace
}  // namespace ph
