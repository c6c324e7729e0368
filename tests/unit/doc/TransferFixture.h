#pragma once
// The stores the transfer tests (export, import, compaction, conversion) build and compare,
// and the fixture that gives each test a directory and an open document of its own.
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

namespace ph::transfer_test {

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

inline std::string FolderOf(const CPostharbourDoc& d, int id) {
    const CEmailFolderNode* f = d.FindFolder(id);
    return id == 0 ? "-" : f ? f->m_path : "dangling";
}

inline std::string GroupPath(const CAccountGroupNode* g) {
    return g ? GroupPath(g->m_parent) + "/" + g->m_name : "";
}

inline std::string MessageName(const CEmailMessage* m) { return m->Account()->m_emailName + "/" + m->MsgUniqueID; }

// The model with every store id replaced by what it stands for, one sorted line per thing:
// stores that differ only in their ids give the same lines. `full` adds every other field.
inline Lines Model(CPostharbourDoc& d, bool full = true) {
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
inline Lines Rows(CStorageNode& root, const std::string& table, std::initializer_list<const char*> fields) {
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

inline CEmailAccount* AddAccount(CPostharbourDoc& d, const std::string& address, int type = kTypePop3) {
    CEmailAccount::Settings s;
    s.userName = address.substr(0, address.find('@'));
    s.emailName = address;
    s.password = "pw-" + s.userName;
    s.incomingServer = "mail.example.org";
    s.type = type;
    return d.AddAccount(s);
}

inline CEmailMessage* AddMessage(CPostharbourDoc& d, CEmailAccount& account, const std::string& uid,
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

inline OutgoingMessage* AddOutgoing(CPostharbourDoc& d, int account, const std::string& subject, bool outbox) {
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

inline CMailRule* AddRule(CPostharbourDoc& d, const std::string& name, const std::string& from, int move = 0, int copy = 0) {
    RuleRecord r;
    r.Name = name;
    r.From = {from, 2, 0};
    r.ActionMoveFolderid = move;
    r.ActionCopyFolderid = copy;
    return d.AddRule(CMailRule::FromRecord(r, d));
}

// Something in every table, and gaps at the front of every id sequence so that a copy that
// kept the ids is told apart from one that maps them.
inline void Populate(CPostharbourDoc& d) {
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

}  // namespace ph::transfer_test
