#include "doc/CPostharbourDoc.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "message/MimeParser.h"
#include "model/Preferences.h"
#include "model/Profile.h"
#include "store/StoreDump.h"
#include "store/Tables.h"

namespace ph {

CPostharbourDoc::CPostharbourDoc(IUserInterface& ui, Profile& profile)
    : m_prefs(DefaultPreferences()), m_ui(ui), m_profile(profile) {}

CPostharbourDoc::~CPostharbourDoc() { CloseStore(); }

EmailRecord RecordFromMessage(const CEmailMessage& m) {
    EmailRecord r;
    r.MsgUniqueID = m.MsgUniqueID;
    r.AcctID = m.Account() ? m.Account()->m_id : 0;
    r.Subject = m.Subject;
    r.From = m.From;
    r.Sender = m.Sender;
    // The recipient as shown is the To line unless something chose another text.
    r.ToName = m.ToName.empty() ? m.To : m.ToName;
    r.Folder = m.Folder;
    r.SentDate = m.SentDate;
    r.IsReadLocally = m.IsReadLocally;
    r.IsRead = m.IsRead;
    r.IsOnServer = m.IsOnServer;
    r.IsHidden = m.IsHidden;
    r.IsNotInRoot = m.IsNotInRoot;
    r.MsgSize = m.MsgSize;
    r.HasAttachment = m.HasAttachment;
    r.AttachmentType = m.AttachmentType;
    r.ReplyTo = m.ReplyTo;
    r.PlainText = m.PlainText;
    r.HtmlText = m.HtmlText;
    r.Header = m.Header;
    r.Body = m.Body;
    return r;
}

void MessageFromRecord(const EmailRecord& r, CEmailMessage& m) {
    m.MsgUniqueID = r.MsgUniqueID;
    m.Subject = r.Subject;
    m.From = r.From;
    m.Sender = r.Sender;
    m.ToName = r.ToName;
    m.Folder = r.Folder.empty() ? "Inbox" : r.Folder;
    m.SentDate = r.SentDate;
    m.IsReadLocally = r.IsReadLocally;
    m.IsRead = r.IsRead;
    m.IsOnServer = r.IsOnServer;
    m.IsHidden = r.IsHidden;
    m.IsNotInRoot = r.IsNotInRoot;
    m.MsgSize = r.MsgSize;
    m.HasAttachment = r.HasAttachment;
    m.AttachmentType = r.AttachmentType;
    m.ReplyTo = r.ReplyTo;
    m.m_bodyCached = r.BodySize > 0;
    m.m_textCached = r.HtmlTextSize > 0 || r.PlainTextSize > 0;
    // What rules compare is not stored apart: the sender's address comes from From, the
    // recipients from the recipient text.
    m.To = m.ToName;
    mime::SplitFromAddress(m);
    m.m_requestedFolder = m.Folder;
    m.MarkWritten();
}

// ---------------------------------------------------------------------------------------
// Opening and closing

bool CPostharbourDoc::OpenStore(const std::string& path, OpenMode mode) {
    CloseStore();
    m_openError.clear();
    m_storePath = path;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        if (mode == OpenMode::CreateOrRecover) return CreateNewStore(path);
        m_openError = Format("%s does not exist", path.c_str());
        return false;
    }
    if (!m_root.OpenFile(path)) {
        const std::string why = m_root.Error();
        if (why.find("in use") != std::string::npos || mode == OpenMode::ExistingOnly) {
            m_openError = why;
            return false;
        }
        // Not a store we can read: keep it aside rather than overwrite someone's data.
        const std::string aside = path + DateTime::Now().Format(".damaged-%Y%m%d-%H%M%S");
        std::filesystem::rename(path, aside, ec);
        if (ec) {
            m_openError = Format("%s cannot be opened (%s) and cannot be moved aside", path.c_str(), why.c_str());
            return false;
        }
        m_ui.MessageBox(Format("The message store %s could not be opened (%s). It was kept as %s and "
                               "a new, empty store was created.",
                               path.c_str(), why.c_str(), aside.c_str()),
                        "WARNING", IUserInterface::Buttons::Ok);
        return CreateNewStore(path);
    }
    UpgradeFixedTables();
    LoadAll();
    if (HasOldLayout() && ConvertOldLayout()) Reload();
    return true;
}

