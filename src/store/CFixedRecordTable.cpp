#include "store/CFixedRecordTable.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"
#include "store/StoreKey.h"

namespace ph {
namespace {

constexpr const char* kTableInfo = "TableInfo";
constexpr const char* kFieldList = "FieldList";
constexpr const char* kRecords = "Records";
constexpr size_t kLongestStoredDate = 30;

int RoundUp16(int n) { return (n + 15) / 16 * 16; }

// Reads and writes the values of a fixed-record table through its field definitions.
class CFixedFieldExchange final : public CTextFieldExchange {
public:
    CFixedFieldExchange(CFixedRecordTable& table, bool writing)
        : CTextFieldExchange(writing), m_table(table) {}

    void Date(const char* name, DateTime& value) override {
        if (!IsWriting()) return CTextFieldExchange::Date(name, value);
        std::string text = EncodeDate(value);
        if (text.size() > kLongestStoredDate) text = value.Format("%B %d, %Y");
        m_table.SetField(name, text);
    }

private:
    std::string_view Get(const char* name) override { return m_table.GetField(name); }
    void Put(const char* name, std::string_view text) override { m_table.SetField(name, text); }
    CFixedRecordTable& m_table;
};

}  // namespace

CFixedRecordTable::CFixedRecordTable(CStorageNode& root, std::string tableName)
    : m_root(root), m_tableName(std::move(tableName)) {}

CFixedRecordTable::~CFixedRecordTable() = default;

// ---------------------------------------------------------------------------------------
// Fields

void CFixedRecordTable::AddField(std::string_view name, int type, int size, int& offset) {
    CFieldDef def;
    def.name = name;
    def.type = type;
    def.size = size;
    def.offset = offset;
    m_fields.push_back(std::move(def));
    offset += size;
}

bool CFixedRecordTable::EnsureField(std::string_view name, int type, int size, int& offset) {
    if (FindField(name)) return true;
    AddField(name, type, size, offset);
    return false;
}

CFieldDef* CFixedRecordTable::FindField(std::string_view name) {
    if (m_fieldCursor < m_fields.size() && m_fields[m_fieldCursor].name == name)
        return &m_fields[m_fieldCursor++];
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (m_fields[i].name == name) {
            m_fieldCursor = i + 1;
            return &m_fields[i];
        }
    }
    return nullptr;
}

std::string_view CFixedRecordTable::GetField(std::string_view name) {
    const CFieldDef* def = FindField(name);
    if (!def) return {};
    return m_valuesUnpacked ? std::string_view(def->value) : StoredValue(*def);
}

void CFixedRecordTable::SetField(std::string_view name, std::string_view value) {
    if (!m_valuesUnpacked) Unpack();
    if (CFieldDef* def = FindField(name)) def->value.assign(value);
}

std::string_view CFixedRecordTable::StoredValue(const CFieldDef& def) const {
    const auto* begin = reinterpret_cast<const char*>(m_record.data()) + def.offset;
    return {begin, strnlen(begin, static_cast<size_t>(def.size))};
}

void CFixedRecordTable::Unpack() {
    for (CFieldDef& def : m_fields) def.value.assign(StoredValue(def));
    m_valuesUnpacked = true;
}

void CFixedRecordTable::Pack() {
    std::memset(m_record.data(), 0, static_cast<size_t>(m_recordLength));
    for (const CFieldDef& def : m_fields) {
        // A text as long as its field has no terminating zero; a longer one is cut.
        const size_t n = std::min(def.value.size(), static_cast<size_t>(def.size));
        std::memcpy(m_record.data() + def.offset, def.value.data(), n);
    }
}

// ---------------------------------------------------------------------------------------
// Slot bitmap

bool CFixedRecordTable::IsSlotUsed(int slot) const {
    if (slot < 0 || static_cast<size_t>(slot / 8) >= m_bitmap.size()) return false;
    return (static_cast<unsigned char>(m_bitmap[slot / 8]) >> (7 - slot % 8)) & 1;
}

void CFixedRecordTable::SetBit(int slot, bool used) {
    while (static_cast<size_t>(slot / 8) >= m_bitmap.size()) m_bitmap.append(kBitmapStep, '\0');
    const auto mask = static_cast<unsigned char>(0x80 >> (slot % 8));
    auto& byte = reinterpret_cast<unsigned char&>(m_bitmap[slot / 8]);
    byte = used ? (byte | mask) : (byte & ~mask);
}

int CFixedRecordTable::NextUsedAfter(int slot) const {
    int s = slot + 1;
    const int limit = static_cast<int>(m_bitmap.size() * 8);
    while (s < limit) {
        if (s % 8 == 0) {
            // Whole empty bytes are skipped at once.
            size_t byte = static_cast<size_t>(s / 8);
            while (byte < m_bitmap.size() && m_bitmap[byte] == 0) ++byte;
            s = static_cast<int>(byte * 8);
            if (s >= limit) break;
        }
        if (IsSlotUsed(s)) return s;
        ++s;
    }
    return -1;
}

