#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"
#include "model/ProfileSettings.h"
#include "store/StoreDump.h"
#include "store/Tables.h"
#include "support/Files.h"
#include "support/RecordingUI.h"

namespace ph {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using test::ReadFile;

template <class... Parts>
std::string Join(const Parts&... parts) {
    std::ostringstream out;
    ((out << parts << ' '), ...);
    std::string s = out.str();
    s.pop_back();
    return s;
}

std::string FolderOf(const CPostharbourDoc& d, int id) {
    const CEmailFolderNode* f = d.FindFolder(id);
    return id == 0 ? "-" : f ? f->m_path : "dangling";
}

std::string GroupPath(const CAccountGroupNode* g) {
    return g ? GroupPath(g->m_parent) + "/" + g->m_name : "";
}

std::string MessageName(const CEmailMessage* m) { return m->Account()->m_emailName + "/" + m->MsgUniqueID; }

// The model with every store id replaced by what it stands for, one sorted line per thing:
// stores that differ only in their ids give the same lines. `full` adds every other field.
Lines Model(CPostharbourDoc& d, bool full = true) {
    Lines out;
    auto add = [&](const std::string& brief, const std::string& rest) { out.push_back(full ? brief + " " + rest : brief); };
    for (auto& a : d.m_accounts) {
        add(Join("acct", a->m_emailName, a->m_type) + (a->m_isDefault ? " default" : ""),
            Join(a->m_userName, a->m_password, a->m_pop3Server, a->m_smtpServers[0], a->m_pop3Port, a->m_useSSL,
                 a->m_orderNum));
        for (auto& m : a->GetMessages()) {
            d.FetchMessageTexts(*m);
            add(Join("msg", MessageName(m.get()), m->Subject, "|" + m->Body),
                Join(m->From, m->Folder, m->SentDate.ToStoreText(), m->IsRead, m->IsHidden, m->IsOnServer, m->MsgSize,
                     "|" + m->PlainText, "|" + m->Header));
        }
    }
    for (auto& f : d.m_allFolders) {
        add(Join("folder", f->m_path), Join(f->m_type));
        for (int list = 0; list < 2; ++list)
            for (const FiledItem& item : f->m_filed[list])
                out.push_back(Join("filed", f->m_path, list, item.message ? MessageName(item.message) : item.sent->m_rec.Subject));
    }
    for (auto& g : d.m_allGroups) {
        add(Join("group", GroupPath(g.get())), Join(g->m_type));
        for (const GroupMember& member : g->m_members) out.push_back(Join("member", GroupPath(g.get()), member.entry->m_email));
    }
    for (auto& e : d.m_addressBook) add(Join("entry", e->m_email), e->m_name);
    for (auto& rule : d.m_rules) {
        const RuleRecord r = rule->ToRecord();
        add(Join("rule", r.Name, r.From.text, FolderOf(d, r.ActionMoveFolderid), FolderOf(d, r.ActionCopyFolderid)),
            Join(r.From.combo));
    }
    for (auto* list : {&d.m_sentItems, &d.m_outbox})
        for (auto& item : *list) {
            const CEmailAccount* a = d.FindAccount(item->m_rec.AcctID);
            add(Join(item->m_inOutbox ? "outbox" : "sent", a ? a->m_emailName : "-", item->m_rec.Subject,
                     "|" + item->m_rec.MsgText),
                Join(item->m_rec.To, item->m_rec.SentDate.ToStoreText(), item->m_rec.Hidden, "|" + item->m_rec.Attachments));
        }
    for (auto& c : d.m_cannedInserts) add(Join("insert", c->m_title), c->m_text);
    add("prefs", Join(d.m_prefs.AutoCheck, d.m_prefs.AutoCheckInterval, d.m_prefs.dwTimeout));
    std::sort(out.begin(), out.end());
    return out;
}

// The values of `fields` of every record of `table`, one line per record.
Lines Rows(CStorageNode& root, const std::string& table, std::initializer_list<const char*> fields) {
    Lines out;
    for (const TableDump& t : DumpStore(root)) {
        if (t.name != table) continue;
        for (const RecordDump& r : t.records) {
            Lines values;
            for (const char* field : fields)
                for (const auto& [name, value] : r.fields)
                    if (name == field) values.push_back(value);
            std::string line;
            for (const std::string& v : values) line += (line.empty() ? "" : " ") + v;
            out.push_back(line);
        }
    }
    return out;
}

// A row written straight into a record-storage table, as an older or damaged store holds it.
template <class Table, class Fill>
int AddRow(CStorageNode& root, Fill fill, const char* prefix = nullptr) {
    Table table(root);
    if (prefix) table.SetPrefix(prefix);
    table.ClearName();
    fill(table.m_rec);
    EXPECT_TRUE(table.Update());
    const int id = table.RecordId();
    table.Close();
    return id;
}

// A document on its own store file, with its own interface and profile.
struct Session {
    Session(const std::string& storePath, const std::string& iniPath) : profile(iniPath), doc(ui, profile) {
        EXPECT_TRUE(doc.OpenStore(storePath)) << doc.OpenError();
    }
    test::RecordingUI ui;
    Profile profile;
    CPostharbourDoc doc;
};

CEmailAccount* AddAccount(CPostharbourDoc& d, const std::string& address, int type = kTypePop3) {
    CEmailAccount::Settings s;
    s.userName = address.substr(0, address.find('@'));
    s.emailName = address;
    s.password = "pw-" + s.userName;
    s.incomingServer = "mail.example.org";
    s.type = type;
    return d.AddAccount(s);
}

CEmailMessage* AddMessage(CPostharbourDoc& d, CEmailAccount& account, const std::string& uid,
                          const std::string& subject = "", const std::string& body = "") {
    EmailRecord r;
    r.MsgUniqueID = uid;
    r.Subject = subject.empty() ? "about " + uid : subject;
    r.From = "Sender <s@example.net>";
    r.SentDate = DateTime::FromParts(2004, 3, 5, 17, 2, 9);
    r.IsOnServer = true;
    r.MsgSize = 1000 + static_cast<int>(uid.size());
    r.Body = body;
    if (!body.empty()) r.PlainText = "plain of " + uid;
    return d.AddStoredMessage(account, r);
}

OutgoingMessage* AddOutgoing(CPostharbourDoc& d, int account, const std::string& subject, bool outbox) {
    OutgoingRecord r;
    r.AcctID = account;
    r.Subject = subject;
    r.To = "to@example.net";
    r.SentDate = DateTime::FromParts(2004, 4, 1, 9, 30, 0);
    r.MsgText = "text of " + subject;
    r.Attachments = "a.txt\r\nb.pdf";
    r.Hidden = outbox;
    return d.AddOutgoing(r, outbox);
}

CMailRule* AddRule(CPostharbourDoc& d, const std::string& name, const std::string& from, int move = 0, int copy = 0) {
    RuleRecord r;
    r.Name = name;
    r.From = {from, 2, 0};
    r.ActionMoveFolderid = move;
    r.ActionCopyFolderid = copy;
    return d.AddRule(CMailRule::FromRecord(r, d));
}

// Something in every table, and gaps at the front of every id sequence so that a copy that
// kept the ids is told apart from one that maps them.
void Populate(CPostharbourDoc& d) {
    CEmailAccount* gone = AddAccount(d, "gone@example.org");
    CEmailFolderNode* scratchFolder = d.AddFolder("scratch", kFolderUser, 0);
    OutgoingMessage* scratchSent = AddOutgoing(d, gone->m_id, "scratch", false);
    AddressBookEntry* scratchEntry = d.AddAddressBookEntry("Scratch", "scratch@example.org");
    CAccountGroupNode* scratchGroup = d.AddGroup("scratch", 0, 0);
    CMailRule* scratchRule = AddRule(d, "scratch", "x");
    CannedInsert* scratchInsert = d.AddCannedInsert("scratch", "x");
    CEmailAccount* ann = AddAccount(d, "ann@example.org");
    CEmailAccount* bob = AddAccount(d, "bob@example.org");
    CEmailMessage* scratch = AddMessage(d, *ann, "scratch");
    CEmailMessage* a1 = AddMessage(d, *ann, "a1", "", "body a1");
    CEmailMessage* a2 = AddMessage(d, *ann, "a2");
    a2->IsHidden = true;
    d.SaveMessageFlags(*a2);
    CEmailMessage* b1 = AddMessage(d, *bob, "b1", "from bob", "body b1");
    d.DeleteMessageRecord(*scratch);
    d.SetDefaultAccount(bob);
    d.SaveAccounts();

    CEmailFolderNode* inner = d.AddFolder("Inner", kFolderUser, 0);
    CEmailFolderNode* outer = d.AddFolder("Outer", kFolderUser, 0);
    inner->m_parentId = outer->m_id;  // a parent made after its child
    d.UpdateFolder(*inner);
    CEmailFolderNode* archive = d.AddFolder("Archive", kFolderUser, 0);
    d.FileMessage(*a1, *archive);
    d.FileMessage(*b1, *inner, 1);
    d.FileMessage(*a2, *d.AddFolder("Bulk", kFolderYahoo, -ann->m_id));
    d.FileMessage(*a1, *d.AddFolder("Trash", kFolderSpecialFirst + 1, 0));
    d.FileSentItem(*AddOutgoing(d, ann->m_id, "sent one", false), *archive);
    AddOutgoing(d, bob->m_id, "waiting", true);

    AddressBookEntry* carol = d.AddAddressBookEntry("Carol", "carol@example.org");
    AddressBookEntry* dave = d.AddAddressBookEntry("Dave", "dave@example.org");
    CAccountGroupNode* close = d.AddGroup("Close", 0, 0);
    CAccountGroupNode* friends = d.AddGroup("Friends", 1, 0);
    close->m_parentId = friends->m_id;
    d.UpdateGroup(*close);
    d.AddGroupMember(*friends, *carol);
    d.AddGroupMember(*close, *dave);

    AddRule(d, "ToArchive", "carol", archive->m_id, inner->m_id);
    d.AddCannedInsert("sig", "-- \r\nAnn");
    d.DeleteFolder(*scratchFolder);
    d.DeleteOutgoing(*scratchSent);
    d.DeleteAccount(*gone);
    d.DeleteAddressBookEntry(*scratchEntry);
    d.DeleteGroup(*scratchGroup);
    d.DeleteRule(*scratchRule);
    d.DeleteCannedInsert(*scratchInsert);
    d.m_prefs.AutoCheck = true;
    d.m_prefs.AutoCheckInterval = 7;
    d.m_prefs.dwTimeout = 1234;
    d.SavePreferences();
    d.Reload();
}

class DocTransferTest : public testing::Test {
protected:
    void SetUp() override {
        dir = test::TestDir("transfer");
        main = std::make_unique<Session>(Path("Postharbour.stg"), Path("main.ini"));
    }
    void TearDown() override {
        main.reset();
        fs::remove_all(dir);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    CPostharbourDoc& Doc() { return main->doc; }
    test::RecordingUI& UI() { return main->ui; }

    fs::path dir;
    std::unique_ptr<Session> main;
};

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

// ---------------------------------------------------------------------------------------
// Import

class DocImportTest : public DocTransferTest {
protected:
    void SetUp() override {
        DocTransferTest::SetUp();
        {
            // The store imported from: partly what the open store has, partly new.
            Session s(Path("source.mdb"), Path("source.ini"));
            CPostharbourDoc& d = s.doc;
            d.DeleteAccount(*AddAccount(d, "gone@example.org"));
            CEmailAccount* ann = AddAccount(d, "Ann@Example.ORG");
            CEmailAccount* fresh = AddAccount(d, "new@example.org");
            AddAccount(d, "bob@example.org", kTypeGmail);  // same address, other kind
            d.SetDefaultAccount(fresh);
            d.SaveAccounts();
            CEmailMessage* shared = AddMessage(d, *ann, "u-shared", "source copy");
            CEmailMessage* added = AddMessage(d, *ann, "u-new", "", "body of u-new");
            CEmailFolderNode* sharedFolder = d.AddFolder("Shared", kFolderUser, 0);
            CEmailFolderNode* freshFolder = d.AddFolder("Fresh", kFolderUser, 0);
            d.AddFolder("Sub", kFolderUser, freshFolder->m_id);
            d.FileMessage(*shared, *sharedFolder);
            d.FileMessage(*added, *sharedFolder);
            d.FileMessage(*AddMessage(d, *fresh, "n-1"), *freshFolder);
            AddressBookEntry* carol = d.AddAddressBookEntry("Carol", "carol@EXAMPLE.org");
            AddressBookEntry* erin = d.AddAddressBookEntry("Erin", "erin@example.org");
            CAccountGroupNode* friends = d.AddGroup("Friends", 0, 0);
            CAccountGroupNode* family = d.AddGroup("Family", 0, 0);
            d.AddGroupMember(*friends, *carol);
            d.AddGroupMember(*friends, *erin);
            d.AddGroupMember(*family, *erin);
            AddRule(d, "R1", "source", 0, sharedFolder->m_id);
            AddRule(d, "R2", "source", freshFolder->m_id);
            AddRule(d, "R3", "source");
            AddOutgoing(d, ann->m_id, "sent hello", false);
            AddOutgoing(d, ann->m_id, "queued", true);
            d.AddCannedInsert("source insert", "x");
        }
        CPostharbourDoc& d = Doc();
        CEmailAccount* ann = AddAccount(d, "ann@example.org");
        AddAccount(d, "bob@example.org");
        d.SetDefaultAccount(ann);
        d.SaveAccounts();
        d.FileMessage(*AddMessage(d, *ann, "u-shared", "target copy"), *d.AddFolder("Shared", kFolderUser, 0));
        d.AddGroupMember(*d.AddGroup("Friends", 0, 0), *d.AddAddressBookEntry("Carol", "carol@example.org"));
        AddRule(d, "R1", "target");
        d.Reload();
    }

