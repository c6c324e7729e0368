#include "doc/StoreCopier.h"

#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/Bytes.h"
#include "common/Format.h"
#include "store/Tables.h"

namespace ph {

StoreCopier::StoreCopier(CStorageNode& source, CStorageNode& target, Unmapped unmapped, CopyHooks* hooks)
    : m_source(source), m_target(target), m_unmapped(unmapped), m_hooks(hooks ? *hooks : m_copyAll) {}

bool StoreCopier::Fail(const std::string& why) {
    m_error = why;
    if (!m_target.Error().empty()) m_error += ": " + m_target.Error();
    return false;
}

bool StoreCopier::Lookup(CopyTable table, int oldId, int& newId) const {
    const IdMap& map = Map(table);
    auto it = map.find(oldId);
    if (it == map.end()) return false;
    newId = it->second;
    return true;
}

bool StoreCopier::MapOptional(CopyTable table, int& id) const {
    if (id <= 0) return true;  // no reference at all
    if (Lookup(table, id, id)) return true;
    if (m_unmapped == Unmapped::SkipRow) return false;
    id = 0;
    return true;
}

bool StoreCopier::CopyAll() {
    for (size_t i = 0; i < kCopyTables; ++i)
        if (!Copy(static_cast<CopyTable>(i))) return false;
    return true;
}

bool StoreCopier::Copy(CopyTable table) {
    switch (table) {
        case CopyTable::Accounts: return CopyAccounts();
        case CopyTable::AddressBook: return CopyAddressBook();
        case CopyTable::Groups: return CopyTree<CGroupsTable, GroupRecord>(table);
        case CopyTable::GroupContents: return CopyGroupContents();
        case CopyTable::Folders: return CopyTree<CFoldersTable, FolderRecord>(table);
        case CopyTable::Emails: return CopyEmails();
        case CopyTable::SentItems: return CopyOutgoing(false);
        case CopyTable::FolderContents: return CopyFolderContents();
        case CopyTable::Outbox: return CopyOutgoing(true);
        case CopyTable::Rules: return CopyRules();
        case CopyTable::EZinserts: return CopyEZinserts();
        case CopyTable::Preferences: return CopyPreferences();
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Record-storage tables

namespace {

// The outgoing tables share a record type; the hooks tell them apart by a flag.
template <class Table>
constexpr bool kIsOutgoing = std::is_base_of_v<COutgoingTable, Table>;

template <class Table, class Rec>
RowDecision DecideFor(CopyHooks& hooks, Rec& rec) {
    if constexpr (kIsOutgoing<Table>)
        return hooks.Decide(rec, std::is_same_v<Table, COutboxTable>);
    else
        return hooks.Decide(rec);
}

template <class Table, class Rec>
void AddedFor(CopyHooks& hooks, const Rec& rec, int id) {
    if constexpr (kIsOutgoing<Table>)
        hooks.Added(rec, std::is_same_v<Table, COutboxTable>, id);
    else
        hooks.Added(rec, id);
}

}  // namespace

template <class Table, class Rec>
bool StoreCopier::Place(Table& target, CopyTable which, int oldId, Rec& rec, RowDecision decision) {
    Counts& counts = m_counts[Index(which)];
    IdMap& map = m_maps[Index(which)];
    switch (decision.action) {
        case RowDecision::Action::Skip:
            ++counts.dropped;
            return true;
        case RowDecision::Action::Map:
            map[oldId] = decision.id;
            ++counts.matched;
            return true;
        case RowDecision::Action::Rewrite:
            // Read first, so elements of the target's row this version does not know stay.
            if (target.Open(CRecordStorageTable::NameOfId(decision.id))) {
                target.m_rec = rec;
                if (!target.Update(target.RecordName()))
                    return Fail(Format("cannot rewrite %s row %d", target.TableName().c_str(), decision.id));
                map[oldId] = decision.id;
                ++counts.matched;
                ++counts.rewritten;
                return true;
            }
            break;  // gone meanwhile: it becomes a new row
        case RowDecision::Action::Add: break;
    }
    target.ClearName();
    target.m_rec = rec;
    if (!target.Update()) return Fail(Format("cannot add a %s row", target.TableName().c_str()));
    const int newId = target.RecordId();
    map[oldId] = newId;
    ++counts.added;
    AddedFor<Table>(m_hooks, target.m_rec, newId);
    return true;
}

// `remap` rewrites a row's references and says whether the row is still wanted.
template <class Table, class Rec, class Remap>
bool StoreCopier::CopyRecordTable(CopyTable which, Remap remap) {
    Table source(m_source);
    Table target(m_target);
    bool ok = true;
    for (bool found = source.Open(); found && ok; found = source.MoveNext()) {
        Rec rec = source.m_rec;
        if (!remap(rec)) {
            ++m_counts[Index(which)].dropped;
            continue;
        }
        ok = Place(target, which, source.RecordId(), rec, DecideFor<Table>(m_hooks, rec));
    }
    source.Close();
    if (!target.Close() && ok) return Fail(Format("cannot commit %s", target.TableName().c_str()));
    return ok;
}

bool StoreCopier::CopyAccounts() {
    return CopyRecordTable<CAccountsTable, AccountRecord>(CopyTable::Accounts, [](AccountRecord&) { return true; });
}

bool StoreCopier::CopyAddressBook() {
    return CopyRecordTable<CAddressBookTable, AddressBookRecord>(CopyTable::AddressBook,
                                                                 [](AddressBookRecord&) { return true; });
}

bool StoreCopier::CopyGroupContents() {
    return CopyRecordTable<CGroupContentsTable, GroupContentsRecord>(
        CopyTable::GroupContents, [this](GroupContentsRecord& r) {
            return Lookup(CopyTable::AddressBook, r.AcctID, r.AcctID) && Lookup(CopyTable::Groups, r.GroupID, r.GroupID);
        });
}

bool StoreCopier::CopyOutgoing(bool outbox) {
    auto remap = [this](OutgoingRecord& r) { return MapOptional(CopyTable::Accounts, r.AcctID); };
    return outbox ? CopyRecordTable<COutboxTable, OutgoingRecord>(CopyTable::Outbox, remap)
                  : CopyRecordTable<CSentItemsTable, OutgoingRecord>(CopyTable::SentItems, remap);
}

bool StoreCopier::CopyRules() {
    return CopyRecordTable<CRulesTable, RuleRecord>(CopyTable::Rules, [this](RuleRecord& r) {
        return MapOptional(CopyTable::Folders, r.ActionMoveFolderid) &&
               MapOptional(CopyTable::Folders, r.ActionCopyFolderid);
    });
}

bool StoreCopier::CopyEZinserts() {
    return CopyRecordTable<CEZinsertsTable, EZinsertRecord>(CopyTable::EZinserts, [](EZinsertRecord&) { return true; });
}

bool StoreCopier::CopyPreferences() {
    return CopyRecordTable<CPreferencesTable, PreferencesRecord>(CopyTable::Preferences,
                                                                 [](PreferencesRecord&) { return true; });
}

// Groups and folders name their parent, which a later row may hold (a folder moved under one
// made after it): rows are placed in rounds, each taking those whose parent is settled.
template <class Table, class Rec>
bool StoreCopier::CopyTree(CopyTable which) {
    std::vector<std::pair<int, Rec>> pending;
    std::unordered_set<int> inSource;
    {
        Table source(m_source);
        for (bool found = source.Open(); found; found = source.MoveNext()) {
            pending.emplace_back(source.RecordId(), source.m_rec);
            inSource.insert(source.RecordId());
        }
        source.Close();
    }
    auto remapParent = [&](Rec& rec) {
        if (rec.ParentID == 0) return true;
        if constexpr (std::is_same_v<Rec, FolderRecord>) {
            // A server folder sits under its account, named by the account's id negated.
            int account = 0;
            if (rec.ParentID < 0) {
                if (!Lookup(CopyTable::Accounts, -rec.ParentID, account)) return false;
                rec.ParentID = -account;
                return true;
            }
        }
        return Lookup(which, rec.ParentID, rec.ParentID);
    };
    Table target(m_target);
    std::unordered_set<int> settled;
    bool ok = true;
    bool progress = true;
    while (ok && progress && !pending.empty()) {
        progress = false;
        std::vector<std::pair<int, Rec>> later;
        for (auto& [oldId, rec] : pending) {
            if (!ok) break;
            const int parent = rec.ParentID;
            if (parent > 0 && inSource.count(parent) && !settled.count(parent)) {
                later.emplace_back(oldId, std::move(rec));
                continue;
            }
            progress = true;
            settled.insert(oldId);
            if (!remapParent(rec)) {
                ++m_counts[Index(which)].dropped;
                continue;
            }
            ok = Place(target, which, oldId, rec, m_hooks.Decide(rec));
        }
        pending.swap(later);
    }
    // What is left hangs in a cycle of parents and was never reachable.
    m_counts[Index(which)].dropped += static_cast<int>(pending.size());
    if (!target.Close() && ok) return Fail(Format("cannot commit %s", target.TableName().c_str()));
    return ok;
}

// ---------------------------------------------------------------------------------------
// Fixed-record tables (either layout on the source side)

bool StoreCopier::CopyEmails() {
    Counts& counts = m_counts[Index(CopyTable::Emails)];
    IdMap& map = m_maps[Index(CopyTable::Emails)];
    CEmailsTable target(m_target);
    target.m_includeTexts = true;
    auto place = [&](int oldId, EmailRecord rec) {
        if (!Lookup(CopyTable::Accounts, rec.AcctID, rec.AcctID)) {
            ++counts.dropped;
            return true;
        }
        const RowDecision d = m_hooks.Decide(rec);
        if (d.action == RowDecision::Action::Skip) {
            ++counts.dropped;
            return true;
        }
        if (d.action == RowDecision::Action::Map) {
            map[oldId] = d.id;
            ++counts.matched;
            return true;
        }
        const bool rewrite = d.action == RowDecision::Action::Rewrite && target.Open(d.id);
        if (!rewrite) target.SetNew();
        target.m_rec = rec;
        std::string id;
        if (!target.Update(id)) return Fail("cannot write a message");
        map[oldId] = LeadingInt(id);
        if (rewrite) {
            ++counts.matched;
            ++counts.rewritten;
        } else {
            ++counts.added;
            m_hooks.Added(target.m_rec, LeadingInt(id));
        }
        return true;
    };
    bool ok = true;
    if (LayoutOf(m_source, "Emails") == TableLayout::RecordStorage) {
        COldEmailsTable source(m_source);
        for (bool found = source.Open(); found && ok; found = source.MoveNext()) ok = place(source.RecordId(), source.m_rec);
        source.Close();
    } else {
        CEmailsTable source(m_source);
        source.m_includeTexts = true;
        for (bool found = source.Open(); found && ok; found = source.MoveNext())
            ok = place(source.CurrentSlot(), source.m_rec);
        source.Close();
    }
    if (!target.Close() && ok) return Fail("cannot commit Emails");
    return ok;
}

bool StoreCopier::CopyFolderContents() {
    Counts& counts = m_counts[Index(CopyTable::FolderContents)];
    IdMap& map = m_maps[Index(CopyTable::FolderContents)];
    CFolderContentsTable target(m_target);
    auto place = [&](int oldId, FolderContentsRecord rec) {
        int message = 0;
        // A filing names a received message by its slot, a sent one by its record id.
        const CopyTable kind = rec.IsInboxMsg ? CopyTable::Emails : CopyTable::SentItems;
        if (rec.MsgID.empty() || !Lookup(kind, LeadingInt(rec.MsgID), message) ||
            !Lookup(CopyTable::Folders, rec.FolderID, rec.FolderID)) {
            ++counts.dropped;
            return true;
        }
        rec.MsgID = Format("%d", message);
        const RowDecision d = m_hooks.Decide(rec);
        if (d.action == RowDecision::Action::Skip) {
            ++counts.dropped;
            return true;
        }
        if (d.action != RowDecision::Action::Add) {
            // A filing has nothing beyond its references: there is nothing to rewrite.
            map[oldId] = d.id;
            ++counts.matched;
            return true;
        }
        target.SetNew();
        target.m_rec = rec;
        std::string id;
        if (!target.Update(id)) return Fail("cannot write a folder filing");
        map[oldId] = LeadingInt(id);
        ++counts.added;
        m_hooks.Added(target.m_rec, LeadingInt(id));
        return true;
    };
    bool ok = true;
    if (LayoutOf(m_source, "FolderContents") == TableLayout::RecordStorage) {
        COldFolderContentsTable source(m_source);
        for (bool found = source.Open(); found && ok; found = source.MoveNext()) ok = place(source.RecordId(), source.m_rec);
        source.Close();
    } else {
        CFolderContentsTable source(m_source);
        for (bool found = source.Open(); found && ok; found = source.MoveNext())
            ok = place(source.CurrentSlot(), source.m_rec);
        source.Close();
    }
    if (!target.Close() && ok) return Fail("cannot commit FolderContents");
    return ok;
}

}  // namespace ph
