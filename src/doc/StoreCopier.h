#pragma once
// Copies the rows of one store into another, table by table, in an order that puts every
// referenced table before the tables that refer to it. Ids change on the way: for every
// table the copier keeps the map from the source's ids to the target's, and rewrites the
// references of later rows through it (AcctID, ParentID, GroupID, FolderID, MsgID and the
// folder ids of rules).
//
// A reference that has no new id is handled by what it means to the row:
//  - A row that only exists through its reference (a message and its account, a folder and
//    its parent folder or account, a group and its parent group, a group member, a folder
//    filing) is dropped: the program never loads such a row, so nothing visible is lost.
//  - A row for which the reference is optional (the account of an outbox or sent item, the
//    folders of a rule) follows the copier's policy: ClearReference writes 0, which reads as
//    "none" just as the dangling id did (export, compaction: the source itself pointed
//    nowhere); SkipRow leaves the row out (import: the referenced row exists but was not
//    taken, and an id of the open store must not be guessed).
//
// The source is only read. The target's commits are the caller's business (it usually
// wraps the copy in one CCommitGroup).
#include <array>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "store/CStorageNode.h"
#include "store/Records.h"

namespace ph {

// The tables in copy order.
enum class CopyTable : int {
    Accounts,
    AddressBook,
    Groups,
    GroupContents,
    Folders,
    Emails,
    SentItems,
    FolderContents,
    Outbox,
    Rules,
    EZinserts,
    Preferences,
};
inline constexpr size_t kCopyTables = 12;

// What becomes of one source row.
struct RowDecision {
    enum class Action {
        Add,      // a new row of the target
        Map,      // stands for the target's row `id`, which stays as it is
        Rewrite,  // stands for the target's row `id`, which is rewritten from the source row
        Skip,     // left out; references to it have no new id
    };
    Action action = Action::Add;
    int id = 0;

    static RowDecision Add() { return {}; }
    static RowDecision Map(int id) { return {Action::Map, id}; }
    static RowDecision Rewrite(int id) { return {Action::Rewrite, id}; }
    static RowDecision Skip() { return {Action::Skip, 0}; }
};

// Lets a caller merge instead of copy. Each Decide sees a source row whose references are
// already rewritten to the target's ids (it may still change the row); each Added tells the
// new id of a row it let through. The defaults copy everything.
class CopyHooks {
public:
    virtual ~CopyHooks() = default;
    virtual RowDecision Decide(AccountRecord&) { return {}; }
    virtual RowDecision Decide(AddressBookRecord&) { return {}; }
    virtual RowDecision Decide(GroupRecord&) { return {}; }
    virtual RowDecision Decide(GroupContentsRecord&) { return {}; }
    virtual RowDecision Decide(FolderRecord&) { return {}; }
    virtual RowDecision Decide(EmailRecord&) { return {}; }
    virtual RowDecision Decide(OutgoingRecord&, bool /*outbox*/) { return {}; }
    virtual RowDecision Decide(FolderContentsRecord&) { return {}; }
    virtual RowDecision Decide(RuleRecord&) { return {}; }
    virtual RowDecision Decide(EZinsertRecord&) { return {}; }
    virtual RowDecision Decide(PreferencesRecord&) { return {}; }

    virtual void Added(const AccountRecord&, int) {}
    virtual void Added(const AddressBookRecord&, int) {}
    virtual void Added(const GroupRecord&, int) {}
    virtual void Added(const GroupContentsRecord&, int) {}
    virtual void Added(const FolderRecord&, int) {}
    virtual void Added(const EmailRecord&, int) {}
    virtual void Added(const OutgoingRecord&, bool /*outbox*/, int) {}
    virtual void Added(const FolderContentsRecord&, int) {}
    virtual void Added(const RuleRecord&, int) {}
    virtual void Added(const EZinsertRecord&, int) {}
    virtual void Added(const PreferencesRecord&, int) {}
};

class StoreCopier {
public:
    enum class Unmapped { ClearReference, SkipRow };

    using IdMap = std::unordered_map<int, int>;
    struct Counts {
        int added = 0;
        int matched = 0;    // mapped onto a row the target had (rewritten or not)
        int rewritten = 0;  // of those, rewritten
        int dropped = 0;    // skipped, or a reference that could not be mapped
    };

    // Both roots must stay open while the copier is used. Without hooks every row is added.
    StoreCopier(CStorageNode& source, CStorageNode& target, Unmapped unmapped, CopyHooks* hooks = nullptr);
    StoreCopier(const StoreCopier&) = delete;
    StoreCopier& operator=(const StoreCopier&) = delete;

    // Copies every table in order; stops at the first table that cannot be written.
    bool CopyAll();
    bool Copy(CopyTable table);

    const IdMap& Map(CopyTable table) const { return m_maps[Index(table)]; }
    const Counts& CountsOf(CopyTable table) const { return m_counts[Index(table)]; }
    // Why the last copy failed.
    const std::string& Error() const { return m_error; }

private:
    static size_t Index(CopyTable t) { return static_cast<size_t>(t); }
    bool CopyAccounts();
    bool CopyAddressBook();
    bool CopyGroups();
    bool CopyGroupContents();
    bool CopyFolders();
    bool CopyEmails();
    bool CopyOutgoing(bool outbox);
    bool CopyFolderContents();
    bool CopyRules();
    bool CopyEZinserts();
    bool CopyPreferences();
    template <class Table, class Rec, class Remap>
    bool CopyRecordTable(CopyTable which, Remap remap);
    template <class Table, class Rec>
    bool CopyTree(CopyTable which);
    template <class Table, class Rec>
    bool Place(Table& target, CopyTable which, int oldId, Rec& rec, RowDecision decision);
    bool Fail(const std::string& why);

    // The new id of `oldId` in `table`'s map; false when there is none.
    bool Lookup(CopyTable table, int oldId, int& newId) const;
    // An optional reference: 0 stays 0; otherwise mapped, or handled by the policy.
    bool MapOptional(CopyTable table, int& id) const;

    CStorageNode& m_source;
    CStorageNode& m_target;
    Unmapped m_unmapped;
    CopyHooks m_copyAll;
    CopyHooks& m_hooks;
    std::array<IdMap, kCopyTables> m_maps;
    std::array<Counts, kCopyTables> m_counts{};
    std::string m_error;
};

}  // namespace ph