    // The open store before any import (less its rule R1, which some imports rewrite) with
    // `added`, in Model's order.
    static Lines With(const Lines& added) {
        Lines lines = {"acct ann@example.org 2 default",
                       "acct bob@example.org 2",
                       "entry carol@example.org",
                       "filed /Shared 0 ann@example.org/u-shared",
                       "folder /Shared",
                       "group /Friends",
                       "member /Friends carol@example.org",
                       "msg ann@example.org/u-shared target copy |",
                       "prefs"};
        lines.insert(lines.end(), added.begin(), added.end());
        std::sort(lines.begin(), lines.end());
        return lines;
    }
};

TEST_F(DocImportTest, MergesOnlyWhatIsNewAndOnlyTheSelectedKinds) {
    using O = ImportOptions;
    auto only = [](auto... members) {
        ImportOptions o;
        o.newAccounts = o.newEmail = o.newAddressBookEntries = false;
        ((o.*members = true), ...);
        return o;
    };
    const std::string r1Target = "rule R1 target - -", r1Source = "rule R1 source - /Shared";
    const Lines newAccounts = {"acct new@example.org 2", "acct bob@example.org 4"};
    const Lines newMessages = {"msg ann@example.org/u-new about u-new |body of u-new",
                               "sent ann@example.org sent hello |text of sent hello"};
    const Lines newMember = {"entry erin@example.org", "member /Friends erin@example.org"};
    auto plus = [](Lines a, const Lines& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        ImportOptions options;
        Lines added;
    };
    const Case cases[] = {
        {"the defaults", ImportOptions{},
         plus(plus(newAccounts, newMessages),
              {"msg new@example.org/n-1 about n-1 |", "entry erin@example.org", r1Target})},
        {"everything",
         only(&O::newAccounts, &O::newEmail, &O::newFolders, &O::folderContents, &O::newAddressBookEntries,
              &O::newGroups, &O::newGroupEntries, &O::newRules, &O::ruleChanges),
         plus(plus(plus(newAccounts, newMessages), newMember),
              {"msg new@example.org/n-1 about n-1 |", "folder /Fresh", "folder /Fresh/Sub",
               "filed /Shared 0 ann@example.org/u-new", "filed /Fresh 0 new@example.org/n-1", "group /Family",
               "member /Family erin@example.org", r1Source, "rule R2 source /Fresh -", "rule R3 source - -"})},
        {"accounts without their messages", only(&O::newAccounts), plus(newAccounts, {r1Target})},
        {"messages of accounts already there", only(&O::newEmail), plus(newMessages, {r1Target})},
        {"rules whose folder is not taken stay out", only(&O::newRules, &O::ruleChanges),
         {r1Source, "rule R3 source - -"}},
        {"filings into folders already there", only(&O::newEmail, &O::folderContents),
         plus(newMessages, {"filed /Shared 0 ann@example.org/u-new", r1Target})},
        {"groups with new entries", only(&O::newAddressBookEntries, &O::newGroups, &O::newGroupEntries),
         plus(newMember, {"group /Family", "member /Family erin@example.org", r1Target})},
        {"groups without new entries", only(&O::newGroups, &O::newGroupEntries), {"group /Family", r1Target}},
    };
    const std::string pristine = ReadFile(Path("Postharbour.stg"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        main.reset();
        std::ofstream(Path("Postharbour.stg"), std::ios::binary) << pristine;
        fs::remove(Path("main.ini"));
        main = std::make_unique<Session>(Path("Postharbour.stg"), Path("main.ini"));
        ASSERT_EQ(Model(Doc(), false), With({r1Target}));
        UI().importChoice = c.options;

        ASSERT_TRUE(Doc().Import(Path("source.mdb")));
        EXPECT_EQ(UI().importDialogs, 1);
        EXPECT_TRUE(UI().boxes.empty());
        const Lines expected = With(c.added);
        EXPECT_EQ(Model(Doc(), false), expected);
        // The answer is kept for next time.
        bool dontAsk = true;
        const ImportOptions stored = ReadImportOptions(Profile(Path("main.ini")), dontAsk);
        EXPECT_FALSE(dontAsk);
        EXPECT_EQ(Join(stored.newAccounts, stored.newEmail, stored.newFolders, stored.folderContents,
                       stored.newAddressBookEntries, stored.newGroups, stored.newGroupEntries, stored.newRules,
                       stored.ruleChanges),
                  Join(c.options.newAccounts, c.options.newEmail, c.options.newFolders, c.options.folderContents,
                       c.options.newAddressBookEntries, c.options.newGroups, c.options.newGroupEntries,
                       c.options.newRules, c.options.ruleChanges));
        // It is in the store, and a second import finds all of it present.
        Doc().CloseStore();
        ASSERT_TRUE(Doc().OpenStore(Path("Postharbour.stg")));
        ASSERT_TRUE(Doc().Import(Path("source.mdb")));
        EXPECT_EQ(Model(Doc(), false), expected);
    }
}

TEST_F(DocImportTest, DontAskRunsAtOnceWithTheStoredChoices) {
    Profile& p = main->profile;
    for (const char* key : {"ImportNewAccts", "ImportNewEmail", "ImportNewAddressBookEntries"}) p.WriteInt(key, 0);
    p.WriteInt("ImportNewRules", 1);
    p.WriteInt("ImportDontAsk", 1);
    const std::string profileBefore = ReadFile(Path("main.ini"));
    UI().importConfirmed = false;  // would cancel, were it asked

    ASSERT_TRUE(Doc().Import(Path("source.mdb")));
    EXPECT_EQ(UI().importDialogs, 0);
    EXPECT_EQ(Model(Doc(), false), With({"rule R1 target - -", "rule R3 source - -"}));
    EXPECT_EQ(ReadFile(Path("main.ini")), profileBefore);
}

TEST_F(DocImportTest, NothingChangesWhenTheImportCannotHappen) {
    std::ofstream(Path("junk.mdb")) << "this is not a store at all, just some text";
    struct Case {
        const char* name;
        std::string path;
        bool cancel;
        size_t boxes;
    };
    const Case cases[] = {
        {"options dialog cancelled", Path("source.mdb"), true, 0},
        {"not a store", Path("junk.mdb"), false, 1},
        {"no such file", Path("missing.mdb"), false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = ReadFile(Path("Postharbour.stg"));
        const Lines model = Model(Doc());
        UI().boxes.clear();
        UI().importConfirmed = !c.cancel;
        UI().importChoice.newFolders = true;
        EXPECT_FALSE(Doc().Import(c.path));
        ASSERT_EQ(UI().boxes.size(), c.boxes);
        if (c.boxes) {
            EXPECT_EQ(UI().boxes[0].caption, "ERROR");
        }
        EXPECT_EQ(ReadFile(Path("Postharbour.stg")), before);
        EXPECT_EQ(Model(Doc()), model);
        // Cancel keeps the stored choices; OK stores them even when the file then fails.
        EXPECT_EQ(main->profile.GetInt("ImportNewFolders", 0), c.cancel ? 0 : 1);
    }
    EXPECT_FALSE(fs::exists(Path("missing.mdb")));
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
