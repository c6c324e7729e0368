#pragma once
// The table jobs the document's write-through operations are made of: one record added,
// rewritten or deleted, each committing; and the two ways an item leaves the model's lists.
#include <algorithm>
#include <memory>
#include <vector>

#include "store/CRecordStorageTable.h"
#include "store/CStorageNode.h"

namespace ph::recordjobs {

// A new record of a record-storage table; its id, or 0 when it could not be written.
template <class Table, class Fill>
int AddRecord(CStorageNode& root, Fill fill) {
    Table table(root);
    table.ClearName();
    fill(table.m_rec);
    const bool ok = table.Update();
    const int id = table.RecordId();
    return table.Close() && ok ? id : 0;
}

// Rewrites an existing record (read first, so elements this version does not know stay).
template <class Table, class Fill>
bool UpdateRecord(CStorageNode& root, int id, Fill fill) {
    Table table(root);
    if (!table.Open(CRecordStorageTable::NameOfId(id))) {
        table.Close();
        return false;
    }
    fill(table.m_rec);
    const bool ok = table.Update(table.RecordName());
    return table.Close() && ok;
}

template <class Table>
bool DeleteRecord(CStorageNode& root, int id) {
    Table table(root);
    const bool ok = table.Delete(CRecordStorageTable::NameOfId(id));
    return table.Close() && ok;
}

template <class T>
void EraseOwned(std::vector<std::unique_ptr<T>>& list, const T* item) {
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == item; }),
               list.end());
}

template <class T>
void ErasePointer(std::vector<T*>& list, const T* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace ph::recordjobs
