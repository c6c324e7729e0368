#pragma once
// Flattens a compound file into path -> content, for comparing whole files in tests.
#include <map>
#include <string>

#include "store/cfb/CompoundFile.h"

namespace ph::test {

// Streams map to their bytes, storages to "<storage>". Damaged streams map to "<damaged>".
inline std::map<std::string, std::string> Snapshot(cfb::CompoundFile& file) {
    std::map<std::string, std::string> out;
    std::vector<std::pair<cfb::EntryId, std::string>> storages = {{cfb::CompoundFile::kRoot, ""}};
    for (size_t i = 0; i < storages.size(); ++i) {
        const auto [storage, prefix] = storages[i];
        for (cfb::EntryId id : file.Dir().Children(storage)) {
            const cfb::DirEntry& e = file.Dir()[id];
            const std::string path = prefix + "/" + cfb::NarrowName(e.name);
            if (e.IsStorage()) {
                out[path] = "<storage>";
                storages.push_back({id, path});
                continue;
            }
            std::string data(e.size, '\0');
            const int64_t got = file.ReadStream(id, 0, data.data(), data.size());
            out[path] = got == static_cast<int64_t>(data.size()) ? data : "<damaged>";
        }
    }
    return out;
}

}  // namespace ph::test
