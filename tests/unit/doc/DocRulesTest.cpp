#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "app/MailSearch.h"
#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"
#include "rules/CMailRule.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

namespace fs = std::filesystem;

CEmailAccount::Settings Me() {
    CEmailAccount::Settings s;
    s.userName = "me";
    s.emailName = "me@example.org";
    s.incomingServer = "mail.example.org";
    return s;
}

class DocRules : public test::OpenDocument {
protected:
    void SetUp() override {
        OpenDocument::SetUp();
        ASSERT_NE(account = doc->AddAccount(Me()), nullptr);
        archive = doc->AddFolder("Archive", kFolderUser, 0);
        other = doc->AddFolder("Other", kFolderUser, 0);
    }
    void Reopen() {
        ReopenStore();
        account = doc->m_accounts.at(0).get();
        archive = FolderNamed("Archive");
        other = FolderNamed("Other");
    }
    CEmailFolderNode* FolderNamed(const std::string& name) const {
        auto it = std::find_if(doc->m_allFolders.begin(), doc->m_allFolders.end(),
                               [&](const auto& f) { return f->m_name == name; });
        return it == doc->m_allFolders.end() ? nullptr : it->get();
    }
    CEmailMessage* Stored(const std::string& uid, const std::string& subject, bool onServer = true) {
        EmailRecord r;
        r.MsgUniqueID = uid;
        r.Subject = subject;
        r.IsOnServer = onServer;
        return doc->AddStoredMessage(*account, r);
    }
    CEmailMessage* ByUid(const std::string& uid) const {
        auto it = std::find_if(doc->m_allMessages.begin(), doc->m_allMessages.end(),
                               [&](const CEmailMessage* m) { return m->MsgUniqueID == uid; });
        return it == doc->m_allMessages.end() ? nullptr : *it;
    }
    static size_t Filed(const CEmailFolderNode& folder, const std::string& uid) {
        return std::count_if(folder.m_filed[0].begin(), folder.m_filed[0].end(),
                             [&](const FiledItem& i) { return i.message && i.message->MsgUniqueID == uid; });
    }
    // A rule on a subject word that moves (or copies) into the folder, if one is given.
    static std::unique_ptr<CMailRule> SubjectRule(const std::string& word, const CEmailFolderNode* folder = nullptr,
                                                  bool move = false) {
        auto rule = std::make_unique<CMailRule>();
        rule->m_words[kFieldSubject] = {{word}, 1, 0};
        if (folder) (move ? rule->MoveFolderId : rule->CopyFolderId) = folder->m_id;
        if (folder) (move ? rule->MoveFolderName : rule->CopyFolderName) = folder->m_name;
        return rule;
    }

    CEmailAccount* account = nullptr;
    CEmailFolderNode* archive = nullptr;
    CEmailFolderNode* other = nullptr;
};

