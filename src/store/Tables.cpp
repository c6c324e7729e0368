#include "store/Tables.h"

#include "store/StoreKey.h"

namespace ph {

bool COutgoingTable::ExchangeStreams(CStorageNode& record, bool writing) {
    std::pair<const char*, std::string*> streams[] = {{"MsgText", &m_rec.MsgText},
                                                      {"Attachments", &m_rec.Attachments}};
    for (auto& [name, text] : streams) {
        if (writing) {
            auto stream = record.CreateStream(name);
            if (!stream) return false;
            stream->EnableCipher(kStoreKey);
            if (!stream->Write(*text) || !stream->Close()) return false;
        } else if (auto stream = record.OpenStream(name)) {
            stream->EnableCipher(kStoreKey);
            *text = stream->ReadAll();
        } else {
            text->clear();
        }
    }
    return true;
}

const std::vector<FieldSpec>& CEmailsTable::Definition() {
    static const std::vector<FieldSpec> fields = {
        {"SentDate2", kFieldText, 8},        {"MsgUniqueID", kFieldText, 250},
        {"AcctID", kFieldInteger, 12},       {"Subject", kFieldText, 250},
        {"From", kFieldText, 250},           {"Sender", kFieldText, 250},
        {"ToName", kFieldText, 250},         {"Folder", kFieldText, 250},
        {"SentDate", kFieldDate, 30},        {"IsReadLocally", kFieldBoolean, 1},
        {"IsRead", kFieldBoolean, 1},        {"IsOnServer", kFieldBoolean, 1},
        {"IsHidden", kFieldBoolean, 1},      {"IsNotInRoot", kFieldBoolean, 1},
        {"MsgSize", kFieldInteger, 12},      {"HasAttachment", kFieldBoolean, 1},
        {"AttachmentType", kFieldText, 250}, {"ReplyTo", kFieldText, 250},
        {"BodySize", kFieldInteger, 12},     {"HeaderSize", kFieldInteger, 12},
        {"HtmlTextSize", kFieldInteger, 12}, {"PlainTextSize", kFieldInteger, 12},
    };
    return fields;
}

bool CEmailsTable::CreateTable() { return CreateWith(Definition()); }

bool CEmailsTable::UpgradeFields() { return UpgradeTo(Definition()); }

void CEmailsTable::SetDateRange(const DateTime& from, const DateTime& to) {
    const bool unfiltered = from == DateTime::FromParts(1985, 1, 1) && to == DateTime::FromParts(2020, 1, 1);
    m_skipBefore = unfiltered ? std::string() : from.Format("%Y%m%d");
}

bool CEmailsTable::AcceptRow() {
    return m_skipBefore.empty() || GetField("SentDate2") >= std::string_view(m_skipBefore);
}

void CEmailsTable::DoFieldExchange(CFieldExchange& fx) {
    if (fx.IsWriting()) {
        m_rec.SentDate2 = m_rec.SentDate.Format("%Y%m%d");
        if (m_includeTexts) {
            m_rec.PlainTextSize = static_cast<int32_t>(m_rec.PlainText.size());
            m_rec.HtmlTextSize = static_cast<int32_t>(m_rec.HtmlText.size());
            m_rec.HeaderSize = static_cast<int32_t>(m_rec.Header.size());
            m_rec.BodySize = static_cast<int32_t>(m_rec.Body.size());
        }
    }
    m_rec.ExchangeFields(fx);
    if (!m_includeTexts) return;
    if (fx.IsWriting()) {
        if (!m_rec.HasCachedTexts()) return;
        CDollarTagWriter writer;
        m_rec.ExchangeTexts(writer);
        std::string blob = writer.Result();
        ExchangeBlob("Xml", blob, true);
        return;
    }
    m_rec.PlainText.clear();
    m_rec.HtmlText.clear();
    m_rec.Header.clear();
    m_rec.Body.clear();
    if (!m_rec.HasCachedTexts()) return;
    m_blob.clear();
    ExchangeBlob("Xml", m_blob, false);
    CDollarTagReader reader(m_blob);
    m_rec.ExchangeTexts(reader);
}

const std::vector<FieldSpec>& CFolderContentsTable::Definition() {
    static const std::vector<FieldSpec> fields = {
        {"MsgID", kFieldText, 12},
        {"FolderID", kFieldInteger, 12},
        {"IsInboxMsg", kFieldBoolean, 1},
        {"Flags", kFieldInteger, 12},
    };
    return fields;
}

bool COldEmailsTable::AcceptName(std::string_view name) const {
    return m_skipBefore.empty() || name.substr(0, 8) >= std::string_view(m_skipBefore);
}

TableLayout LayoutOf(CStorageNode& root, const char* tableName) {
    auto table = root.OpenChild(tableName);
    if (!table) return TableLayout::Missing;
    return table->OpenStream("FieldList") ? TableLayout::FixedRecord : TableLayout::RecordStorage;
}

bool CreateStoreTables(CStorageNode& root) {
    // One durable commit: a new store has all its tables or none.
    CCommitGroup group(root);
    for (const char* name : kStoreTables) {
        if (!root.CreateChild(name)) return false;
    }
    CEmailsTable emails(root);
    CFolderContentsTable contents(root);
    const bool ok = emails.CreateTable() && emails.Close() && contents.CreateTable() && contents.Close();
    return group.Finish() && ok;
}

}  // namespace ph
