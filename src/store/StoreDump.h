#pragma once
// A readable picture of a whole store: every table, every record id and decoded field, the
// cached texts of messages and the streams kept beside record fields. For inspection tools.
#include <string>
#include <utility>
#include <vector>

#include "store/CStorageNode.h"

namespace ph {

struct RecordDump {
    std::string id;
    std::vector<std::pair<std::string, std::string>> fields;   // in exchange order
    std::vector<std::pair<std::string, std::string>> streams;  // texts beside the fields
};

struct TableDump {
    std::string name;
    std::string layout;  // "record-storage", "fixed-record", "old record-storage", "missing"
    std::vector<RecordDump> records;
};

// Fields whose values are secrets show as "<hidden>" (or empty when they are empty).
std::vector<TableDump> DumpStore(CStorageNode& root);

// Creates a new store file at `path` with the twelve tables. Fails (with a reason) when the
// file cannot be created.
bool CreateNewStore(CStorageNode& root, const std::string& path, std::string* error);

}  // namespace ph