TEST_F(DocRules, RulesEvaluateTheSameAfterTheStoreIsReopened) {
    AddressBookEntry* pal = doc->AddAddressBookEntry("Pal", "pal@x.org");
    CAccountGroupNode* pals = doc->AddGroup("Pals", 0, 0);
    ASSERT_TRUE(doc->AddGroupMember(*pals, *pal));

    CEmailAccount owner(1, Me(), nullptr);
    // The messages, and whether the simple and the advanced rule below match each.
    const struct { const char *from, *subject, *body; int size; bool attachment, simple, advanced; } table[] = {
        {"pal@x.org", "hi", "", 10, false, true, true},
        {"stranger@y.org", "urgent: now", "", 10, false, true, false},
        {"stranger@y.org", "urgent", "", 10, false, false, false},
        {"stranger@y.org", "hello", "see the invoice", 10, false, true, false},
        {"stranger@y.org", "big", "", 5000, false, true, false},
        {"stranger@y.org", "file", "", 10, true, false, true},
        {"pal@x.org", "urgent now", "", 9000, true, true, false},
        {"", "", "", 0, false, false, false},
    };

    auto simple = std::make_unique<CMailRule>();
    simple->m_words[kFieldFrom] = {{"[Pals]"}, 1, 0};
    simple->m_words[kFieldSubject] = {{"urgent", "now"}, 0, 0};
    simple->m_words[kFieldMessage] = {{"invoice", "receipt"}, 1, 0};
    simple->m_words[kFieldTo] = {{"me@"}, 2, 0};  // an unknown mode never matches
    simple->Size = "4";
    auto advanced = std::make_unique<CAdvMailRule>();
    advanced->Tokens() = {"(", "@from", "MATCHES", "\"[Pals]\"", "OR", "@subject", "STARTSWITH", "\"urgent \"",
                          ")", "AND", "NOT", "(", "@size", "GREATERTHAN", "#8000", ")",
                          "OR", "@attachment", "AND", "@subject", "EQUALS", "\"file\""};
    ASSERT_NE(doc->AddRule(std::move(simple)), nullptr);
    ASSERT_NE(doc->AddRule(std::move(advanced)), nullptr);
    std::vector<bool> expected;
    for (const auto& f : table) expected.insert(expected.end(), {f.simple, f.advanced});
    auto evaluate = [&] {
        std::vector<bool> results;
        for (const auto& f : table) {
            CEmailMessage m(&owner);
            m.From = m.FromAddress = f.from;
            m.Subject = f.subject;
            m.PlainText = f.body;
            m.To = "me@example.org";
            m.MsgSize = f.size;
            m.HasAttachment = f.attachment;
            for (const auto& rule : doc->m_rules) results.push_back(rule->Matches(m, &owner, *doc));
        }
        return results;
    };
    EXPECT_EQ(evaluate(), expected);
    Reopen();
    ASSERT_EQ(doc->m_rules.size(), 2u);
    EXPECT_TRUE(doc->m_rules[1]->IsAdvanced());
    EXPECT_EQ(evaluate(), expected);
}

TEST_F(DocRules, ActionsOfOneRule) {
    using Member = std::string CMailRule::*;
    const struct { Member action; int flags; bool read; } cases[] = {
        {&CMailRule::Delete, kRuleFlagDelete, false}, {&CMailRule::DontDownload, kRuleFlagDontDownload, false},
        {&CMailRule::DeleteFromServer, kRuleFlagDeleteFromServer, false}, {&CMailRule::Stop, kRuleFlagStop, false},
        {&CMailRule::MarkRead, 0, true}, {&CMailRule::Forward, 0, false}};
    int n = 0;
    for (const auto& c : cases) {
        CEmailMessage* m = Stored("uid-" + std::to_string(n++), "match me");
        auto rule = SubjectRule("match");
        (*rule).*c.action = "1";
        EXPECT_EQ(doc->ApplyRule(*rule, *m, account), c.flags);
        EXPECT_EQ(m->IsRead, c.read);
        EXPECT_FALSE(m->IsHidden);
        rule->m_words[kFieldSubject].words = {"nope"};
        EXPECT_EQ(doc->ApplyRule(*rule, *Stored("miss-" + std::to_string(n), "match me"), account), 0);
    }
    Reopen();
    EXPECT_TRUE(ByUid("uid-4")->IsRead);  // a stored message changed by a rule is written
    EXPECT_FALSE(ByUid("uid-0")->IsRead);
}

