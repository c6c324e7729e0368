#pragma once
// The small tag tree that the element form of a record is read through and written from.
// It is deliberately not an XML parser: it reads exactly what the store writes, and reads
// anything else without failing (it stops at the first close tag it cannot match).
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ph {

class CTagNode {
public:
    CTagNode() = default;
    CTagNode(const CTagNode&) = delete;
    CTagNode& operator=(const CTagNode&) = delete;

    // Replaces this node's content with the tree parsed from `text` (this node is the root,
    // with an empty tag). Nesting deeper than kMaxDepth ends the parse there.
    void Parse(std::string_view text);
    // "<tag>" children text "</tag>\r\n"; a node with an empty tag writes only its children
    // and text.
    std::string Serialize() const;

    // Depth-first search below this node for the first node with this tag.
    CTagNode* Find(std::string_view tag);
    // Sets the text of the first node with this tag, adding a child of this node when there
    // is none.
    void SetChildText(std::string_view tag, std::string text);
    void Clear();

    const std::string& Tag() const { return m_tag; }
    const std::string& Text() const { return m_text; }
    void SetText(std::string text) { m_text = std::move(text); }
    const std::string& Attributes() const { return m_attributes; }
    CTagNode* Parent() const { return m_parent; }
    CTagNode* NextSibling() const { return m_next; }
    const std::vector<std::unique_ptr<CTagNode>>& Children() const { return m_children; }

    static constexpr int kMaxDepth = 64;

private:
    CTagNode* AddChild(std::string tag);
    void SerializeInto(std::string& out) const;

    std::string m_tag;
    std::string m_text;
    std::string m_attributes;
    CTagNode* m_parent = nullptr;
    CTagNode* m_next = nullptr;
    std::vector<std::unique_ptr<CTagNode>> m_children;
};

}  // namespace ph