bool CPostharbourDoc::CreateNewStore(const std::string& path) {
    std::string error;
    if (!ph::CreateNewStore(m_root, path, &error)) {
        m_openError = error;
        m_root.Release();
        return false;
    }
    ClearModel();
    return SavePreferences();
}

void CPostharbourDoc::CloseStore() {
    ClearModel();
    m_root.Release();
}

bool CPostharbourDoc::Reload() {
    if (!IsOpen()) return false;
    ClearModel();
    LoadAll();
    return true;
}

void CPostharbourDoc::ClearModel() {
    m_searchResults.clear();
    m_allMessages.clear();
    m_hiddenMessages.clear();
    m_messagesById.clear();
    m_topFolders.clear();
    m_specialFolders = {};
    m_allFolders.clear();
    m_topGroups.clear();
    m_allGroups.clear();
    m_accounts.clear();
    m_sentItems.clear();
    m_outbox.clear();
    m_addressBook.clear();
    m_rules.clear();
    m_cannedInserts.clear();
    m_defaultAddress.clear();
}

bool CPostharbourDoc::UpgradeFixedTables() {
    bool ok = true;
    CEmailsTable emails(m_root);
    if (!emails.UpgradeFields()) {
        ok = false;
        m_ui.MessageBox("The message table could not be brought up to date; it is left as it was.",
                        "ERROR", IUserInterface::Buttons::Ok);
    }
    emails.Close();
    CFolderContentsTable contents(m_root);
    if (!contents.UpgradeFields()) {
        ok = false;
        m_ui.MessageBox("The folder contents table could not be brought up to date; it is left as it was.",
                        "ERROR", IUserInterface::Buttons::Ok);
    }
    contents.Close();
    return ok;
}

// ---------------------------------------------------------------------------------------
// Loading

void CPostharbourDoc::LoadAll() {
    LoadPreferences();
    LoadAddressBookAndGroups();
    LoadAccounts();
    LoadMessages();
    LoadFolders();
    LoadOutgoing();
    LoadFolderContents();
    LoadRules();
    LoadCannedInserts();
}

void CPostharbourDoc::LoadPreferences() {
    CPreferencesTable prefs(m_root);
    const bool found = prefs.Open();
    if (found) m_prefs = prefs.m_rec;
    prefs.Close();
    if (!found) SavePreferences();
}

void CPostharbourDoc::LoadAddressBookAndGroups() {
    {
        CAddressBookTable book(m_root);
        for (bool ok = book.Open(); ok; ok = book.MoveNext())
            m_addressBook.push_back(std::make_unique<AddressBookEntry>(
                AddressBookEntry{book.RecordId(), book.m_rec.Name, book.m_rec.Email}));
        book.Close();
    }
    {
        CGroupsTable groups(m_root);
        for (bool ok = groups.Open(); ok; ok = groups.MoveNext()) {
            auto node = std::make_unique<CAccountGroupNode>();
            node->m_id = groups.RecordId();
            node->m_name = groups.m_rec.GroupName;
            node->m_type = groups.m_rec.GroupType;
            node->m_parentId = groups.m_rec.ParentID;
            m_allGroups.push_back(std::move(node));
        }
        groups.Close();
    }
    std::unordered_multimap<int, CAccountGroupNode*> byId;
    for (auto& g : m_allGroups) byId.emplace(g->m_id, g.get());
    for (auto& g : m_allGroups) {
        if (g->m_parentId == 0) {
            m_topGroups.push_back(g.get());
            continue;
        }
        auto [first, last] = byId.equal_range(g->m_parentId);
        for (auto it = first; it != last; ++it) {
            g->m_parent = it->second;
            it->second->m_children.push_back(g.get());
        }
    }
    CGroupContentsTable members(m_root);
    for (bool ok = members.Open(); ok; ok = members.MoveNext()) {
        CAccountGroupNode* group = FindGroup(members.m_rec.GroupID);
        AddressBookEntry* entry = FindAddressBookEntry(members.m_rec.AcctID);
        if (group && entry) group->m_members.push_back({entry, members.RecordId()});
    }
    members.Close();
}

void CPostharbourDoc::LoadAccounts() {
    const int order = m_profile.GetInt("order", -1);
    const bool orderRev = m_profile.GetInt("orderRev", 0) != 0;
    CAccountsTable accounts(m_root);
    for (bool ok = accounts.Open(); ok; ok = accounts.MoveNext())
        m_accounts.push_back(AccountFromRecord(accounts.RecordId(), accounts.m_rec, this, m_defaultAddress,
                                               order, orderRev));
    accounts.Close();
    for (auto& account : m_accounts)
        account->m_isDefault = !m_defaultAddress.empty() && account->m_emailName == m_defaultAddress;
}

