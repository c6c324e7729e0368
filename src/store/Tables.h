#pragma once
// The store's twelve tables. Each table object lives for one job (load all, add one, update
// one, delete one): open, use, close; closing commits.
#include <array>
#include <string>
#include <vector>

#include "store/CFixedRecordTable.h"
#include "store/CRecordStorageTable.h"
#include "store/Records.h"

namespace ph {

// The tables of a new store, in the order they are created.
inline constexpr std::array<const char*, 12> kStoreTables = {
    "Preferences", "Accounts", "Emails", "AddressBook", "FolderContents", "Folders",
    "GroupContents", "Groups", "Rules", "Outbox", "SentItems", "EZinserts"};

// A record-storage table over one record type.
template <class Record>
class CRecordTable : public CRecordStorageTable {
public:
    CRecordTable(CStorageNode& root, const char* name, TextForm form)
        : CRecordStorageTable(root, name, form) {}
    void DoFieldExchange(CFieldExchange& fx) override { m_rec.Exchange(fx); }
    Record m_rec;
};

class CAccountsTable : public CRecordTable<AccountRecord> {
public:
    explicit CAccountsTable(CStorageNode& root) : CRecordTable(root, "Accounts", TextForm::DollarTag) {}
};

class CAddressBookTable : public CRecordTable<AddressBookRecord> {
public:
    explicit CAddressBookTable(CStorageNode& root) : CRecordTable(root, "AddressBook", TextForm::Element) {}
};

class CFoldersTable : public CRecordTable<FolderRecord> {
public:
    explicit CFoldersTable(CStorageNode& root) : CRecordTable(root, "Folders", TextForm::Element) {}
};

class CGroupsTable : public CRecordTable<GroupRecord> {
public:
    explicit CGroupsTable(CStorageNode& root) : CRecordTable(root, "Groups", TextForm::Element) {}
};

class CGroupContentsTable : public CRecordTable<GroupContentsRecord> {
public:
    explicit CGroupContentsTable(CStorageNode& root)
        : CRecordTable(root, "GroupContents", TextForm::Element) {}
};

class CEZinsertsTable : public CRecordTable<EZinsertRecord> {
public:
    explicit CEZinsertsTable(CStorageNode& root) : CRecordTable(root, "EZinserts", TextForm::Element) {}
};

class CRulesTable : public CRecordTable<RuleRecord> {
public:
    explicit CRulesTable(CStorageNode& root) : CRecordTable(root, "Rules", TextForm::Element) {}
};

class CPreferencesTable : public CRecordTable<PreferencesRecord> {
public:
    explicit CPreferencesTable(CStorageNode& root) : CRecordTable(root, "Preferences", TextForm::Element) {}
};

// "Outbox" and "SentItems": element form plus the streams "MsgText" and "Attachments",
// enciphered and padded, written after the field text.
class COutgoingTable : public CRecordStorageTable {
public:
    void DoFieldExchange(CFieldExchange& fx) override { m_rec.Exchange(fx, m_withHidden); }
    OutgoingRecord m_rec;

protected:
    COutgoingTable(CStorageNode& root, const char* name, bool withHidden)
        : CRecordStorageTable(root, name, TextForm::Element), m_withHidden(withHidden) {}
    bool ExchangeStreams(CStorageNode& record, bool writing) override;

private:
    bool m_withHidden;
};

class COutboxTable : public COutgoingTable {
public:
    explicit COutboxTable(CStorageNode& root) : COutgoingTable(root, "Outbox", true) {}
};

class CSentItemsTable : public COutgoingTable {
public:
    explicit CSentItemsTable(CStorageNode& root) : COutgoingTable(root, "SentItems", false) {}
};

// "Emails": one fixed record per message; the cached texts go to the row's blob, and only
// when the exchange includes texts.
class CEmailsTable : public CFixedRecordTable {
public:
    explicit CEmailsTable(CStorageNode& root) : CFixedRecordTable(root, "Emails") {}
    bool CreateTable() override;
    void DoFieldExchange(CFieldExchange& fx) override;
    bool UpgradeFields() override;

    static const std::vector<FieldSpec>& Definition();
    // With a range other than the default (January 1, 1985 to January 1, 2020, which means
    // no filter), walks skip rows sent before `from`.
    void SetDateRange(const DateTime& from, const DateTime& to);

    EmailRecord m_rec;
    // Whether reading and writing include the cached texts (and the blob).
    bool m_includeTexts = false;

protected:
    bool AcceptRow() override;

private:
    std::string m_skipBefore;  // "%Y%m%d" of the range start; empty: no filter
    std::string m_blob;        // the latest row's blob, kept for its room
};

class CFolderContentsTable : public CFixedRecordTable {
public:
    explicit CFolderContentsTable(CStorageNode& root) : CFixedRecordTable(root, "FolderContents") {}
    bool CreateTable() override { return CreateWith(Definition()); }
    void DoFieldExchange(CFieldExchange& fx) override { m_rec.Exchange(fx); }
    bool UpgradeFields() override { return UpgradeTo(Definition()); }

    static const std::vector<FieldSpec>& Definition();
    FolderContentsRecord m_rec;
};

// Message rows of the old layout, read for conversion. With a date range set, records named
// with a date before its start are skipped.
class COldEmailsTable : public CRecordStorageTable {
public:
    explicit COldEmailsTable(CStorageNode& root) : CRecordStorageTable(root, "Emails", TextForm::DollarTag) {}
    void DoFieldExchange(CFieldExchange& fx) override { m_rec.ExchangeOldLayout(fx); }
    void SetDateRange(const DateTime& from) { m_skipBefore = from.Format("%Y%m%d"); }
    EmailRecord m_rec;

protected:
    bool AcceptName(std::string_view name) const override;

private:
    std::string m_skipBefore;
};

// Folder filings of the old layout.
class COldFolderContentsTable : public CRecordTable<FolderContentsRecord> {
public:
    explicit COldFolderContentsTable(CStorageNode& root)
        : CRecordTable(root, "FolderContents", TextForm::Element) {}
};

// How a table's storage is laid out on disk.
enum class TableLayout { Missing, RecordStorage, FixedRecord };
TableLayout LayoutOf(CStorageNode& root, const char* tableName);

// Creates all twelve tables of a new store in their order, the two fixed-record tables with
// their field lists and empty records, and commits.
bool CreateStoreTables(CStorageNode& root);

}  // namespace ph