TEST_F(DocRules, MovingCopyingAndStopping) {
    CEmailMessage* moved = Stored("moved", "a move");
    CEmailMessage* copied = Stored("copied", "a copy");
    CEmailMessage* lost = Stored("lost", "a lost");
    CEmailMessage* stopped = Stored("stopped", "a stop");

    auto move = SubjectRule("move", archive, true);
    EXPECT_EQ(doc->ApplyRule(*move, *moved, account), 0);
    EXPECT_EQ(doc->ApplyRule(*move, *moved, account), 0);  // twice: filed once
    EXPECT_TRUE(moved->IsHidden);
    EXPECT_EQ(std::count(doc->m_hiddenMessages.begin(), doc->m_hiddenMessages.end(), moved), 1);

    doc->ApplyRule(*SubjectRule("copy", archive), *copied, account);
    EXPECT_FALSE(copied->IsHidden);

    auto dangling = SubjectRule("lost", archive, true);
    dangling->MoveFolderId = 4242;  // the folder is gone, its name stays
    doc->ApplyRule(*dangling, *lost, account);
    EXPECT_FALSE(lost->IsHidden);

    auto first = SubjectRule("stop", archive);
    first->Stop = "1";
    doc->AddRule(std::move(first));
    doc->AddRule(SubjectRule("stop", other, true));
    EXPECT_EQ(doc->ApplyRules(*stopped, account), kRuleFlagStop);

    Reopen();
    const struct { const char* uid; size_t inArchive, inOther; bool hidden; } after[] = {
        {"moved", 1, 0, true}, {"copied", 1, 0, false}, {"lost", 0, 0, false}, {"stopped", 1, 0, false}};
    for (const auto& a : after) {
        EXPECT_EQ(Filed(*archive, a.uid), a.inArchive) << a.uid;
        EXPECT_EQ(Filed(*other, a.uid), a.inOther) << a.uid;
        EXPECT_EQ(ByUid(a.uid)->IsHidden, a.hidden) << a.uid;
    }
}

TEST_F(DocRules, RulesAppliedToAListActAsOneCallPerMessageWould) {
    auto stop = SubjectRule("stop", archive);
    stop->Stop = "1";
    doc->AddRule(std::move(stop));
    auto move = SubjectRule("o", other, true);
    move->DontDownload = "1";
    doc->AddRule(std::move(move));
    auto del = SubjectRule("del");
    del->Delete = del->MarkRead = "1";
    doc->AddRule(std::move(del));
    const struct { const char* subject; int flags; size_t inArchive, inOther; bool hidden, read; } kinds[] = {
        {"stop", kRuleFlagStop, 1, 0, false, false},  // "o" too, but no rule after Stop runs
        {"move", kRuleFlagDontDownload, 0, 1, true, false},
        {"delete", kRuleFlagDelete, 0, 0, false, true},
        {"xyz", 0, 0, 0, false, false},
    };
    // More messages than are loaded ahead, so that every message is matched while later ones
    // are being loaded.
    std::vector<CEmailMessage*> arrivals;
    for (int i = 0; i < 12; ++i) {
        arrivals.push_back(account->AddMessage("new-" + std::to_string(i)));
        arrivals.back()->Subject = kinds[i % 4].subject;
    }
    const std::vector<int> flags = doc->ApplyRulesToEach(arrivals, account);
    ASSERT_EQ(flags.size(), arrivals.size());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const auto& kind = kinds[i % 4];
        const std::string uid = "new-" + std::to_string(i);
        EXPECT_EQ(flags[i], kind.flags) << uid;
        EXPECT_EQ(Filed(*archive, uid), kind.inArchive) << uid;
        EXPECT_EQ(Filed(*other, uid), kind.inOther) << uid;
        EXPECT_EQ(arrivals[i]->IsHidden, kind.hidden) << uid;
        EXPECT_EQ(arrivals[i]->IsRead, kind.read) << uid;
    }
}

TEST_F(DocRules, NewMailFiledByARuleIsFiledInTheStoreOnceStored) {
    doc->AddRule(SubjectRule("invoice", archive, true));
    CEmailMessage* m = account->AddMessage("new-1");
    m->Subject = "invoice 7";
    doc->ApplyRules(*m, account);
    ASSERT_TRUE(doc->StoreNewMessage(*m));
    Reopen();
    EXPECT_EQ(Filed(*archive, "new-1"), 1u);
    ASSERT_NE(ByUid("new-1"), nullptr);
    EXPECT_TRUE(ByUid("new-1")->IsHidden);
}