int CFixedRecordTable::ComputeLowestFree() const {
    for (size_t byte = 0; byte < m_bitmap.size(); ++byte) {
        const auto b = static_cast<unsigned char>(m_bitmap[byte]);
        if (b == 0xFF) continue;
        for (int bit = 0; bit < 8; ++bit)
            if (!((b >> (7 - bit)) & 1)) return static_cast<int>(byte * 8) + bit;
    }
    return static_cast<int>(m_bitmap.size() * 8);
}

// ---------------------------------------------------------------------------------------
// Table streams

bool CFixedRecordTable::OpenTableStorage() {
    if (!m_table) m_table = m_root.OpenChild(m_tableName);
    return m_table != nullptr;
}

bool CFixedRecordTable::ReadTableInfo() {
    auto stream = m_table->OpenStream(kTableInfo);
    if (!stream) {
        m_bitmap.assign(kBitmapStep, '\0');
        return false;
    }
    m_bitmap = stream->ReadAll();
    if (m_bitmap.empty()) m_bitmap.assign(kBitmapStep, '\0');
    m_slot = LowestUsed();
    m_nextUsed = NextUsedAfter(m_slot);
    m_lowestFree = ComputeLowestFree();
    return true;
}

bool CFixedRecordTable::WriteTableInfo() {
    auto stream = m_table->CreateStream(kTableInfo);
    return stream && stream->Write(m_bitmap) && stream->Close();
}

bool CFixedRecordTable::ReadFieldList() {
    m_fields.clear();
    m_valuesUnpacked = true;
    m_recordLength = 0;
    auto stream = m_table->OpenStream(kFieldList);
    if (!stream) return false;
    stream->EnableCipher(kStoreKey);
    int offset = 0;
    std::string name, type, size;
    while (stream->ReadLine(name) && stream->ReadLine(type) && stream->ReadLine(size)) {
        const int fieldSize = LeadingInt(size);
        // A damaged list must not produce records longer than the buffer.
        if (fieldSize < 0 || offset + fieldSize > kMaxRecordLength) return false;
        AddField(name, LeadingInt(type), fieldSize, offset);
    }
    m_recordLength = RoundUp16(offset);
    return m_recordLength > 0;
}

bool CFixedRecordTable::WriteFieldList() {
    std::string text;
    for (const CFieldDef& def : m_fields) text += Format("%s\r\n%d\r\n%d\r\n", def.name.c_str(), def.type, def.size);
    auto stream = m_table->CreateStream(kFieldList);
    if (!stream) return false;
    stream->EnableCipher(kStoreKey);
    return stream->Write(text) && stream->Close();
}

bool CFixedRecordTable::OpenRecords() {
    if (!m_records) {
        m_records = m_table->OpenStream(kRecords);
        if (!m_records) return false;
        m_records->SetPadding(false);
        m_records->EnableCipher(kStoreKey);
    }
    return true;
}

bool CFixedRecordTable::CreateWith(const std::vector<FieldSpec>& fields) {
    if (!OpenTableStorage()) return false;
    m_fields.clear();
    m_valuesUnpacked = true;
    int offset = 0;
    for (const FieldSpec& f : fields) AddField(f.name, f.type, f.size, offset);
    m_recordLength = RoundUp16(offset);
    m_bitmap.assign(kBitmapStep, '\0');
    auto records = m_table->CreateStream(kRecords);
    return WriteTableInfo() && WriteFieldList() && records != nullptr;
}

// ---------------------------------------------------------------------------------------
// Rows

bool CFixedRecordTable::ReadSlot(int slot) {
    m_eof = true;
    if (slot < 0 || !m_records) return false;
    m_records->Seek(static_cast<int64_t>(slot) * m_recordLength, SeekOrigin::Begin);
    if (m_records->ReadBlocks(m_record.data(), static_cast<size_t>(m_recordLength)) !=
        static_cast<size_t>(m_recordLength))
        return false;
    m_slot = slot;
    m_nextUsed = NextUsedAfter(slot);
    // A walk reads each value once, straight from the record; the copies in the field
    // definitions are made only when a row is about to be written.
    m_valuesUnpacked = false;
    m_eof = false;
    return true;
}

// Reads the first accepted used row from `slot` on and exchanges it.
bool CFixedRecordTable::ReadAcceptedFrom(int slot) {
    for (int s = slot; s >= 0; s = m_nextUsed) {
        if (!ReadSlot(s)) return false;
        if (AcceptRow()) {
            CFixedFieldExchange reader(*this, false);
            DoFieldExchange(reader);
            return true;
        }
    }
    m_eof = true;
    return false;
}

bool CFixedRecordTable::Open(int slot) {
    m_eof = true;
    m_records.reset();
    if (!OpenTableStorage() || !ReadTableInfo() || !ReadFieldList() || !OpenRecords())
        return false;
    if (slot < 0) return ReadAcceptedFrom(LowestUsed());
    // An unused slot holds a deleted row's leftovers: it is not a row.
    if (!IsSlotUsed(slot) || !ReadSlot(slot)) return false;
    CFixedFieldExchange reader(*this, false);
    DoFieldExchange(reader);
    return true;
}

