// Export, import and compaction of the store.
//
// What an import takes. A row of the chosen store is "present" when the open store already
// has a row standing for the same thing; a present row is never added again, but rows of
// the chosen store that refer to it are attached to the open store's row:
//  - an account: same EmailName (ignoring case) and same kind (the default mark aside); the
//    messages of a present account are merged into it;
//  - a message: its (mapped) account has one with the same MsgUniqueID;
//  - a sent item: its (mapped) account has one with the same date, subject and recipients;
//  - a folder: one of the same name under the same (mapped) parent, or, for one of the four
//    special folders, the open store's folder of that kind;
//  - an address book entry: one with the same e-mail address (ignoring case); entries
//    without an address, one of the same name;
//  - a group: one of the same name under the same (mapped) parent;
//  - a group member or a folder filing: the same pair is there already;
//  - a rule: one of the same Name; with "ImportRuleChanges" that rule is rewritten from the
//    imported one.
// Rows that are not present are added only when their kind is selected; imported accounts
// lose the default mark (the open store keeps its default) and go to the end of the list.
// Messages bring their sent items along (both under "ImportNewEmail"). The outbox is never
// imported (it would be sent from here), nor are canned inserts and preferences (the open
// store's own stay). A row whose reference was not taken (a message of an account that was
// not imported, a rule moving to a folder that was not) is left out rather than pointed at
// an unrelated row.
//
// The import is one commit: a crash or a failed write leaves the open store as it was.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "doc/CPostharbourDoc.h"
#include "doc/StoreCopier.h"
#include "model/ProfileSettings.h"
#include "store/StoreDump.h"
#include "store/Tables.h"

namespace ph {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCompactCaption = "COMPACT";

// The open store exists, so a path naming nothing is not it; one that names something is it
// under any spelling (links, "..", another mount of the same directory).
bool IsSameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (!fs::exists(a, ec) || !fs::exists(b, ec)) return false;
    const bool same = fs::equivalent(a, b, ec);
    return same && !ec;
}

// A rename is only durable once the directory holding it is.
bool SyncDirectoryOf(const std::string& path) {
    const std::string dir = fs::path(path).parent_path().empty() ? "." : fs::path(path).parent_path().string();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) fs::remove(path, ec);
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), AsciiLower);
    return out;
}

// Joins the parts of a look-up key; the separator does not occur in stored texts.
template <class... Parts>
std::string Key(const Parts&... parts) {
    std::string key;
    ((key += parts, key += '\x1f'), ...);
    return key;
}

std::string Num(int n) { return Format("%d", n); }

int BaseType(int storedType) {
    return storedType >= kDefaultAccountTypeOffset ? storedType - kDefaultAccountTypeOffset : storedType;
}

bool IsSpecialFolder(int type) { return type >= kFolderSpecialFirst && type <= kFolderSpecialLast; }

// The open store's rows, by the keys of the duplicate rule above; rows added by the import
// join them, so a row the chosen store holds twice comes in once.
class ImportMerge final : public CopyHooks {
public:
    ImportMerge(CStorageNode& root, const ImportOptions& options) : m_options(options) { Index(root); }

    RowDecision Decide(AccountRecord& r) override {
        if (auto id = Find(m_accounts, AccountKey(r))) return RowDecision::Map(id);
        if (!m_options.newAccounts) return RowDecision::Skip();
        r.AccountType = BaseType(r.AccountType);
        r.OrderNum = ++m_lastOrder;
        return RowDecision::Add();
    }
    void Added(const AccountRecord& r, int id) override { m_accounts[AccountKey(r)] = id; }

    RowDecision Decide(AddressBookRecord& r) override {
        if (auto id = Find(m_entries, EntryKey(r))) return RowDecision::Map(id);
        return m_options.newAddressBookEntries ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const AddressBookRecord& r, int id) override { m_entries[EntryKey(r)] = id; }

    RowDecision Decide(GroupRecord& r) override {
        if (auto id = Find(m_groups, Key(Num(r.ParentID), r.GroupName))) return RowDecision::Map(id);
        return m_options.newGroups ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const GroupRecord& r, int id) override { m_groups[Key(Num(r.ParentID), r.GroupName)] = id; }

