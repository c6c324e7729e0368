// The write-through jobs of the document: one table job per change, each committing.
#include <algorithm>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "doc/CPostharbourDoc.h"
#include "doc/RecordJobs.h"
#include "store/Tables.h"

namespace ph {

using namespace recordjobs;

// ---------------------------------------------------------------------------------------
// Accounts

CEmailAccount* CPostharbourDoc::AddAccount(const CEmailAccount::Settings& settings) {
    if (AddressInUse(settings.emailName, nullptr)) return nullptr;
    auto account = std::make_unique<CEmailAccount>(0, settings, this);
    account->m_orderNum = static_cast<int>(m_accounts.size());
    const AccountRecord record = RecordFromAccount(*account);
    account->m_id = AddRecord<CAccountsTable>(m_root, [&](AccountRecord& r) { r = record; });
    if (account->m_id == 0) return nullptr;
    m_accounts.push_back(std::move(account));
    return m_accounts.back().get();
}

bool CPostharbourDoc::UpdateAccount(CEmailAccount& account) {
    const AccountRecord record = RecordFromAccount(account);
    return UpdateRecord<CAccountsTable>(m_root, account.m_id, [&](AccountRecord& r) { r = record; });
}

bool CPostharbourDoc::DeleteAccount(CEmailAccount& account) {
    CCommitGroup group(m_root);
    // The document's lists refer to the account's messages: forget them before they go.
    auto ofAccount = [&](CEmailMessage* m) { return m->Account() == &account; };
    std::erase_if(m_allMessages, ofAccount);
    std::erase_if(m_hiddenMessages, ofAccount);
    std::erase_if(m_searchResults, ofAccount);
    std::erase_if(m_messagesById, [&](const auto& p) { return ofAccount(p.second); });
    for (auto& folder : m_allFolders)
        for (auto& list : folder->m_filed)
            for (size_t i = list.size(); i-- > 0;)
                if (list[i].message && ofAccount(list[i].message)) {
                    DeleteFolderContentsRow(list[i].contentsId);
                    list.erase(list.begin() + static_cast<long>(i));
                }
    for (auto& m : account.GetMessages()) m->m_filingCount = 0;
    account.ClearMessages();
    for (CEmailFolderNode* folder : std::vector<CEmailFolderNode*>(account.m_folders)) DeleteFolder(*folder);
    const bool ok = DeleteRecord<CAccountsTable>(m_root, account.m_id);
    if (account.m_isDefault) m_defaultAddress.clear();
    EraseOwned(m_accounts, &account);
    return ok;
}

bool CPostharbourDoc::AddressInUse(const std::string& emailName, const CEmailAccount* except) const {
    return std::any_of(m_accounts.begin(), m_accounts.end(), [&](const auto& a) {
        return a.get() != except && EqualsNoCase(a->m_emailName, emailName);
    });
}

bool CPostharbourDoc::ChangeAccountSettings(CEmailAccount& account, const CEmailAccount::Settings& settings) {
    if (AddressInUse(settings.emailName, &account)) return false;
    account.ChangeSettings(settings);
    if (account.m_isDefault) m_defaultAddress = account.m_emailName;
    return UpdateAccount(account);
}

bool CPostharbourDoc::SetDefaultAccount(CEmailAccount* account) {
    CCommitGroup group(m_root);
    bool ok = true;
    m_defaultAddress = account ? account->m_emailName : std::string();
    for (auto& a : m_accounts) {
        const bool isDefault = a.get() == account;
        if (a->m_isDefault == isDefault) continue;
        a->m_isDefault = isDefault;
        ok = UpdateAccount(*a) && ok;
    }
    return ok;
}

bool CPostharbourDoc::SaveAccounts() {
    CCommitGroup group(m_root);
    bool ok = true;
    std::vector<CEmailAccount*> unmatched;
    for (auto& a : m_accounts) unmatched.push_back(a.get());
    std::vector<std::string> orphans;
    CAccountsTable table(m_root);
    for (bool found = table.Open(); found; found = table.MoveNext()) {
        auto match = std::find_if(unmatched.begin(), unmatched.end(),
                                  [&](CEmailAccount* a) { return a->m_emailName == table.m_rec.EmailName; });
        if (match == unmatched.end()) {
            orphans.push_back(table.RecordName());
            continue;
        }
        CEmailAccount& account = **match;
        if (!account.m_allowCheckmail)
            Trace("%s does not allow checkmail on save, fixing", account.m_emailName.c_str());
        account.m_id = table.RecordId();
        table.m_rec = RecordFromAccount(account);
        ok = table.Update(table.RecordName()) && ok;
        unmatched.erase(match);
    }
    for (const std::string& name : orphans) ok = table.Delete(name) && ok;
    for (CEmailAccount* account : unmatched) {
        table.ClearName();
        table.m_rec = RecordFromAccount(*account);
        ok = table.Update() && ok;
        account->m_id = table.RecordId();
    }
    return table.Close() && ok;
}

// ---------------------------------------------------------------------------------------
// Messages

bool CPostharbourDoc::StoreNewMessage(CEmailMessage& message) {
    CEmailsTable emails(m_root);
    emails.m_includeTexts = true;
    emails.SetNew();
    emails.m_rec = RecordFromMessage(message);
    std::string id;
    const bool ok = emails.Update(id);
    if (!emails.Close() || !ok) return false;
    message.m_storeId = id;
    message.m_keptInStore = true;
    message.m_textsInMemory = true;
    message.m_bodyCached = !message.Body.empty();
    message.m_textCached = !message.PlainText.empty() || !message.HtmlText.empty();
    message.MarkWritten();
    m_messagesById[id] = &message;
    return message.m_filingCount == 0 || WritePendingFilings(message);
}

bool CPostharbourDoc::RemoveMessage(CEmailMessage& message) {
    const bool ok = message.Slot() < 0 || DeleteMessageRecord(message);
    auto drop = [&](std::vector<CEmailMessage*>& list) { std::erase(list, &message); };
    drop(m_allMessages);
    drop(m_hiddenMessages);
    drop(m_searchResults);
    CEmailAccount* account = message.Account();
    if (!account) return ok;
    std::lock_guard<std::recursive_mutex> hold(account->Mutex());
    drop(account->m_hiddenMessages);
    if (message.IsNew && account->m_newMsgCount > 0) --account->m_newMsgCount;
    MessageList& owned = account->GetMessages();
    std::erase_if(owned, [&](const std::unique_ptr<CEmailMessage>& m) { return m.get() == &message; });
    account->CountHidden();
    return ok;
}

CEmailMessage* CPostharbourDoc::AddStoredMessage(CEmailAccount& account, const EmailRecord& fields) {
    CEmailMessage* message = account.AddMessage(fields.MsgUniqueID);
    if (!message) return nullptr;
    MessageFromRecord(fields, *message);
    message->PlainText = fields.PlainText;
    message->HtmlText = fields.HtmlText;
    message->Header = fields.Header;
    message->Body = fields.Body;
    if (!StoreNewMessage(*message)) return nullptr;
    m_allMessages.push_back(message);
    if (message->IsHidden) {
        m_hiddenMessages.push_back(message);
        account.m_hiddenMessages.push_back(message);
        account.CountHidden();
    }
    return message;
}

bool CPostharbourDoc::FetchMessageTexts(CEmailMessage& message) {
    if (message.Slot() < 0) return false;
    CEmailsTable emails(m_root);
    emails.m_includeTexts = true;
    const bool found = emails.Open(message.Slot());
    if (found) {
        message.PlainText = emails.m_rec.PlainText;
        message.HtmlText = emails.m_rec.HtmlText;
        message.Header = emails.m_rec.Header;
        message.Body = emails.m_rec.Body;
        message.m_textsInMemory = true;
    }
    emails.Close();
    return found;
}

bool CPostharbourDoc::UpdateMessage(CEmailMessage& message) {
    if (message.Slot() < 0) return false;
    // The record is rewritten with its texts: bring the stored ones in first, or they would
    // be written back empty.
    if (!message.m_textsInMemory && (message.m_bodyCached || message.m_textCached) && !FetchMessageTexts(message))
        return false;
    CEmailsTable emails(m_root);
    if (!emails.Open(message.Slot())) {
        emails.Close();
        return false;
    }
    emails.m_includeTexts = true;
    emails.m_rec = RecordFromMessage(message);
    std::string id;
    const bool ok = emails.Update(id);
    message.m_bodyCached = !message.Body.empty();
    message.m_textCached = !message.PlainText.empty() || !message.HtmlText.empty();
    message.m_textsInMemory = true;
    if (ok) message.MarkWritten();
    return emails.Close() && ok;
}

bool CPostharbourDoc::SaveMessageFlags(CEmailMessage& message) {
    if (message.Slot() < 0) return false;
    CEmailsTable emails(m_root);
    if (!emails.Open(message.Slot())) {
        emails.Close();
        return false;
    }
    // Only the fields: the sizes stay as read, the blob is not touched.
    EmailRecord record = RecordFromMessage(message);
    record.BodySize = emails.m_rec.BodySize;
    record.HeaderSize = emails.m_rec.HeaderSize;
    record.HtmlTextSize = emails.m_rec.HtmlTextSize;
    record.PlainTextSize = emails.m_rec.PlainTextSize;
    emails.m_rec = record;
    std::string id;
    const bool ok = emails.Update(id);
    if (ok) message.MarkWritten();
    return emails.Close() && ok;
}

bool CPostharbourDoc::DeleteMessageRecord(CEmailMessage& message) {
    if (message.Slot() < 0) return false;
    // Filings point at the slot, which a later message may take: they go first.
    for (auto& folder : m_allFolders) {
        for (int list = 0; list < 2 && message.m_filingCount > 0; ++list) {
            auto& filed = folder->m_filed[list];
            for (size_t i = filed.size(); i-- > 0;) {
                if (filed[i].message != &message) continue;
                DeleteFolderContentsRow(filed[i].contentsId);
                filed.erase(filed.begin() + static_cast<long>(i));
                --message.m_filingCount;
            }
        }
    }
    CEmailsTable emails(m_root);
    const bool ok = emails.Delete(message.Slot());
    emails.Close();
    m_messagesById.erase(message.m_storeId);
    message.m_storeId.clear();
    message.m_keptInStore = false;
    return ok;
}

// ---------------------------------------------------------------------------------------
// Folders

bool CPostharbourDoc::WriteFolderRecord(CEmailFolderNode& folder, bool isNew) {
    auto fill = [&](FolderRecord& r) {
        r.FolderName = folder.m_name;
        r.FolderType = folder.m_type;
        r.ParentID = folder.m_parentId;
    };
    if (!isNew) return UpdateRecord<CFoldersTable>(m_root, folder.m_id, fill);
    folder.m_id = AddRecord<CFoldersTable>(m_root, fill);
    return folder.m_id != 0;
}

CEmailFolderNode* CPostharbourDoc::AddFolder(const std::string& name, int type, int parentId) {
    auto folder = std::make_unique<CEmailFolderNode>();
    folder->m_name = name.substr(0, CEmailFolderNode::kMaxStoredName);
    folder->m_type = type;
    folder->m_parentId = parentId;
    std::string prefix;
    if (parentId > 0) {
        folder->m_parent = FindFolder(parentId);
        if (!folder->m_parent) return nullptr;
        prefix = folder->m_parent->m_path;
    } else if (parentId < 0) {
        CEmailAccount* account = FindAccount(-parentId);
        if (!account) return nullptr;
        prefix = account->ShownAddress();
    }
    if (!WriteFolderRecord(*folder, true)) return nullptr;
    folder->m_path = Format("%s/%s", prefix.c_str(), folder->m_name.c_str());
    CEmailFolderNode* node = folder.get();
    if (folder->m_parent)
        folder->m_parent->m_children.push_back(node);
    else if (parentId < 0)
        FindAccount(-parentId)->m_folders.push_back(node);
    else
        m_topFolders.push_back(node);
    if (type >= kFolderSpecialFirst && type <= kFolderSpecialLast) m_specialFolders[type - kFolderSpecialFirst] = node;
    m_allFolders.push_back(std::move(folder));
    return node;
}

bool CPostharbourDoc::UpdateFolder(CEmailFolderNode& folder) { return WriteFolderRecord(folder, false); }

bool CPostharbourDoc::DeleteFolder(CEmailFolderNode& folder) {
    CCommitGroup group(m_root);
    bool ok = true;
    for (CEmailFolderNode* child : std::vector<CEmailFolderNode*>(folder.m_children)) ok = DeleteFolder(*child) && ok;
    for (auto& list : folder.m_filed) {
        for (const FiledItem& item : list) {
            ok = DeleteFolderContentsRow(item.contentsId) && ok;
            if (item.message) --item.message->m_filingCount;
        }
        list.clear();
    }
    ok = DeleteRecord<CFoldersTable>(m_root, folder.m_id) && ok;
    if (folder.m_parent) ErasePointer(folder.m_parent->m_children, &folder);
    ErasePointer(m_topFolders, &folder);
    for (auto& account : m_accounts) ErasePointer(account->m_folders, &folder);
    for (auto& special : m_specialFolders)
        if (special == &folder) special = nullptr;
    EraseOwned(m_allFolders, &folder);
    return ok;
}

bool CPostharbourDoc::AddFolderContentsRow(const std::string& msgId, int folderId, bool isInboxMsg, int flags,
                                           int& slot) {
    CFolderContentsTable contents(m_root);
    contents.SetNew();
    contents.m_rec = FolderContentsRecord{msgId, folderId, isInboxMsg, flags};
    std::string id;
    const bool ok = contents.Update(id);
    slot = LeadingInt(id);
    return contents.Close() && ok;
}

bool CPostharbourDoc::DeleteFolderContentsRow(int slot) {
    if (slot < 0) return true;  // a filing of a message not stored yet has no row
    CFolderContentsTable contents(m_root);
    const bool ok = contents.Delete(slot);
    return contents.Close() && ok;
}

bool CPostharbourDoc::FileMessage(CEmailMessage& message, CEmailFolderNode& folder, int flags) {
    FiledItem item;
    item.message = &message;
    if (message.Slot() >= 0 &&
        !AddFolderContentsRow(message.m_storeId, folder.m_id, true, flags, item.contentsId))
        return false;
    folder.m_filed[flags > 0 ? 1 : 0].push_back(item);
    ++message.m_filingCount;
    return true;
}

bool CPostharbourDoc::WritePendingFilings(CEmailMessage& message) {
    bool ok = true;
    for (auto& folder : m_allFolders)
        for (int list = 0; list < 2; ++list)
            for (FiledItem& item : folder->m_filed[list])
                if (item.message == &message && item.contentsId < 0)
                    ok = AddFolderContentsRow(message.m_storeId, folder->m_id, true, list, item.contentsId) && ok;
    return ok;
}

bool CPostharbourDoc::FileSentItem(OutgoingMessage& sent, CEmailFolderNode& folder, int flags) {
    FiledItem item;
    item.sent = &sent;
    if (!AddFolderContentsRow(Format("%d", sent.m_id), folder.m_id, false, flags, item.contentsId)) return false;
    folder.m_filed[flags > 0 ? 1 : 0].push_back(item);
    return true;
}

bool CPostharbourDoc::Unfile(CEmailFolderNode& folder, int list, size_t index) {
    auto& filed = folder.m_filed[list ? 1 : 0];
    if (index >= filed.size()) return false;
    const FiledItem item = filed[index];
    filed.erase(filed.begin() + static_cast<long>(index));
    if (item.message) --item.message->m_filingCount;
    return DeleteFolderContentsRow(item.contentsId);
}

bool CPostharbourDoc::UnfileMessage(CEmailFolderNode& folder, const CEmailMessage& message) {
    const auto& filed = folder.m_filed[0];
    const auto at = std::find_if(filed.begin(), filed.end(), [&](const FiledItem& f) { return f.message == &message; });
    return at != filed.end() && Unfile(folder, 0, static_cast<size_t>(at - filed.begin()));
}

int CPostharbourDoc::SaveFolders(const std::vector<CEmailFolderNode*>& tops) {
    CCommitGroup group(m_root);
    int written = 0;
    std::vector<CEmailFolderNode*> stack(tops.rbegin(), tops.rend());
    while (!stack.empty()) {
        CEmailFolderNode* folder = stack.back();
        stack.pop_back();
        if (!folder->m_skip) {
            if (folder->m_parent) folder->m_parentId = folder->m_parent->m_id;
            if (WriteFolderRecord(*folder, true)) ++written;
        }
        for (auto it = folder->m_children.rbegin(); it != folder->m_children.rend(); ++it) stack.push_back(*it);
    }
    return written;
}

// ---------------------------------------------------------------------------------------
// Address book and groups

AddressBookEntry* CPostharbourDoc::AddAddressBookEntry(const std::string& name, const std::string& email) {
    const int id = AddRecord<CAddressBookTable>(m_root, [&](AddressBookRecord& r) {
        r.Name = name;
        r.Email = email;
    });
    if (id == 0) return nullptr;
    m_addressBook.push_back(std::make_unique<AddressBookEntry>(AddressBookEntry{id, name, email}));
    return m_addressBook.back().get();
}

bool CPostharbourDoc::UpdateAddressBookEntry(AddressBookEntry& entry) {
    return UpdateRecord<CAddressBookTable>(m_root, entry.m_id, [&](AddressBookRecord& r) {
        r.Name = entry.m_name;
        r.Email = entry.m_email;
    });
}

bool CPostharbourDoc::DeleteAddressBookEntry(AddressBookEntry& entry) {
    CCommitGroup commits(m_root);
    bool ok = true;
    for (auto& group : m_allGroups)
        for (size_t i = group->m_members.size(); i-- > 0;)
            if (group->m_members[i].entry == &entry) ok = RemoveGroupMember(*group, i) && ok;
    ok = DeleteRecord<CAddressBookTable>(m_root, entry.m_id) && ok;
    EraseOwned(m_addressBook, &entry);
    return ok;
}

CAccountGroupNode* CPostharbourDoc::AddGroup(const std::string& name, int type, int parentId) {
    CAccountGroupNode* parent = parentId > 0 ? FindGroup(parentId) : nullptr;
    if (parentId > 0 && !parent) return nullptr;
    const int id = AddRecord<CGroupsTable>(m_root, [&](GroupRecord& r) {
        r.GroupName = name;
        r.GroupType = type;
        r.ParentID = parentId;
    });
    if (id == 0) return nullptr;
    auto group = std::make_unique<CAccountGroupNode>();
    group->m_id = id;
    group->m_name = name;
    group->m_type = type;
    group->m_parentId = parentId;
    group->m_parent = parent;
    (parent ? parent->m_children : m_topGroups).push_back(group.get());
    m_allGroups.push_back(std::move(group));
    return m_allGroups.back().get();
}

bool CPostharbourDoc::UpdateGroup(CAccountGroupNode& group) {
    return UpdateRecord<CGroupsTable>(m_root, group.m_id, [&](GroupRecord& r) {
        r.GroupName = group.m_name;
        r.GroupType = group.m_type;
        r.ParentID = group.m_parentId;
    });
}

bool CPostharbourDoc::DeleteGroup(CAccountGroupNode& group) {
    CCommitGroup commits(m_root);
    bool ok = true;
    for (CAccountGroupNode* child : std::vector<CAccountGroupNode*>(group.m_children)) ok = DeleteGroup(*child) && ok;
    while (!group.m_members.empty()) ok = RemoveGroupMember(group, group.m_members.size() - 1) && ok;
    ok = DeleteRecord<CGroupsTable>(m_root, group.m_id) && ok;
    if (group.m_parent) ErasePointer(group.m_parent->m_children, &group);
    ErasePointer(m_topGroups, &group);
    EraseOwned(m_allGroups, &group);
    return ok;
}

bool CPostharbourDoc::AddGroupMember(CAccountGroupNode& group, AddressBookEntry& entry) {
    const int id = AddRecord<CGroupContentsTable>(m_root, [&](GroupContentsRecord& r) {
        r.AcctID = entry.m_id;
        r.GroupID = group.m_id;
    });
    if (id == 0) return false;
    group.m_members.push_back({&entry, id});
    return true;
}

bool CPostharbourDoc::RemoveGroupMember(CAccountGroupNode& group, size_t index) {
    if (index >= group.m_members.size()) return false;
    const int id = group.m_members[index].contentsId;
    group.m_members.erase(group.m_members.begin() + static_cast<long>(index));
    return DeleteRecord<CGroupContentsTable>(m_root, id);
}

// ---------------------------------------------------------------------------------------
// Canned inserts

CannedInsert* CPostharbourDoc::AddCannedInsert(const std::string& title, const std::string& text) {
    const int id = AddRecord<CEZinsertsTable>(m_root, [&](EZinsertRecord& r) {
        r.Title = title;
        r.Text = text;
    });
    if (id == 0) return nullptr;
    m_cannedInserts.push_back(std::make_unique<CannedInsert>(CannedInsert{id, title, text}));
    return m_cannedInserts.back().get();
}

bool CPostharbourDoc::UpdateCannedInsert(CannedInsert& insert) {
    return UpdateRecord<CEZinsertsTable>(m_root, insert.m_id, [&](EZinsertRecord& r) {
        r.Title = insert.m_title;
        r.Text = insert.m_text;
    });
}

bool CPostharbourDoc::DeleteCannedInsert(CannedInsert& insert) {
    const bool ok = DeleteRecord<CEZinsertsTable>(m_root, insert.m_id);
    EraseOwned(m_cannedInserts, &insert);
    return ok;
}

// ---------------------------------------------------------------------------------------
// Rules

CMailRule* CPostharbourDoc::AddRule(std::unique_ptr<CMailRule> rule) {
    const RuleRecord record = rule->ToRecord();
    rule->m_id = AddRecord<CRulesTable>(m_root, [&](RuleRecord& r) { r = record; });
    if (rule->m_id == 0) return nullptr;
    m_rules.push_back(std::move(rule));
    return m_rules.back().get();
}

bool CPostharbourDoc::UpdateRule(CMailRule& rule) {
    const RuleRecord record = rule.ToRecord();
    return UpdateRecord<CRulesTable>(m_root, rule.m_id, [&](RuleRecord& r) { r = record; });
}

bool CPostharbourDoc::DeleteRule(CMailRule& rule) {
    const bool ok = DeleteRecord<CRulesTable>(m_root, rule.m_id);
    EraseOwned(m_rules, &rule);
    return ok;
}

// ---------------------------------------------------------------------------------------
// Preferences

bool CPostharbourDoc::SavePreferences() {
    CPreferencesTable prefs(m_root);
    const bool exists = prefs.Open();
    prefs.m_rec = m_prefs;
    if (!exists) prefs.ClearName();
    const bool ok = exists ? prefs.Update(prefs.RecordName()) : prefs.Update();
    return prefs.Close() && ok;
}

}  // namespace ph
