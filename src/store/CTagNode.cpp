#include "store/CTagNode.h"

namespace ph {

void CTagNode::Clear() {
    m_text.clear();
    m_attributes.clear();
    m_children.clear();
}

CTagNode* CTagNode::AddChild(std::string tag) {
    auto child = std::make_unique<CTagNode>();
    child->m_tag = std::move(tag);
    child->m_parent = this;
    if (!m_children.empty()) m_children.back()->m_next = child.get();
    m_children.push_back(std::move(child));
    return m_children.back().get();
}

void CTagNode::Parse(std::string_view s) {
    Clear();
    CTagNode* current = this;
    int depth = 0;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] != '<') {
            const size_t next = s.find('<', i);
            const size_t end = next == std::string_view::npos ? s.size() : next;
            current->m_text.append(s.substr(i, end - i));
            i = end;
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '/' && current != this) {
            // A close tag ends the innermost open element it names.
            CTagNode* match = nullptr;
            int up = 0;
            for (CTagNode* n = current; n != this && !match; n = n->m_parent, ++up) {
                const std::string_view rest = s.substr(i + 2);
                if (rest.size() > n->m_tag.size() && rest.compare(0, n->m_tag.size(), n->m_tag) == 0 &&
                    rest[n->m_tag.size()] == '>')
                    match = n;
            }
            if (!match) return;
            i += 2 + match->m_tag.size() + 1;
            current = match->m_parent;
            depth -= up;
            continue;
        }
        size_t j = i + 1;
        while (j < s.size() && s[j] != '>' && s[j] != '/' && static_cast<unsigned char>(s[j]) >= 33) ++j;
        CTagNode* child = current->AddChild(std::string(s.substr(i + 1, j - i - 1)));
        bool empty = false;
        if (j < s.size() && s[j] == '/') {
            empty = true;
            ++j;
        }
        while (j < s.size() && s[j] != '>' && static_cast<unsigned char>(s[j]) < 33) ++j;
        const size_t close = s.find('>', j);
        const size_t attrEnd = close == std::string_view::npos ? s.size() : close;
        child->m_attributes = std::string(s.substr(j, attrEnd - j));
        i = close == std::string_view::npos ? s.size() : close + 1;
        if (!empty) {
            if (depth == kMaxDepth) return;
            current = child;
            ++depth;
        }
    }
}

std::string CTagNode::Serialize() const {
    std::string out;
    SerializeInto(out);
    return out;
}

void CTagNode::SerializeInto(std::string& out) const {
    if (!m_tag.empty()) {
        out += '<';
        out += m_tag;
        out += '>';
    }
    for (const auto& child : m_children) child->SerializeInto(out);
    out += m_text;
    if (!m_tag.empty()) {
        out += "</";
        out += m_tag;
        out += ">\r\n";
    }
}

CTagNode* CTagNode::Find(std::string_view tag) {
    std::vector<CTagNode*> stack;
    for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) stack.push_back(it->get());
    while (!stack.empty()) {
        CTagNode* n = stack.back();
        stack.pop_back();
        if (n->m_tag == tag) return n;
        for (auto it = n->m_children.rbegin(); it != n->m_children.rend(); ++it)
            stack.push_back(it->get());
    }
    return nullptr;
}

void CTagNode::SetChildText(std::string_view tag, std::string text) {
    CTagNode* node = Find(tag);
    if (!node) node = AddChild(std::string(tag));
    node->m_text = std::move(text);
}

}  // namespace ph
