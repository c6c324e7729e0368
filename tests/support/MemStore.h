#pragma once
// A store file held in memory, for table tests.
#include <memory>

#include "store/CStorageNode.h"
#include "store/Tables.h"
#include "support/MemFile.h"

namespace ph::test {

struct MemStore {
    std::shared_ptr<MemDisk> disk = std::make_shared<MemDisk>();
    CStorageNode root;

    // A new, empty compound file; with `tables`, holding the twelve tables of a new store.
    explicit MemStore(bool tables = true) {
        std::string error;
        auto file = cfb::CompoundFile::Create(std::make_unique<MemFile>(disk), &error);
        root = CStorageNode(file, cfb::CompoundFile::kRoot);
        if (tables) CreateStoreTables(root);
    }
    // Closes the file and opens it again from what was committed.
    void Reopen() {
        root.Release();
        std::string error;
        auto file = cfb::CompoundFile::Open(std::make_unique<MemFile>(disk), &error);
        root = CStorageNode(file, cfb::CompoundFile::kRoot);
    }
};

}  // namespace ph::test