    RowDecision Decide(GroupContentsRecord& r) override {
        if (auto id = Find(m_members, MemberKey(r))) return RowDecision::Map(id);
        return m_options.newGroupEntries ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const GroupContentsRecord& r, int id) override { m_members[MemberKey(r)] = id; }

    RowDecision Decide(FolderRecord& r) override {
        if (IsSpecialFolder(r.FolderType)) {
            if (auto id = Find(m_specialFolders, Num(r.FolderType))) return RowDecision::Map(id);
        }
        if (auto id = Find(m_folders, FolderKey(r))) return RowDecision::Map(id);
        return m_options.newFolders ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const FolderRecord& r, int id) override {
        m_folders[FolderKey(r)] = id;
        if (IsSpecialFolder(r.FolderType)) m_specialFolders[Num(r.FolderType)] = id;
    }

    RowDecision Decide(EmailRecord& r) override {
        // The program never shows a message without an id; nothing to bring over.
        if (r.MsgUniqueID.empty()) return RowDecision::Skip();
        if (auto id = Find(m_messages, MessageKey(r), -1); id >= 0) return RowDecision::Map(id);
        return m_options.newEmail ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const EmailRecord& r, int slot) override { m_messages[MessageKey(r)] = slot; }

    RowDecision Decide(OutgoingRecord& r, bool outbox) override {
        if (outbox) return RowDecision::Skip();
        if (auto id = Find(m_sentItems, SentKey(r))) return RowDecision::Map(id);
        return m_options.newEmail ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const OutgoingRecord& r, bool outbox, int id) override {
        if (!outbox) m_sentItems[SentKey(r)] = id;
    }

    RowDecision Decide(FolderContentsRecord& r) override {
        if (auto id = Find(m_filings, FilingKey(r), -1); id >= 0) return RowDecision::Map(id);
        return m_options.folderContents ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const FolderContentsRecord& r, int slot) override { m_filings[FilingKey(r)] = slot; }

    RowDecision Decide(RuleRecord& r) override {
        if (auto id = Find(m_rules, r.Name))
            return m_options.ruleChanges ? RowDecision::Rewrite(id) : RowDecision::Map(id);
        return m_options.newRules ? RowDecision::Add() : RowDecision::Skip();
    }
    void Added(const RuleRecord& r, int id) override { m_rules[r.Name] = id; }

    RowDecision Decide(EZinsertRecord&) override { return RowDecision::Skip(); }
    RowDecision Decide(PreferencesRecord&) override { return RowDecision::Skip(); }

private:
    using KeyMap = std::unordered_map<std::string, int>;

    static int Find(const KeyMap& map, const std::string& key, int none = 0) {
        auto it = map.find(key);
        return it == map.end() ? none : it->second;
    }
    static std::string AccountKey(const AccountRecord& r) { return Key(Lower(r.EmailName), Num(BaseType(r.AccountType))); }
    static std::string EntryKey(const AddressBookRecord& r) {
        return r.Email.empty() ? Key(std::string(), r.Name) : Key(Lower(r.Email));
    }
    static std::string MemberKey(const GroupContentsRecord& r) { return Key(Num(r.AcctID), Num(r.GroupID)); }
    static std::string FolderKey(const FolderRecord& r) {
        return Key(Num(r.ParentID), r.FolderName.substr(0, FolderRecord::kMaxName));
    }
    static std::string MessageKey(const EmailRecord& r) { return Key(Num(r.AcctID), r.MsgUniqueID); }
    static std::string SentKey(const OutgoingRecord& r) {
        return Key(Num(r.AcctID), r.SentDate.ToStoreText(), r.Subject, r.To);
    }
    static std::string FilingKey(const FolderContentsRecord& r) {
        return Key(std::string(r.IsInboxMsg ? "m" : "s"), Num(LeadingInt(r.MsgID)), Num(r.FolderID));
    }

    template <class Table, class Each>
    static void Walk(CStorageNode& root, Each each) {
        Table table(root);
        for (bool found = table.Open(); found; found = table.MoveNext()) each(table);
        table.Close();
    }

