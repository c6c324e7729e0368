#include "store/StoreDump.h"

#include <map>

#include "store/StoreKey.h"
#include "store/Tables.h"

namespace ph {
namespace {

// Lists field values in their stored text form.
class CFieldCollector final : public CTextFieldExchange {
public:
    explicit CFieldCollector(std::vector<std::pair<std::string, std::string>>& out)
        : CTextFieldExchange(true), m_out(out) {}

private:
    std::string_view Get(const char*) override { return {}; }
    void Put(const char* name, std::string_view text) override {
        const std::string_view n = name;
        const bool secret = n == "Password" || n == "DbPswd";
        m_out.emplace_back(name, secret && !text.empty() ? "<hidden>" : std::string(text));
    }
    std::vector<std::pair<std::string, std::string>>& m_out;
};

// Streams of a record storage other than its fields, deciphered.
void CollectStreams(CStorageNode* record, RecordDump& dump) {
    if (!record) return;
    std::string name;
    for (bool ok = record->FindFirst("*", ElementKind::Stream, name); ok; ok = record->FindNext(name)) {
        if (name == "Xml") continue;
        auto stream = record->OpenStream(name);
        stream->EnableCipher(kStoreKey);
        dump.streams.emplace_back(name, stream->ReadAll());
    }
}

template <class Table>
TableDump DumpRecordTable(CStorageNode& root, const char* layout) {
    Table table(root);
    TableDump dump{table.TableName(), layout, {}};
    for (bool ok = table.Open(); ok; ok = table.MoveNext()) {
        RecordDump record;
        record.id = table.RecordName();
        CFieldCollector collector(record.fields);
        table.DoFieldExchange(collector);
        CollectStreams(table.RecordStorage(), record);
        dump.records.push_back(std::move(record));
    }
    table.Close();
    return dump;
}

template <class Table>
TableDump DumpRecordTable(CStorageNode& root) {
    return DumpRecordTable<Table>(root, "record-storage");
}

TableDump DumpEmails(CStorageNode& root) {
    CEmailsTable table(root);
    table.m_includeTexts = true;
    TableDump dump{table.TableName(), "fixed-record", {}};
    for (bool ok = table.Open(); ok; ok = table.MoveNext()) {
        RecordDump record;
        record.id = std::to_string(table.CurrentSlot());
        CFieldCollector collector(record.fields);
        table.m_rec.ExchangeFields(collector);
        if (table.m_rec.HasCachedTexts()) {
            std::vector<std::pair<std::string, std::string>> texts;
            CFieldCollector blob(texts);
            table.m_rec.ExchangeTexts(blob);
            for (auto& [name, text] : texts)
                record.streams.emplace_back("Blob_Xml_" + record.id + "/" + name, std::move(text));
        }
        dump.records.push_back(std::move(record));
    }
    table.Close();
    return dump;
}

TableDump DumpFolderContents(CStorageNode& root) {
    CFolderContentsTable table(root);
    TableDump dump{table.TableName(), "fixed-record", {}};
    for (bool ok = table.Open(); ok; ok = table.MoveNext()) {
        RecordDump record;
        record.id = std::to_string(table.CurrentSlot());
        CFieldCollector collector(record.fields);
        table.DoFieldExchange(collector);
        dump.records.push_back(std::move(record));
    }
    table.Close();
    return dump;
}

}  // namespace

std::vector<TableDump> DumpStore(CStorageNode& root) {
    using Dumper = TableDump (*)(CStorageNode&);
    struct Layouts {
        Dumper current;
        Dumper old;  // the record-storage layout of earlier versions, where there was one
    };
    static const std::map<std::string_view, Layouts> kDumpers = {
        {"Preferences", {DumpRecordTable<CPreferencesTable>, nullptr}},
        {"Accounts", {DumpRecordTable<CAccountsTable>, nullptr}},
        {"Emails", {DumpEmails, [](CStorageNode& r) { return DumpRecordTable<COldEmailsTable>(r, "old record-storage"); }}},
        {"AddressBook", {DumpRecordTable<CAddressBookTable>, nullptr}},
        {"FolderContents", {DumpFolderContents, [](CStorageNode& r) { return DumpRecordTable<COldFolderContentsTable>(r, "old record-storage"); }}},
        {"Folders", {DumpRecordTable<CFoldersTable>, nullptr}},
        {"GroupContents", {DumpRecordTable<CGroupContentsTable>, nullptr}},
        {"Groups", {DumpRecordTable<CGroupsTable>, nullptr}},
        {"Rules", {DumpRecordTable<CRulesTable>, nullptr}},
        {"Outbox", {DumpRecordTable<COutboxTable>, nullptr}},
        {"SentItems", {DumpRecordTable<CSentItemsTable>, nullptr}},
        {"EZinserts", {DumpRecordTable<CEZinsertsTable>, nullptr}},
    };
    std::vector<TableDump> out;
    for (const char* name : kStoreTables) {
        const Layouts& layouts = kDumpers.at(name);
        switch (LayoutOf(root, name)) {
            case TableLayout::Missing: out.push_back({name, "missing", {}}); break;
            case TableLayout::FixedRecord: out.push_back(layouts.current(root)); break;
            case TableLayout::RecordStorage:
                out.push_back(layouts.old ? layouts.old(root) : layouts.current(root));
                break;
        }
    }
    return out;
}

bool CreateNewStore(CStorageNode& root, const std::string& path, std::string* error) {
    if (!root.CreateFile(path) || !CreateStoreTables(root)) {
        *error = root.Error().empty() ? "cannot create the store tables" : root.Error();
        return false;
    }
    return true;
}

}  // namespace ph