void CPostharbourDoc::LoadMessages() {
    std::unordered_map<int, CEmailAccount*> byId;
    for (auto& account : m_accounts) byId.emplace(account->m_id, account.get());
    CEmailsTable emails(m_root);
    emails.SetDateRange(m_rangeFrom, m_rangeTo);
    for (bool ok = emails.Open(); ok; ok = emails.MoveNext()) {
        const EmailRecord& r = emails.m_rec;
        if (r.MsgUniqueID.empty()) continue;
        auto account = byId.find(r.AcctID);
        if (account == byId.end()) continue;
        CEmailMessage* message = account->second->AddMessage(r.MsgUniqueID);
        if (!message) continue;
        MessageFromRecord(r, *message);
        message->m_storeId = Format("%d", emails.CurrentSlot());
        message->m_keptInStore = true;
        message->NewMailMark = false;
        m_allMessages.push_back(message);
        m_messagesById.emplace(message->m_storeId, message);
        if (message->IsHidden) {
            m_hiddenMessages.push_back(message);
            account->second->m_hiddenMessages.push_back(message);
        }
    }
    emails.Close();
    for (auto& account : m_accounts) account->CountHidden();
}

void CPostharbourDoc::LoadFolders() {
    {
        CFoldersTable folders(m_root);
        for (bool ok = folders.Open(); ok; ok = folders.MoveNext()) {
            auto node = std::make_unique<CEmailFolderNode>();
            node->m_id = folders.RecordId();
            node->m_name = folders.m_rec.FolderName;
            node->m_type = folders.m_rec.FolderType;
            node->m_parentId = folders.m_rec.ParentID;
            if (node->m_type >= kFolderSpecialFirst && node->m_type <= kFolderSpecialLast)
                m_specialFolders[node->m_type - kFolderSpecialFirst] = node.get();
            m_allFolders.push_back(std::move(node));
        }
        folders.Close();
    }
    std::unordered_multimap<int, CEmailFolderNode*> byId;
    for (auto& f : m_allFolders) byId.emplace(f->m_id, f.get());
    for (auto& f : m_allFolders) {
        if (f->m_parentId == 0) {
            m_topFolders.push_back(f.get());
        } else if (f->m_parentId < 0) {
            // A server folder: shown under its account, or nowhere when the account is gone.
            if (CEmailAccount* account = FindAccount(-f->m_parentId)) account->m_folders.push_back(f.get());
        } else {
            auto [first, last] = byId.equal_range(f->m_parentId);
            for (auto it = first; it != last; ++it) {
                f->m_parent = it->second;
                it->second->m_children.push_back(f.get());
            }
        }
    }
    // Paths as shown: down from the account's address, or from "" in the document's tree.
    std::vector<std::pair<CEmailFolderNode*, std::string>> stack;
    for (CEmailFolderNode* top : m_topFolders) stack.push_back({top, ""});
    for (auto& account : m_accounts)
        for (CEmailFolderNode* top : account->m_folders) stack.push_back({top, account->ShownAddress()});
    while (!stack.empty()) {
        auto [node, prefix] = stack.back();
        stack.pop_back();
        node->m_path = Format("%s/%s", prefix.c_str(), node->m_name.c_str());
        for (CEmailFolderNode* child : node->m_children) stack.push_back({child, node->m_path});
    }
}

void CPostharbourDoc::LoadOutgoing() {
    auto load = [this](COutgoingTable& table, std::vector<std::unique_ptr<OutgoingMessage>>& into, bool outbox) {
        for (bool ok = table.Open(); ok; ok = table.MoveNext()) {
            auto item = std::make_unique<OutgoingMessage>();
            item->m_id = table.RecordId();
            item->m_inOutbox = outbox;
            item->m_rec = table.m_rec;
            if (CEmailAccount* account = FindAccount(item->m_rec.AcctID))
                (outbox ? account->m_outboxItems : account->m_sentItems).push_back(item.get());
            into.push_back(std::move(item));
        }
        table.Close();
    };
    CSentItemsTable sent(m_root);
    load(sent, m_sentItems, false);
    COutboxTable outbox(m_root);
    load(outbox, m_outbox, true);
}