TEST_F(DocRules, ApplyingSelectedRules) {
    CEmailMessage* on = Stored("on", "x");
    Stored("off", "x", false);
    Stored("deleted", "x")->MarkedForDelete = true;
    doc->AddRule(SubjectRule("x", other));
    CMailRule* picked = doc->AddRule(SubjectRule("x", archive));
    doc->ApplySelectedRules({picked});
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "The selected rules have been applied");
    EXPECT_EQ(ui.boxes[0].caption, "Rules Applied");
    ASSERT_EQ(archive->m_filed[0].size(), 1u);
    EXPECT_EQ(archive->m_filed[0][0].message, on);
    EXPECT_TRUE(other->m_filed[0].empty());
}

TEST_F(DocRules, QuickConversationRuleFilesBothDirections) {
    const struct { const char *uid, *from, *to; bool filed; } cases[] = {
        {"ab", "a@x.org", "b@y.org", true},  {"ba", "b@y.org", "a@x.org", true},
        {"ac", "a@x.org", "c@z.org", false}, {"cb", "c@z.org", "b@y.org", false},
        {"aa", "a@x.org", "a@x.org", false},
    };
    for (const auto& c : cases) {
        CEmailMessage* m = Stored(c.uid, "s");
        m->FromAddress = c.from;
        m->To = c.to;
    }
    ASSERT_NE(doc->AddQuickRule(MakeConversationRule("talk", "a@x.org", "b@y.org", archive->m_id, "Archive")), nullptr);
    for (const auto& c : cases) EXPECT_EQ(Filed(*archive, c.uid), c.filed ? 1u : 0u) << c.uid;
}

TEST_F(DocRules, SearchingAndSavingTheResults) {
    Stored("hit-1", "report q1");
    Stored("gone", "report q2", false);
    Stored("deleted", "report q3")->MarkedForDelete = true;
    Stored("miss", "lunch");
    Stored("hit-2", "report q4");
    CMailRule criteria;
    criteria.m_words[kFieldSubject] = {{"report"}, 1, 0};
    criteria.Name = "not taken";
    Search(*doc, criteria);
    const std::vector<CEmailMessage*> found = {ByUid("hit-1"), ByUid("hit-2")};
    EXPECT_EQ(doc->m_searchResults, found);
    RunSearch(*doc);
    EXPECT_EQ(doc->m_searchResults, found);
    EXPECT_TRUE(doc->m_searchRule->Name.empty());

    ASSERT_NE(SaveSearchResults(*doc, "Reports"), nullptr);
    EXPECT_EQ(doc->m_searchRule->m_words[kFieldSubject].words, criteria.m_words[kFieldSubject].words);
    EXPECT_TRUE(doc->m_rules.empty());

    const std::string ruleName = "reports rule";
    CEmailFolderNode* ruled = SaveSearchResults(*doc, "Reports 2", &ruleName);
    ASSERT_NE(ruled, nullptr);
    const int ruledId = ruled->m_id;
    EXPECT_EQ(doc->m_rules.size(), 1u);
    for (const WordList& list : doc->m_searchRule->m_words) EXPECT_TRUE(list.words.empty());

    Reopen();
    for (const char* name : {"Reports", "Reports 2"}) {
        const CEmailFolderNode* f = FolderNamed(name);
        ASSERT_NE(f, nullptr);
        EXPECT_NE(std::find(doc->m_topFolders.begin(), doc->m_topFolders.end(), f), doc->m_topFolders.end());
        EXPECT_EQ(f->m_filed[0].size(), 2u);
        EXPECT_EQ(Filed(*f, "hit-1") + Filed(*f, "hit-2"), 2u);
    }
    ASSERT_EQ(doc->m_rules.size(), 1u);
    EXPECT_EQ(doc->m_rules[0]->Name, ruleName);
    EXPECT_EQ(doc->m_rules[0]->CopyFolderId, ruledId);
    EXPECT_EQ(doc->m_rules[0]->CopyFolderName, "Reports 2");
    EXPECT_EQ(doc->m_rules[0]->m_words[kFieldSubject].words, criteria.m_words[kFieldSubject].words);
}

}  // namespace
}  // namespace ph
