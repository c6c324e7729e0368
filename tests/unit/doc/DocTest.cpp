#include "doc/CPostharbourDoc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "model/Profile.h"
#include "store/Tables.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

namespace fs = std::filesystem;

class DocTest : public test::OpenDocument {
protected:
    void Reopen() { ReopenStore(); }
    CEmailAccount* AddPop3(const std::string& address) {
        CEmailAccount::Settings s;
        s.userName = address.substr(0, address.find('@'));
        s.emailName = address;
        s.password = "secret";
        s.incomingServer = "mail.example.org";
        return doc->AddAccount(s);
    }
    CEmailMessage* AddMessage(CEmailAccount& account, const std::string& uid, bool texts = false) {
        EmailRecord r;
        r.MsgUniqueID = uid;
        r.Subject = "subject " + uid;
        r.SentDate = DateTime::FromParts(2004, 3, 5, 17, 2, 9);
        r.IsOnServer = true;
        if (texts) {
            r.PlainText = "plain " + uid;
            r.Body = "body " + uid;
        }
        return doc->AddStoredMessage(account, r);
    }

};

TEST_F(DocTest, NewStoreHasPreferencesWithTheProgramDefaults) {
    Reopen();
    EXPECT_TRUE(doc->m_prefs.PutInTray);
    EXPECT_TRUE(doc->m_prefs.OpenWindowOnStart);
    EXPECT_FALSE(doc->m_prefs.AutoCheck);
    EXPECT_EQ(doc->m_prefs.AutoCheckInterval, 5);
    doc->m_prefs.AutoCheck = true;
    doc->m_prefs.AutoCheckInterval = 9;
    ASSERT_TRUE(doc->SavePreferences());
    Reopen();
    EXPECT_TRUE(doc->m_prefs.AutoCheck);
    EXPECT_EQ(doc->m_prefs.AutoCheckInterval, 9);
}

TEST_F(DocTest, EveryChangeIsInTheStoreAtOnce) {
    CEmailAccount* a = AddPop3("ann@example.org");
    CEmailAccount* b = AddPop3("bob@example.org");
    doc->SetDefaultAccount(b);
    ASSERT_TRUE(doc->SaveAccounts());
    AddMessage(*a, "uid-a1", true);
    CEmailMessage* hidden = AddMessage(*b, "uid-b1");
    hidden->IsHidden = true;
    ASSERT_TRUE(doc->SaveMessageFlags(*hidden));
    CEmailFolderNode* top = doc->AddFolder("Projects", kFolderUser, 0);
    CEmailFolderNode* inner = doc->AddFolder("Harbour", kFolderUser, top->m_id);
    CEmailFolderNode* server = doc->AddFolder("Bulk", kFolderYahoo, -a->m_id);
    ASSERT_TRUE(doc->FileMessage(*hidden, *inner));
    AddressBookEntry* carol = doc->AddAddressBookEntry("Carol", "carol@example.org");
    CAccountGroupNode* friends = doc->AddGroup("Friends", 0, 0);
    ASSERT_TRUE(doc->AddGroupMember(*friends, *carol));
    ASSERT_TRUE(doc->AddCannedInsert("sig", "-- \r\nAnn"));
    ASSERT_NE(server, nullptr);

    Reopen();
    ASSERT_EQ(doc->m_accounts.size(), 2u);
    EXPECT_FALSE(doc->m_accounts[0]->m_isDefault);
    EXPECT_TRUE(doc->m_accounts[1]->m_isDefault);
    EXPECT_EQ(doc->m_accounts[1]->GetTypeName(), "example.org (default)");
    EXPECT_EQ(doc->m_allMessages.size(), 2u);
    ASSERT_EQ(doc->m_hiddenMessages.size(), 1u);
    EXPECT_EQ(doc->m_hiddenMessages[0]->MsgUniqueID, "uid-b1");
    EXPECT_EQ(doc->m_accounts[1]->m_hiddenCount, 1);
    CEmailMessage* first = doc->m_allMessages[0];
    EXPECT_TRUE(first->m_keptInStore);
    EXPECT_TRUE(first->m_bodyCached);
    EXPECT_TRUE(first->m_textCached);
    EXPECT_EQ(first->PlainText, "");  // texts stay in the store until asked for
    ASSERT_TRUE(doc->FetchMessageTexts(*first));
    EXPECT_EQ(first->PlainText, "plain uid-a1");
    ASSERT_EQ(doc->m_topFolders.size(), 1u);
    ASSERT_EQ(doc->m_topFolders[0]->m_children.size(), 1u);
    const CEmailFolderNode* harbour = doc->m_topFolders[0]->m_children[0];
    EXPECT_EQ(harbour->m_path, "/Projects/Harbour");
    ASSERT_EQ(harbour->m_filed[0].size(), 1u);
    EXPECT_EQ(harbour->m_filed[0][0].message->MsgUniqueID, "uid-b1");
    ASSERT_EQ(doc->m_accounts[0]->m_folders.size(), 1u);
    EXPECT_EQ(doc->m_accounts[0]->m_folders[0]->m_path, "ann@example.org/Bulk");
    ASSERT_EQ(doc->m_topGroups.size(), 1u);
    ASSERT_EQ(doc->m_topGroups[0]->m_members.size(), 1u);
    EXPECT_EQ(doc->m_topGroups[0]->m_members[0].entry->m_email, "carol@example.org");
    ASSERT_EQ(doc->m_cannedInserts.size(), 1u);
    EXPECT_EQ(doc->m_cannedInserts[0]->m_text, "-- \r\nAnn");
}

