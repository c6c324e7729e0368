#pragma once
// An in-memory file for crash tests, in the manner of SQLite's and LevelDB's fault files:
// it can fail the Nth write, and it can "crash", after which the file holds what was
// synced plus any subset of the writes made since (chosen by a seeded generator).
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/cfb/FileIo.h"

namespace ph::test {

struct MemDisk {
    std::string durable;  // as of the last sync
    std::string current;  // what reads see
    struct Write {
        uint64_t offset;
        std::string data;
    };
    std::vector<Write> unsynced;
    int writes = 0;
    int syncs = 0;
    uint64_t bytesWritten = 0;
    int crashAtWrite = -1;  // the Nth write (0-based) and everything after it never happens
    int crashAtSync = -1;   // likewise for the Nth sync
    bool crashed = false;

    explicit MemDisk(std::string image = {}) : durable(image), current(std::move(image)) {}

    // The bytes a machine would find after the crash: the synced file plus a random subset
    // of the later writes, applied in order.
    std::string CrashImage(uint32_t seed) const {
        std::string image = durable;
        std::mt19937 rng(seed);
        for (const Write& w : unsynced) {
            if (rng() % 2) continue;
            if (image.size() < w.offset + w.data.size()) image.resize(w.offset + w.data.size());
            std::memcpy(&image[w.offset], w.data.data(), w.data.size());
        }
        return image;
    }
};

class MemFile final : public cfb::IFile {
public:
    explicit MemFile(std::shared_ptr<MemDisk> disk) : m_disk(std::move(disk)) {}

    int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
        const std::string& c = m_disk->current;
        if (offset >= c.size()) return 0;
        const size_t n = std::min<size_t>(size, c.size() - offset);
        std::memcpy(buffer, c.data() + offset, n);
        return static_cast<int64_t>(n);
    }
    bool WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (m_disk->crashed) return false;
        if (m_disk->writes++ == m_disk->crashAtWrite) {
            m_disk->crashed = true;
            return false;
        }
        m_disk->bytesWritten += size;
        std::string& c = m_disk->current;
        if (c.size() < offset + size) c.resize(offset + size);
        std::memcpy(&c[offset], data, size);
        m_disk->unsynced.push_back({offset, std::string(static_cast<const char*>(data), size)});
        return true;
    }
    bool Sync() override {
        if (m_disk->crashed) return false;
        if (m_disk->syncs++ == m_disk->crashAtSync) {
            m_disk->crashed = true;
            return false;
        }
        m_disk->durable = m_disk->current;
        m_disk->unsynced.clear();
        return true;
    }
    bool Truncate(uint64_t size) override {
        if (m_disk->crashed) return false;
        m_disk->current.resize(size);
        // A cut is not ordered with writes either; model it as durable at once, which is
        // the harsher case for a reader of the synced state.
        m_disk->durable.resize(std::min<size_t>(m_disk->durable.size(), size));
        return true;
    }
    uint64_t Size() const override { return m_disk->current.size(); }

private:
    std::shared_ptr<MemDisk> m_disk;
};

}  // namespace ph::test