void CPostharbourDoc::LoadFolderContents() {
    std::unordered_map<int, CEmailFolderNode*> folders;
    for (auto& f : m_allFolders) folders.emplace(f->m_id, f.get());
    std::unordered_map<int, OutgoingMessage*> sent;
    for (auto& s : m_sentItems) sent.emplace(s->m_id, s.get());
    CFolderContentsTable contents(m_root);
    for (bool ok = contents.Open(); ok; ok = contents.MoveNext()) {
        const FolderContentsRecord& r = contents.m_rec;
        auto folder = folders.find(r.FolderID);
        if (folder == folders.end()) continue;
        FiledItem item;
        item.contentsId = contents.CurrentSlot();
        if (r.IsInboxMsg) {
            item.message = FindMessage(r.MsgID);
            if (!item.message) continue;
            ++item.message->m_filingCount;
        } else {
            auto it = sent.find(LeadingInt(r.MsgID));
            if (it == sent.end()) continue;
            item.sent = it->second;
        }
        folder->second->m_filed[r.Flags > 0 ? 1 : 0].push_back(item);
    }
    contents.Close();
}

void CPostharbourDoc::LoadRules() {
    CRulesTable rules(m_root);
    for (bool ok = rules.Open(); ok; ok = rules.MoveNext()) {
        m_rules.push_back(CMailRule::FromRecord(rules.m_rec, *this));
        m_rules.back()->m_id = rules.RecordId();
    }
    rules.Close();
}

void CPostharbourDoc::LoadCannedInserts() {
    CEZinsertsTable inserts(m_root);
    for (bool ok = inserts.Open(); ok; ok = inserts.MoveNext())
        m_cannedInserts.push_back(std::make_unique<CannedInsert>(
            CannedInsert{inserts.RecordId(), inserts.m_rec.Title, inserts.m_rec.Text}));
    inserts.Close();
}

// ---------------------------------------------------------------------------------------
// Look-ups

CEmailAccount* CPostharbourDoc::FindAccount(int id) const {
    for (auto& a : m_accounts)
        if (a->m_id == id) return a.get();
    return nullptr;
}

CEmailAccount* CPostharbourDoc::FindAccountByAddress(const std::string& emailName) const {
    for (auto& a : m_accounts)
        if (a->m_emailName == emailName) return a.get();
    return nullptr;
}

CEmailFolderNode* CPostharbourDoc::FindFolder(int id) const {
    for (auto& f : m_allFolders)
        if (f->m_id == id) return f.get();
    return nullptr;
}

CAccountGroupNode* CPostharbourDoc::FindGroup(int id) const {
    for (auto& g : m_allGroups)
        if (g->m_id == id) return g.get();
    return nullptr;
}

AddressBookEntry* CPostharbourDoc::FindAddressBookEntry(int id) const {
    for (auto& e : m_addressBook)
        if (e->m_id == id) return e.get();
    return nullptr;
}

CEmailMessage* CPostharbourDoc::FindMessage(const std::string& storeId) const {
    auto it = m_messagesById.find(storeId);
    return it == m_messagesById.end() ? nullptr : it->second;
}

bool CPostharbourDoc::IsInAddressBook(const std::string& address) const {
    return std::any_of(m_addressBook.begin(), m_addressBook.end(), [&](const auto& e) {
        return EqualsNoCase(e->m_email, address);
    });
}

std::vector<std::pair<CEmailFolderNode*, std::string>> CPostharbourDoc::FoldersOfMessage(
    const CEmailMessage& message) const {
    std::vector<std::pair<CEmailFolderNode*, std::string>> found;
    auto walk = [&](const std::vector<CEmailFolderNode*>& tops, const std::string& root) {
        std::vector<std::pair<CEmailFolderNode*, std::string>> stack;
        for (auto it = tops.rbegin(); it != tops.rend(); ++it) stack.push_back({*it, root});
        while (!stack.empty()) {
            auto [node, prefix] = stack.back();
            stack.pop_back();
            const std::string path = Format("%s/%s", prefix.c_str(), node->m_name.c_str());
            if (node->Holds(&message)) found.push_back({node, path});
            for (auto it = node->m_children.rbegin(); it != node->m_children.rend(); ++it)
                stack.push_back({*it, path});
        }
    };
    for (auto& account : m_accounts) walk(account->m_folders, account->ShownAddress());
    walk(m_topFolders, "");
    return found;
}

}  // namespace ph