TEST_F(DocTest, LoadSkipsRowsWithoutUniqueIdOrAccountAndDanglingReferences) {
    CEmailAccount* a = AddPop3("ann@example.org");
    CEmailMessage* kept = AddMessage(*a, "uid-kept");
    CEmailMessage* orphan = AddMessage(*a, "uid-orphan");
    {
        // Rows as a damaged or older store may hold them.
        CEmailsTable emails(doc->Root());
        emails.SetNew();
        emails.m_rec.MsgUniqueID = "";
        emails.m_rec.AcctID = a->m_id;
        std::string id;
        emails.Update(id);
        emails.SetNew();
        emails.m_rec.MsgUniqueID = "uid-nobody";
        emails.m_rec.AcctID = 999;
        emails.Update(id);
        emails.Close();
    }
    CEmailFolderNode* folder = doc->AddFolder("F", kFolderUser, 0);
    {
        // Folders whose parent folder, or account, does not exist: loaded, hung nowhere.
        CFoldersTable folders(doc->Root());
        for (int parent : {4242, -31337}) {
            folders.ClearName();
            folders.m_rec.FolderName = "Lost";
            folders.m_rec.ParentID = parent;
            folders.Update();
        }
        folders.Close();
    }
    ASSERT_TRUE(doc->FileMessage(*kept, *folder));
    ASSERT_TRUE(doc->FileMessage(*kept, *folder));  // twice: listed twice
    ASSERT_TRUE(doc->FileMessage(*orphan, *folder));
    {
        CEmailsTable emails(doc->Root());
        emails.Delete(orphan->Slot());  // the filing now points at nothing
        emails.Close();
    }
    Reopen();
    ASSERT_EQ(doc->m_allMessages.size(), 1u);
    EXPECT_EQ(doc->m_allMessages[0]->MsgUniqueID, "uid-kept");
    EXPECT_EQ(doc->m_allFolders.size(), 3u);
    ASSERT_EQ(doc->m_topFolders.size(), 1u);
    EXPECT_EQ(doc->m_topFolders[0]->m_filed[0].size(), 2u);
    EXPECT_EQ(doc->FoldersOfMessage(*doc->m_allMessages[0]).size(), 1u);
}

TEST_F(DocTest, RewritingAMessageKeepsTextsOnlyTheStoreHeld) {
    CEmailAccount* a = AddPop3("ann@example.org");
    AddMessage(*a, "uid-1", true);
    Reopen();
    CEmailMessage* m = doc->m_allMessages[0];
    ASSERT_EQ(m->PlainText, "");
    m->IsReadLocally = true;
    ASSERT_TRUE(doc->UpdateMessage(*m));
    Reopen();
    m = doc->m_allMessages[0];
    EXPECT_TRUE(m->IsReadLocally);
    ASSERT_TRUE(doc->FetchMessageTexts(*m));
    EXPECT_EQ(m->PlainText, "plain uid-1");
    EXPECT_EQ(m->Body, "body uid-1");
}

TEST_F(DocTest, SavingAccountsMatchesRecordsByAddress) {
    CEmailAccount* a = AddPop3("ann@example.org");
    AddPop3("bob@example.org");
    const int annId = a->m_id;
    a->m_pop3Port = 995;
    doc->m_accounts[1]->m_emailName = "robert@example.org";  // bob's record no longer matches
    ASSERT_TRUE(doc->SaveAccounts());
    Reopen();
    ASSERT_EQ(doc->m_accounts.size(), 2u);
    EXPECT_EQ(doc->m_accounts[0]->m_id, annId);
    EXPECT_EQ(doc->m_accounts[0]->m_pop3Port, 995);
    EXPECT_EQ(doc->m_accounts[1]->m_emailName, "robert@example.org");
    CAccountsTable table(doc->Root());
    int records = 0;
    for (bool ok = table.Open(); ok; ok = table.MoveNext(), ++records) {
        EXPECT_NE(table.m_rec.EmailName, "bob@example.org");  // the unmatched record is gone
    }
    EXPECT_EQ(records, 2);
}