bool CFixedRecordTable::MoveNext() {
    if (m_eof || m_nextUsed < 0) {
        m_eof = true;
        return false;
    }
    return ReadAcceptedFrom(m_nextUsed);
}

bool CFixedRecordTable::Update(std::string& id) {
    if (!m_records) {
        // Adding to a table that was not opened for reading first.
        const int keep = m_slot;
        if (!OpenTableStorage() || !ReadTableInfo() || !ReadFieldList() || !OpenRecords())
            return false;
        m_slot = keep;
    }
    if (!m_valuesUnpacked) Unpack();  // fields the exchange leaves alone keep their values
    CFixedFieldExchange writer(*this, true);
    DoFieldExchange(writer);
    Pack();
    const bool isNew = m_slot < 0;
    const int slot = isNew ? m_lowestFree : m_slot;
    m_records->Seek(static_cast<int64_t>(slot) * m_recordLength, SeekOrigin::Begin);
    if (!m_records->WriteBlocks(m_record.data(), static_cast<size_t>(m_recordLength))) return false;
    if (isNew) {
        SetBit(slot, true);
        if (!WriteTableInfo()) return false;
        m_lowestFree = ComputeLowestFree();
    }
    m_slot = slot;
    id = Format("%d", slot);
    return true;
}

bool CFixedRecordTable::Delete(int slot) {
    if (m_records) {
        if (!IsSlotUsed(slot) || !ReadSlot(slot)) return false;
    } else if (!Open(slot)) {
        return false;
    }
    SetBit(slot, false);
    if (!WriteTableInfo()) return false;
    m_lowestFree = ComputeLowestFree();
    return true;
}

bool CFixedRecordTable::ExchangeBlob(std::string_view blobName, std::string& text, bool writing) {
    if (!m_table) return false;
    const int slot = m_slot >= 0 ? m_slot : m_lowestFree;
    std::string name = "Blob_";
    name.append(blobName).append("_").append(std::to_string(slot));
    if (writing) {
        auto stream = m_table->CreateStream(name);
        if (!stream) return false;
        stream->EnableCipher(kStoreKey);
        return stream->Write(text) && stream->Close();
    }
    auto stream = m_table->OpenStream(name);
    if (!stream) return true;
    stream->EnableCipher(kStoreKey);
    stream->ReadAll(text);
    return !stream->IsDamaged();
}

bool CFixedRecordTable::Close() {
    bool ok = true;
    if (m_records) {
        ok = m_records->Close();
        m_records.reset();
    }
    if (m_table) {
        ok = m_table->Commit() && ok;
        m_table.reset();
    }
    m_eof = true;
    return m_root.Commit() && ok;
}

// ---------------------------------------------------------------------------------------
// Upgrading

bool CFixedRecordTable::UpgradeTo(const std::vector<FieldSpec>& fields) {
    if (!OpenTableStorage()) return false;
    // Nothing stored yet (or the old layout): nothing to widen.
    if (!m_table->OpenStream(kRecords)) return true;
    if (!ReadFieldList()) return false;
    const int oldLength = m_recordLength;
    int offset = m_fields.empty() ? 0 : m_fields.back().offset + m_fields.back().size;
    bool complete = true;
    for (const FieldSpec& f : fields) complete = EnsureField(f.name, f.type, f.size, offset) && complete;
    if (complete) return true;
    // The new fields must be on record with the new length, or the next open would read
    // the widened records with the old one.
    if (OpenRecords() && WidenRecords(oldLength) && WriteFieldList()) return true;
    // A half-widened table must never be committed: back to the file as it was.
    m_records.reset();
    m_table.reset();
    m_root.Rollback();
    return false;
}

bool CFixedRecordTable::WidenRecords(int oldLength) {
    if (m_fields.empty() || oldLength < 1 || oldLength > kMaxRecordLength) return true;
    const int end = m_fields.back().offset + m_fields.back().size;
    if (end <= oldLength) return true;
    const int newLength = RoundUp16(end);
    if (end > kMaxRecordLength || newLength > kMaxRecordLength) return false;
    m_recordLength = newLength;
    const uint64_t count = m_records->GetLength() / static_cast<uint64_t>(oldLength);
    if (count == 0) return true;
    // Every byte of the grown stream is rewritten by the moves below, so growing it is all
    // the extension needs.
    if (!m_records->SetLength(count * static_cast<uint64_t>(newLength))) return false;
    // Back to front, so no record is overwritten before it has moved. Record 0 stays in
    // place but is rewritten too: its new tail would otherwise hold the start of record 1.
    for (uint64_t i = count; i-- > 0;) {
        std::memset(m_move.data(), 0, sizeof m_move);
        m_records->Seek(static_cast<int64_t>(i * oldLength), SeekOrigin::Begin);
        if (m_records->ReadBlocks(m_move.data(), static_cast<size_t>(oldLength)) !=
            static_cast<size_t>(oldLength))
            return false;
        m_records->Seek(static_cast<int64_t>(i * newLength), SeekOrigin::Begin);
        if (!m_records->WriteBlocks(m_move.data(), static_cast<size_t>(newLength))) return false;
    }
    return true;
}

}  // namespace ph
