#pragma once
// A table of fixed-length records in one enciphered stream "Records", slot i at
// i x record length, with a slot bitmap "TableInfo" (plain; bit 7 - i%8 of byte i/8 tells
// whether slot i is used), the field list "FieldList" (name, type code, size per field, one
// line each) and per-slot blob streams "Blob_<name>_<slot>" for large texts. The id of a
// row is its slot number. A walk, an add or a delete touches only its own record and the
// bitmap, so tables of many thousand rows stay cheap to change.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/CStorageNode.h"
#include "store/FieldExchange.h"

namespace ph {

enum FieldType : int { kFieldText = 0, kFieldInteger = 1, kFieldDate = 2, kFieldBoolean = 3 };

struct CFieldDef {
    std::string name;
    std::string value;
    int type = kFieldText;
    int size = 0;
    int offset = 0;
};

// One field of a table's definition.
struct FieldSpec {
    const char* name;
    int type;
    int size;
};

class CFixedRecordTable {
public:
    static constexpr int kMaxRecordLength = 4096;
    static constexpr size_t kBitmapStep = 1024;

    // `root` must outlive the table object.
    CFixedRecordTable(CStorageNode& root, std::string tableName);
    virtual ~CFixedRecordTable();
    CFixedRecordTable(const CFixedRecordTable&) = delete;
    CFixedRecordTable& operator=(const CFixedRecordTable&) = delete;

    // Sets up a table whose storage the caller has just created.
    virtual bool CreateTable() = 0;
    virtual void DoFieldExchange(CFieldExchange& fx) = 0;
    // Appends the fields a stored table lacks and widens its records to match; true when the
    // table is (now) up to date, also when it has no records stream yet. On failure the
    // stored rows are left as they were: uncommitted changes of the whole file are rolled
    // back, so it runs before anything else is changed (as when a store is opened).
    virtual bool UpgradeFields() = 0;

    // Opens the table at `slot`, or at the lowest used slot for -1, and reads that row.
    // False (IsEOF) when the table is unreadable, empty, or the slot is not in use.
    bool Open(int slot = -1);
    bool MoveNext();
    bool IsEOF() const { return m_eof; }
    // The next Update adds a row.
    void SetNew() { m_slot = -1; }
    // Writes the current values into the current row, or into the lowest free slot after
    // SetNew; gives the row's id ("%d" of its slot).
    bool Update(std::string& id);
    // Frees the slot; the record bytes and any blob of the slot stay in the file.
    bool Delete(int slot);
    // Closes "Records", commits the table storage and the root storage.
    bool Close();

    int CurrentSlot() const { return m_slot; }
    const std::string& TableName() const { return m_tableName; }
    const std::vector<CFieldDef>& Fields() const { return m_fields; }
    int RecordLength() const { return m_recordLength; }
    bool IsSlotUsed(int slot) const;
    int LowestFreeSlot() const { return m_lowestFree; }

    // The text of the field of that exact name (empty when there is none), and its setter
    // (ignored when there is none).
    std::string_view GetField(std::string_view name);
    void SetField(std::string_view name, std::string_view value);
    // Writing: stores `text` as the blob of the current slot (the lowest free slot for a
    // new row). Reading: loads it; a missing blob leaves `text` unchanged.
    bool ExchangeBlob(std::string_view blobName, std::string& text, bool writing);

    void AddField(std::string_view name, int type, int size, int& offset);
    // True when the field exists; otherwise adds it and returns false.
    bool EnsureField(std::string_view name, int type, int size, int& offset);

protected:
    bool CreateWith(const std::vector<FieldSpec>& fields);
    bool UpgradeTo(const std::vector<FieldSpec>& fields);
    // The widening step: moves every record to the new, longer record length.
    bool WidenRecords(int oldLength);
    // Walks skip rows this rejects (the message table's date range).
    virtual bool AcceptRow() { return true; }

private:
    bool OpenTableStorage();
    bool ReadTableInfo();
    bool ReadFieldList();
    bool WriteTableInfo();
    bool WriteFieldList();
    bool OpenRecords();
    bool ReadSlot(int slot);
    bool ReadAcceptedFrom(int slot);
    // The value of `def` as the record buffer holds it (valid until the buffer changes).
    std::string_view StoredValue(const CFieldDef& def) const;
    void Unpack();
    void Pack();
    void SetBit(int slot, bool used);
    int NextUsedAfter(int slot) const;
    int LowestUsed() const { return NextUsedAfter(-1); }
    int ComputeLowestFree() const;
    CFieldDef* FindField(std::string_view name);

    CStorageNode& m_root;
    std::string m_tableName;
    std::unique_ptr<CStorageNode> m_table;
    std::unique_ptr<CCipherStream> m_records;
    bool m_eof = true;
    std::vector<CFieldDef> m_fields;
    size_t m_fieldCursor = 0;  // exchanges name fields in definition order: try there first
    int m_recordLength = 0;
    std::array<unsigned char, kMaxRecordLength> m_record{};
    // Whether the field values are in the definitions, or still only in m_record.
    bool m_valuesUnpacked = true;
    std::array<unsigned char, kMaxRecordLength> m_move{};
    int m_slot = -1;
    int m_nextUsed = -1;
    int m_lowestFree = 0;
    std::string m_bitmap;
};

}  // namespace ph
