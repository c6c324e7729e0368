#pragma once
// A table with one child storage per record, each holding the record's fields as text in one
// enciphered stream "Xml". Records are named by their id as six digits ("%06d"), or
// "<prefix>_%06d" when a prefix is set, and are visited in ascending name order.
#include <memory>
#include <string>
#include <string_view>

#include "store/CStorageNode.h"
#include "store/CTagNode.h"
#include "store/FieldExchange.h"

namespace ph {

class CRecordStorageTable {
public:
    enum class TextForm { DollarTag, Element };

    // `root` must outlive the table object.
    CRecordStorageTable(CStorageNode& root, std::string tableName, TextForm form);
    virtual ~CRecordStorageTable();
    CRecordStorageTable(const CRecordStorageTable&) = delete;
    CRecordStorageTable& operator=(const CRecordStorageTable&) = delete;

    // Exchanges the table's fields in their fixed order.
    virtual void DoFieldExchange(CFieldExchange& fx) = 0;

    // Opens the table at its first record (or the first whose name matches `pattern`; an
    // exact "%06d" name fetches one record). False, with IsEOF set, when there is none.
    bool Open(std::string_view pattern = "*");
    bool MoveNext();
    bool IsEOF() const { return m_eof; }
    // Forgets the current record, so that the next Update adds one.
    void ClearName();
    // Writes the current field values into the record `name`, or into a new record when
    // `name` is empty (RecordName then gives the new name). False when the table storage or
    // the record cannot be opened or written.
    bool Update(std::string_view name = {});
    // Destroys the named record; an empty name does nothing.
    bool Delete(std::string_view name);
    // Releases the record, commits the table storage and the root storage.
    bool Close();

    const std::string& RecordName() const { return m_recordName; }
    // The number in the record name: the digits after the first "_", else the whole name.
    int RecordId() const { return IdOfName(m_recordName); }
    static int IdOfName(std::string_view name);
    static std::string NameOfId(int id);
    const std::string& TableName() const { return m_tableName; }
    void SetPrefix(std::string prefix) { m_prefix = std::move(prefix); }
    // The record storage currently open, for tables that keep streams beside "Xml".
    CStorageNode* RecordStorage() { return m_record.get(); }

protected:
    // Walks may skip records by name (the old message table skips dates before its range).
    virtual bool AcceptName(std::string_view) const { return true; }
    // Reads or writes streams that sit beside "Xml" in the record storage.
    virtual bool ExchangeStreams(CStorageNode&, bool /*writing*/) { return true; }

private:
    bool OpenTable();
    bool ReadRecord(const std::string& name);
    bool FindMatching(bool first, std::string& name);
    std::string NewRecordName();

    CStorageNode& m_root;
    std::string m_tableName;
    TextForm m_form;
    std::unique_ptr<CStorageNode> m_table;
    std::unique_ptr<CStorageNode> m_record;
    std::string m_recordName;
    std::string m_pattern = "*";
    std::string m_prefix;
    bool m_eof = true;
    // The element form keeps the tree of the record last read, so an update of that record
    // keeps elements this version does not know.
    CTagNode m_tree;
    std::string m_treeRecord;
};

}  // namespace ph
