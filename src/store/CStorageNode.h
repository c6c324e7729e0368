#pragma once
// The program's handle on one storage of the store file.
//
// The file is opened in direct mode: every change is part of the file at once and is made
// durable by committing the root storage, which is atomic (a crash leaves the file as of
// the last commit or the one in flight). Committing a child storage has nothing left to
// do. Handles on elements that were destroyed, or replaced by a create of the same name,
// stop working rather than touch someone else's data.
#include <memory>
#include <string>
#include <string_view>

#include "store/CCipherStream.h"
#include "store/cfb/CompoundFile.h"

namespace ph {

enum class ElementKind { Storage, Stream };

class CStorageNode {
public:
    CStorageNode() = default;
    CStorageNode(std::shared_ptr<cfb::CompoundFile> file, cfb::EntryId entry);

    // Creates a new store file (replacing any file of that name) and holds its root.
    bool CreateFile(const std::string& path);
    // Opens an existing compound file; fails (see Error) when it is not one or is in use.
    bool OpenFile(const std::string& path);

    std::unique_ptr<CStorageNode> CreateChild(std::string_view name);
    std::unique_ptr<CStorageNode> OpenChild(std::string_view name);
    std::unique_ptr<CCipherStream> CreateStream(std::string_view name);
    std::unique_ptr<CCipherStream> OpenStream(std::string_view name);

    // Enumerates the children of the given kind whose names match the wildcard pattern, in
    // sibling order (names of equal length in ascending order). Elements added or removed
    // during the walk do not disturb it.
    bool FindFirst(std::string_view pattern, ElementKind kind, std::string& name);
    bool FindNext(std::string& name);

    bool Destroy(std::string_view name);
    // On the root: makes every change durable. On a child: nothing to do in direct mode.
    bool Commit();
    // On the root: forgets every change since the last commit; all other handles on the
    // file go stale.
    bool Rollback();
    void Release();

    bool IsOpen() const;
    bool IsRoot() const { return m_entry == cfb::CompoundFile::kRoot; }
    std::string Error() const;
    // The container, for grouping commits (CCommitGroup) and for tools.
    const std::shared_ptr<cfb::CompoundFile>& File() const { return m_file; }

private:
    bool Usable() const;

    std::shared_ptr<cfb::CompoundFile> m_file;
    cfb::EntryId m_entry = cfb::kNoEntry;
    uint32_t m_generation = 0;
    std::string m_localError;
    // Enumeration state: the walk resumes after the last name given out.
    std::string m_pattern;
    ElementKind m_kind = ElementKind::Storage;
    std::u16string m_lastName;
};

// Groups every commit made while it lives into one durable commit at Finish (or at
// destruction). Used when many table jobs belong together, as when a check stores
// thousands of messages.
class CCommitGroup {
public:
    explicit CCommitGroup(const CStorageNode& anyNodeOfTheFile);
    ~CCommitGroup();
    CCommitGroup(const CCommitGroup&) = delete;
    CCommitGroup& operator=(const CCommitGroup&) = delete;
    // Ends the group: false when the durable commit failed.
    bool Finish();

private:
    std::shared_ptr<cfb::CompoundFile> m_file;
};

}  // namespace ph