    void Index(CStorageNode& root) {
        Walk<CAccountsTable>(root, [&](CAccountsTable& t) {
            m_accounts.emplace(AccountKey(t.m_rec), t.RecordId());
            m_lastOrder = std::max(m_lastOrder, t.m_rec.OrderNum);
        });
        Walk<CAddressBookTable>(root, [&](CAddressBookTable& t) { m_entries.emplace(EntryKey(t.m_rec), t.RecordId()); });
        Walk<CGroupsTable>(root, [&](CGroupsTable& t) {
            m_groups.emplace(Key(Num(t.m_rec.ParentID), t.m_rec.GroupName), t.RecordId());
        });
        Walk<CGroupContentsTable>(root, [&](CGroupContentsTable& t) { m_members.emplace(MemberKey(t.m_rec), t.RecordId()); });
        Walk<CFoldersTable>(root, [&](CFoldersTable& t) {
            m_folders.emplace(FolderKey(t.m_rec), t.RecordId());
            if (IsSpecialFolder(t.m_rec.FolderType)) m_specialFolders.emplace(Num(t.m_rec.FolderType), t.RecordId());
        });
        {
            CEmailsTable emails(root);  // fields only: the texts are not needed to compare
            for (bool found = emails.Open(); found; found = emails.MoveNext())
                if (!emails.m_rec.MsgUniqueID.empty()) m_messages.emplace(MessageKey(emails.m_rec), emails.CurrentSlot());
            emails.Close();
        }
        Walk<CSentItemsTable>(root, [&](CSentItemsTable& t) { m_sentItems.emplace(SentKey(t.m_rec), t.RecordId()); });
        {
            CFolderContentsTable filings(root);
            for (bool found = filings.Open(); found; found = filings.MoveNext())
                m_filings.emplace(FilingKey(filings.m_rec), filings.CurrentSlot());
            filings.Close();
        }
        Walk<CRulesTable>(root, [&](CRulesTable& t) { m_rules.emplace(t.m_rec.Name, t.RecordId()); });
    }

    ImportOptions m_options;
    int m_lastOrder = -1;
    KeyMap m_accounts, m_entries, m_groups, m_members, m_folders, m_specialFolders, m_messages, m_sentItems,
        m_filings, m_rules;
};

// Import and compaction rebuild every account; a worker must not be holding one.
bool AnyAccountBusy(const std::vector<std::unique_ptr<CEmailAccount>>& accounts) {
    return std::any_of(accounts.begin(), accounts.end(), [](const auto& a) {
        return a->m_checkingMail || a->m_deleting || a->m_downloading;
    });
}

// Copies every table of `source` into the freshly created `target` in one durable commit and
// lets go of it. False, with `error` saying why, when the copy or its commit failed.
bool CopyAllInto(CStorageNode& source, CStorageNode& target, std::string& error) {
    bool ok = false;
    {
        CCommitGroup group(target);
        StoreCopier copier(source, target, StoreCopier::Unmapped::ClearReference);
        ok = copier.CopyAll();
        error = copier.Error();
        if (!group.Finish() && ok) {
            ok = false;
            error = target.Error();
        }
    }
    target.Release();
    return ok;
}

constexpr const char* kBusyText = "Please wait until the accounts have finished checking, deleting or downloading.";

}  // namespace

// ---------------------------------------------------------------------------------------
// Export

bool CPostharbourDoc::Export(const std::string& path) {
    if (!IsOpen()) return false;
    if (IsSameFile(path, m_storePath)) {
        m_ui.MessageBox("Cannot export to current open file", "ERROR", IUserInterface::Buttons::Ok);
        return false;
    }
    // Creating the store replaces any file of that name, once it holds the file's lock: a
    // store another program has open is refused rather than pulled away from under it.
    CStorageNode target;
    std::string error;
    if (!ph::CreateNewStore(target, path, &error)) {
        m_ui.MessageBox(Format("Cannot export to %s: %s", path.c_str(), error.c_str()), "ERROR",
                        IUserInterface::Buttons::Ok);
        return false;
    }
    const bool ok = CopyAllInto(m_root, target, error);
    if (!ok) {
        RemoveFile(path);
        m_ui.MessageBox(Format("Cannot export to %s: %s", path.c_str(), error.c_str()), "ERROR",
                        IUserInterface::Buttons::Ok);
    }
    return ok;
}

// ---------------------------------------------------------------------------------------
// Import

