#include "store/CRecordStorageTable.h"

#include <algorithm>

#include "common/Bytes.h"
#include "common/Format.h"
#include "store/StoreKey.h"

namespace ph {
namespace {

class CElementReader final : public CTextFieldExchange {
public:
    explicit CElementReader(CTagNode& tree) : CTextFieldExchange(false), m_tree(tree) {}

private:
    std::string_view Get(const char* name) override {
        const CTagNode* node = m_tree.Find(name);
        if (!node) return {};
        m_value = UnescapeElementValue(node->Text());
        return m_value;
    }
    void Put(const char*, std::string_view) override {}
    CTagNode& m_tree;
    std::string m_value;
};

class CElementWriter final : public CTextFieldExchange {
public:
    explicit CElementWriter(CTagNode& tree) : CTextFieldExchange(true), m_tree(tree) {}

private:
    std::string_view Get(const char*) override { return {}; }
    void Put(const char* name, std::string_view text) override {
        m_tree.SetChildText(name, EscapeElementValue(text));
    }
    CTagNode& m_tree;
};

constexpr const char* kXmlStream = "Xml";

}  // namespace

CRecordStorageTable::CRecordStorageTable(CStorageNode& root, std::string tableName, TextForm form)
    : m_root(root), m_tableName(std::move(tableName)), m_form(form) {}

CRecordStorageTable::~CRecordStorageTable() = default;

int CRecordStorageTable::IdOfName(std::string_view name) {
    const size_t underscore = name.find('_');
    return LeadingInt(underscore == std::string_view::npos ? name : name.substr(underscore + 1));
}

std::string CRecordStorageTable::NameOfId(int id) { return Format("%6.6d", id); }

bool CRecordStorageTable::OpenTable() {
    if (!m_table) m_table = m_root.OpenChild(m_tableName);
    return m_table != nullptr;
}

bool CRecordStorageTable::FindMatching(bool first, std::string& name) {
    bool found = first ? m_table->FindFirst(m_pattern, ElementKind::Storage, name)
                       : m_table->FindNext(name);
    while (found && !AcceptName(name)) found = m_table->FindNext(name);
    return found;
}

bool CRecordStorageTable::Open(std::string_view pattern) {
    m_eof = true;
    m_pattern = pattern;
    std::string name;
    if (!OpenTable() || !FindMatching(true, name)) return false;
    return ReadRecord(name);
}

bool CRecordStorageTable::MoveNext() {
    m_eof = true;
    std::string name;
    if (!m_table || !FindMatching(false, name)) return false;
    return ReadRecord(name);
}

bool CRecordStorageTable::ReadRecord(const std::string& name) {
    m_record = m_table->OpenChild(name);
    if (!m_record) return false;
    m_recordName = name;
    std::string text;
    // A record without its "Xml" stream reads as all-empty.
    if (auto xml = m_record->OpenStream(kXmlStream)) {
        xml->EnableCipher(kStoreKey);
        text = xml->ReadAll();
    }
    if (m_form == TextForm::DollarTag) {
        CDollarTagReader reader(text);
        DoFieldExchange(reader);
    } else {
        m_tree.Parse(text);
        m_treeRecord = name;
        CElementReader reader(m_tree);
        DoFieldExchange(reader);
    }
    ExchangeStreams(*m_record, false);
    m_eof = false;
    return true;
}

void CRecordStorageTable::ClearName() { m_recordName.clear(); }

std::string CRecordStorageTable::NewRecordName() {
    int maxId = 0;
    std::string name;
    for (bool found = m_table->FindFirst("*", ElementKind::Storage, name); found;
         found = m_table->FindNext(name))
        maxId = std::max(maxId, IdOfName(name));
    return m_prefix.empty() ? Format("%06d", maxId + 1)
                            : Format("%s_%06d", m_prefix.c_str(), maxId + 1);
}

bool CRecordStorageTable::Update(std::string_view name) {
    if (!OpenTable()) return false;
    std::string target(name);
    if (target.empty()) {
        target = NewRecordName();
        if (!m_table->CreateChild(target)) return false;
    }
    m_record = m_table->OpenChild(target);
    if (!m_record) return false;
    m_recordName = target;

    std::string text;
    if (m_form == TextForm::DollarTag) {
        CDollarTagWriter writer;
        DoFieldExchange(writer);
        text = writer.Result();
    } else {
        if (m_treeRecord != target) m_tree.Clear();
        CElementWriter writer(m_tree);
        DoFieldExchange(writer);
        // The root's own text is only the line ends between elements; dropping it keeps the
        // record from growing on every rewrite.
        m_tree.SetText({});
        text = m_tree.Serialize();
        m_treeRecord = target;
    }
    auto xml = m_record->CreateStream(kXmlStream);
    if (!xml) return false;
    xml->EnableCipher(kStoreKey);
    if (!xml->Write(text) || !xml->Close()) return false;
    return ExchangeStreams(*m_record, true);
}

bool CRecordStorageTable::Delete(std::string_view name) {
    if (name.empty()) return true;
    if (!OpenTable()) return false;
    if (m_recordName == name) m_record.reset();
    return m_table->Destroy(name);
}

bool CRecordStorageTable::Close() {
    m_record.reset();
    bool ok = true;
    if (m_table) {
        ok = m_table->Commit();
        m_table.reset();
    }
    return m_root.Commit() && ok;
}

}  // namespace ph
