// Stores written before messages had a fixed-record table keep each message, and each folder
// filing, as a record storage of its own inside "Emails" and "FolderContents". They are moved
// into the fixed-record tables, whose streams live in the same two storages: the old rows are
// storages and the new table's parts are streams, so each walk sees only its own kind.
//
// The move is one commit. A crash leaves the old layout or the new one, and a failure is
// rolled back, so no message is ever in both layouts or in neither.
#include <string>
#include <unordered_map>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "doc/CPostharbourDoc.h"
#include "store/Tables.h"

namespace ph {
namespace {

using SlotMap = std::unordered_map<int, int>;

bool HoldsOldRows(CStorageNode& root, const char* table) {
    auto storage = root.OpenChild(table);
    std::string name;
    return storage && storage->FindFirst("*", ElementKind::Storage, name);
}

// Sets the fixed-record table up beside the old rows, unless a previous version already did.
template <class Table>
bool EnsureFixedTable(CStorageNode& root, const char* name) {
    auto storage = root.OpenChild(name);
    if (!storage) return false;
    if (storage->OpenStream("Records")) return true;
    storage.reset();
    Table table(root);
    const bool ok = table.CreateTable();
    return table.Close() && ok;
}

// Each old message becomes a fixed record with its texts; `slots` learns where it went.
bool ConvertMessages(CStorageNode& root, SlotMap& slots, std::string& error) {
    if (!EnsureFixedTable<CEmailsTable>(root, "Emails")) {
        error = "cannot create the message table";
        return false;
    }
    COldEmailsTable old(root);
    CEmailsTable emails(root);
    emails.m_includeTexts = true;
    bool ok = true;
    for (bool found = old.Open(); found && ok; found = old.MoveNext()) {
        emails.SetNew();
        emails.m_rec = old.m_rec;
        std::string id;
        ok = emails.Update(id);
        if (!ok) {
            error = Format("cannot write message %s", old.RecordName().c_str());
            break;
        }
        slots[old.RecordId()] = LeadingInt(id);
        ok = old.Delete(old.RecordName());
        if (!ok) error = Format("cannot remove message %s", old.RecordName().c_str());
    }
    old.Close();
    return emails.Close() && ok;
}

// Filings follow their messages to the new slots (`slots` null: the messages were in the
// fixed table already and the ids stand). A filing of a message that was not there is
// dropped; it could only have pointed at whichever message takes that slot.
bool ConvertFilings(CStorageNode& root, const SlotMap* slots, std::string& error) {
    if (!EnsureFixedTable<CFolderContentsTable>(root, "FolderContents")) {
        error = "cannot create the folder contents table";
        return false;
    }
    COldFolderContentsTable old(root);
    CFolderContentsTable contents(root);
    bool ok = true;
    int dropped = 0;
    for (bool found = old.Open(); found && ok; found = old.MoveNext()) {
        FolderContentsRecord rec = old.m_rec;
        bool keep = true;
        if (slots && rec.IsInboxMsg) {
            auto it = rec.MsgID.empty() ? slots->end() : slots->find(LeadingInt(rec.MsgID));
            keep = it != slots->end();
            if (keep) rec.MsgID = Format("%d", it->second);
        }
        if (keep) {
            contents.SetNew();
            contents.m_rec = rec;
            std::string id;
            ok = contents.Update(id);
            if (!ok) {
                error = Format("cannot write filing %s", old.RecordName().c_str());
                break;
            }
        } else {
            ++dropped;
        }
        ok = old.Delete(old.RecordName());
        if (!ok) error = Format("cannot remove filing %s", old.RecordName().c_str());
    }
    old.Close();
    if (dropped > 0) Trace("old layout: %d filings of unknown messages dropped", dropped);
    return contents.Close() && ok;
}

}  // namespace

bool CPostharbourDoc::HasOldLayout() {
    return IsOpen() && (HoldsOldRows(m_root, "Emails") || HoldsOldRows(m_root, "FolderContents"));
}

bool CPostharbourDoc::ConvertOldLayout() {
    if (!IsOpen()) return false;
    std::string error;
    bool ok = true;
    {
        CCommitGroup group(m_root);
        SlotMap slots;
        const bool oldMessages = HoldsOldRows(m_root, "Emails");
        if (oldMessages) ok = ConvertMessages(m_root, slots, error);
        if (ok && HoldsOldRows(m_root, "FolderContents"))
            ok = ConvertFilings(m_root, oldMessages ? &slots : nullptr, error);
        // A walk that stopped early (an unreadable row) leaves rows behind: all or nothing.
        if (ok && HasOldLayout()) {
            ok = false;
            error = "some old rows cannot be read";
        }
        if (!ok) m_root.Rollback();
        if (!group.Finish() && ok) {
            ok = false;
            error = m_root.Error();
            m_root.Rollback();
        }
    }
    if (!ok)
        m_ui.MessageBox(Format("The messages of this store are in the layout of an earlier version and could not be "
                               "converted (%s). The store is left as it was.",
                               error.c_str()),
                        "ERROR", IUserInterface::Buttons::Ok);
    return ok;
}

}  // namespace ph