bool CPostharbourDoc::Import(const std::string& path, const ImportOptions* choices) {
    if (!IsOpen()) return false;
    if (IsSameFile(path, m_storePath)) {
        m_ui.MessageBox("Cannot import from current open file", "ERROR", IUserInterface::Buttons::Ok);
        return false;
    }
    if (AnyAccountBusy(m_accounts)) {
        m_ui.MessageBox(kBusyText, "BUSY", IUserInterface::Buttons::Ok);
        return false;
    }
    bool dontAsk = false;
    ImportOptions options = choices ? *choices : ReadImportOptions(m_profile, dontAsk);
    if (!choices && !dontAsk) {
        if (!m_ui.AskImportOptions(options, dontAsk)) return false;
        WriteImportOptions(m_profile, options, dontAsk);
    }
    CStorageNode source;
    if (!source.OpenFile(path)) {
        m_ui.MessageBox(Format("Cannot import from %s: %s", path.c_str(), source.Error().c_str()), "ERROR",
                        IUserInterface::Buttons::Ok);
        return false;
    }
    bool ok = false;
    std::string error;
    std::string summary;
    {
        CCommitGroup group(m_root);
        ImportMerge merge(m_root, options);
        StoreCopier copier(source, m_root, StoreCopier::Unmapped::SkipRow, &merge);
        ok = copier.CopyAll();
        error = copier.Error();
        // Everything since the last commit is the import's own: dropping it leaves the store
        // exactly as it was (and ends the group without a commit).
        if (!ok) m_root.Rollback();
        if (!group.Finish() && ok) {
            ok = false;
            error = m_root.Error();
            m_root.Rollback();
        }
        auto added = [&](CopyTable t) { return copier.CountsOf(t).added; };
        summary = Format("Imported %d accounts, %d messages, %d folders, %d address book entries, %d groups, %d rules",
                         added(CopyTable::Accounts), added(CopyTable::Emails), added(CopyTable::Folders),
                         added(CopyTable::AddressBook), added(CopyTable::Groups), added(CopyTable::Rules));
    }
    source.Release();
    Reload();
    if (!ok) {
        m_ui.MessageBox(Format("The import from %s failed (%s); nothing was imported.", path.c_str(), error.c_str()),
                        "ERROR", IUserInterface::Buttons::Ok);
        return false;
    }
    Trace("%s from %s", summary.c_str(), path.c_str());
    m_ui.SetStatusText(summary);
    return true;
}

// ---------------------------------------------------------------------------------------
// Compaction

bool CPostharbourDoc::Compact() {
    if (!IsOpen()) return false;
    if (AnyAccountBusy(m_accounts)) {
        m_ui.MessageBox(kBusyText, "BUSY", IUserInterface::Buttons::Ok);
        return false;
    }
    const std::string path = m_storePath;
    // A fixed name beside the store: the rename below stays inside one file system, and a
    // copy left by a crash is simply overwritten next time.
    const std::string temp = path + ".compact";
    auto fail = [&](const std::string& why) {
        m_ui.MessageBox(Format("The message store could not be compacted (%s). It is unchanged.", why.c_str()),
                        kCompactCaption, IUserInterface::Buttons::Ok);
        return false;
    };

    std::string error;
    {
        CStorageNode target;
        if (!ph::CreateNewStore(target, temp, &error)) {
            RemoveFile(temp);
            return fail(error);
        }
        if (!CopyAllInto(m_root, target, error)) {
            RemoveFile(temp);
            return fail(error);
        }
    }

    // The copy is durable; swap it in. The open store must let go of the file first.
    CloseStore();
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        RemoveFile(temp);
        OpenStore(path);
        return fail(ec.message());
    }
    if (!SyncDirectoryOf(path)) Trace("compaction: cannot sync the directory of %s", path.c_str());
    if (!OpenStore(path)) {
        m_ui.MessageBox(Format("The compacted message store could not be opened again (%s).", m_openError.c_str()),
                        kCompactCaption, IUserInterface::Buttons::Ok);
        return false;
    }
    m_ui.MessageBox("Message Store Successfully Compacted", kCompactCaption, IUserInterface::Buttons::Ok);
    return true;
}

}  // namespace ph
