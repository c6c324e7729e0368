#include "store/CStorageNode.h"

#include "store/Wildcard.h"

namespace ph {

using cfb::CompoundFile;
using cfb::EntryId;
using cfb::EntryType;
using cfb::kNoEntry;

CStorageNode::CStorageNode(std::shared_ptr<CompoundFile> file, EntryId entry)
    : m_file(std::move(file)), m_entry(entry), m_generation(m_file->Dir()[entry].generation) {}

bool CStorageNode::CreateFile(const std::string& path) {
    Release();
    m_file = CompoundFile::Create(path, &m_localError);
    if (!m_file) return false;
    m_entry = CompoundFile::kRoot;
    m_generation = m_file->Dir()[m_entry].generation;
    return true;
}

bool CStorageNode::OpenFile(const std::string& path) {
    Release();
    m_file = CompoundFile::Open(path, &m_localError);
    if (!m_file) return false;
    m_entry = CompoundFile::kRoot;
    m_generation = m_file->Dir()[m_entry].generation;
    return true;
}

bool CStorageNode::IsOpen() const { return m_file != nullptr; }

bool CStorageNode::Usable() const { return m_file && m_file->IsCurrent(m_entry, m_generation); }

std::string CStorageNode::Error() const {
    if (!m_localError.empty() || !m_file) return m_localError;
    return m_file->Error();
}

std::unique_ptr<CStorageNode> CStorageNode::CreateChild(std::string_view name) {
    if (!Usable()) return nullptr;
    const EntryId id = m_file->CreateElement(m_entry, name, EntryType::Storage);
    if (id == kNoEntry) return nullptr;
    return std::make_unique<CStorageNode>(m_file, id);
}

std::unique_ptr<CStorageNode> CStorageNode::OpenChild(std::string_view name) {
    if (!Usable()) return nullptr;
    const EntryId id = m_file->Find(m_entry, name);
    if (id == kNoEntry || m_file->Dir()[id].type != EntryType::Storage) return nullptr;
    return std::make_unique<CStorageNode>(m_file, id);
}

std::unique_ptr<CCipherStream> CStorageNode::CreateStream(std::string_view name) {
    if (!Usable()) return nullptr;
    // Replacing a stream rewrites it in place: a record saved again with the same content
    // then changes nothing on disk.
    const EntryId existing = m_file->Find(m_entry, name);
    if (existing != kNoEntry && m_file->Dir()[existing].type == EntryType::Stream &&
        !m_file->Dir()[existing].broken)
        return std::make_unique<CCipherStream>(m_file, existing, CCipherStream::Mode::Replaced);
    const EntryId id = m_file->CreateElement(m_entry, name, EntryType::Stream);
    if (id == kNoEntry) return nullptr;
    return std::make_unique<CCipherStream>(m_file, id, CCipherStream::Mode::Created);
}

std::unique_ptr<CCipherStream> CStorageNode::OpenStream(std::string_view name) {
    if (!Usable()) return nullptr;
    const EntryId id = m_file->Find(m_entry, name);
    if (id == kNoEntry || m_file->Dir()[id].type != EntryType::Stream) return nullptr;
    return std::make_unique<CCipherStream>(m_file, id, CCipherStream::Mode::Open);
}

bool CStorageNode::FindFirst(std::string_view pattern, ElementKind kind, std::string& name) {
    m_pattern = pattern;
    m_kind = kind;
    m_lastName.clear();
    return FindNext(name);
}

bool CStorageNode::FindNext(std::string& name) {
    if (!Usable()) return false;
    const cfb::Directory& dir = m_file->Dir();
    const EntryType wanted = m_kind == ElementKind::Storage ? EntryType::Storage : EntryType::Stream;
    if (IsLiteralPattern(m_pattern)) {
        // One exact name: a look-up, not a walk (ids are fetched this way).
        if (!m_lastName.empty()) return false;
        const EntryId id = m_file->Find(m_entry, m_pattern);
        if (id == kNoEntry || dir[id].type != wanted) return false;
        m_lastName = dir[id].name;
        name = cfb::NarrowName(m_lastName);
        return true;
    }
    for (EntryId id = m_file->ChildAfter(m_entry, m_lastName); id != kNoEntry;
         id = m_file->ChildAfter(m_entry, m_lastName)) {
        m_lastName = dir[id].name;
        if (dir[id].type != wanted) continue;
        std::string narrow = cfb::NarrowName(m_lastName);
        if (WildcardMatch(m_pattern, narrow)) {
            name = std::move(narrow);
            return true;
        }
    }
    return false;
}

bool CStorageNode::Destroy(std::string_view name) {
    return Usable() && m_file->DestroyElement(m_entry, name);
}

bool CStorageNode::Commit() {
    if (!Usable()) return false;
    return IsRoot() ? m_file->Commit() : !m_file->Failed();
}

bool CStorageNode::Rollback() {
    if (!m_file || !IsRoot() || !m_file->Rollback()) return false;
    m_generation = m_file->Dir()[m_entry].generation;
    return true;
}

void CStorageNode::Release() {
    m_file.reset();
    m_entry = kNoEntry;
    m_localError.clear();
}

CCommitGroup::CCommitGroup(const CStorageNode& anyNodeOfTheFile) : m_file(anyNodeOfTheFile.File()) {
    if (m_file) m_file->BeginGroup();
}

CCommitGroup::~CCommitGroup() { Finish(); }

bool CCommitGroup::Finish() {
    if (!m_file) return true;
    const bool ok = m_file->EndGroup();
    m_file.reset();
    return ok;
}

}  // namespace ph
