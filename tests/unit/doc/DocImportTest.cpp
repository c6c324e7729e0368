// Importing another store into the open one: what merges, what is asked, what stays.
#include "TransferFixture.h"

namespace ph {
namespace {

using namespace transfer_test;


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

}  // namespace
}  // namespace ph