TEST_F(DocTest, AccountSettingsAndTheDefaultMarkGoStraightToTheRecords) {
    CEmailAccount* a = AddPop3("ann@example.org");
    CEmailAccount* b = AddPop3("bob@example.org");
    EXPECT_EQ(AddPop3("ANN@example.org"), nullptr);  // addresses tell records apart
    AddMessage(*a, "uid-1");
    ASSERT_TRUE(doc->SetDefaultAccount(a));
    ASSERT_TRUE(doc->SetDefaultAccount(b));
    CEmailAccount::Settings changed = a->CurrentSettings();
    changed.type = kTypeYahoo;
    changed.userName = "annie";
    EXPECT_FALSE(doc->ChangeAccountSettings(*a, [&] {
        auto clash = changed;
        clash.emailName = "bob@example.org";
        return clash;
    }()));
    ASSERT_TRUE(doc->ChangeAccountSettings(*a, changed));
    EXPECT_EQ(a->ShownAddress(), "annie@yahoo.com");  // the access object follows the kind
    EXPECT_EQ(a->GetMessages().size(), 1u);          // and the messages follow the account
    Reopen();
    EXPECT_EQ(doc->m_accounts[0]->m_type, kTypeYahoo);
    EXPECT_FALSE(doc->m_accounts[0]->m_isDefault);
    EXPECT_TRUE(doc->m_accounts[1]->m_isDefault);
    EXPECT_EQ(doc->m_allMessages.size(), 1u);
}

TEST_F(DocTest, DeletingRemovesRecordsAndEverythingThatPointsAtThem) {
    CEmailAccount* a = AddPop3("ann@example.org");
    CEmailAccount* b = AddPop3("bob@example.org");
    CEmailMessage* ma = AddMessage(*a, "uid-a");
    CEmailMessage* mb = AddMessage(*b, "uid-b");
    CEmailFolderNode* f = doc->AddFolder("F", kFolderUser, 0);
    CEmailFolderNode* inner = doc->AddFolder("G", kFolderUser, f->m_id);
    doc->FileMessage(*ma, *f);
    doc->FileMessage(*mb, *inner);
    AddressBookEntry* e = doc->AddAddressBookEntry("E", "e@example.org");
    CAccountGroupNode* g = doc->AddGroup("G", 0, 0);
    doc->AddGroupMember(*g, *e);
    ASSERT_TRUE(doc->DeleteAccount(*a));
    ASSERT_TRUE(doc->DeleteAddressBookEntry(*e));
    EXPECT_EQ(f->m_filed[0].size(), 0u);
    EXPECT_TRUE(g->m_members.empty());
    Reopen();
    EXPECT_EQ(doc->m_accounts.size(), 1u);
    EXPECT_EQ(doc->m_allMessages.size(), 1u);
    ASSERT_EQ(doc->m_topFolders.size(), 1u);
    EXPECT_EQ(doc->m_topFolders[0]->m_filed[0].size(), 0u);
    EXPECT_EQ(doc->m_topFolders[0]->m_children[0]->m_filed[0].size(), 1u);
    ASSERT_TRUE(doc->DeleteFolder(*doc->m_topFolders[0]));
    Reopen();
    EXPECT_TRUE(doc->m_allFolders.empty());
    CFolderContentsTable contents(doc->Root());
    EXPECT_FALSE(contents.Open());  // the filings went with the folders
}

TEST_F(DocTest, FolderNamesAreCutTo200CharactersAndFoldersOfAMessageShowPaths) {
    CEmailAccount* a = AddPop3("ann@example.org");
    CEmailMessage* m = AddMessage(*a, "uid-1");
    CEmailFolderNode* server = doc->AddFolder("Inbox2", kFolderYahoo, -a->m_id);
    CEmailFolderNode* longName = doc->AddFolder(std::string(250, 'n'), kFolderUser, 0);
    doc->FileMessage(*m, *server);
    doc->FileMessage(*m, *longName);
    Reopen();
    m = doc->m_allMessages[0];
    const auto where = doc->FoldersOfMessage(*m);
    ASSERT_EQ(where.size(), 2u);
    EXPECT_EQ(where[0].second, "ann@example.org/Inbox2");  // accounts first
    EXPECT_EQ(where[1].second, "/" + std::string(200, 'n'));
}

TEST_F(DocTest, AStoreThatIsNotACompoundFileIsKeptAsideAndReplaced) {
    doc->CloseStore();
    {
        std::ofstream junk(StorePath(), std::ios::binary | std::ios::trunc);
        junk << "this is not a message store";
    }
    ASSERT_TRUE(doc->OpenStore(StorePath())) << doc->OpenError();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "WARNING");
    int asides = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".damaged-") != std::string::npos) {
            ++asides;
            EXPECT_EQ(test::ReadFile(entry.path()), "this is not a message store");
        }
    EXPECT_EQ(asides, 1);
}

TEST_F(DocTest, AStoreInUseElsewhereIsNotTouched) {
    AddPop3("ann@example.org");
    const auto size = fs::file_size(StorePath());
    CPostharbourDoc second(ui, *profile);
    EXPECT_FALSE(second.OpenStore(StorePath()));
    EXPECT_NE(second.OpenError().find("in use"), std::string::npos);
    EXPECT_EQ(fs::file_size(StorePath()), size);
    EXPECT_EQ(doc->m_accounts.size(), 1u);
}

}  // namespace
}  // namespace ph
