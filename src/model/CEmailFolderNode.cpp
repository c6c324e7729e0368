#include "model/CEmailFolderNode.h"

#include <algorithm>

#include "common/Format.h"

namespace ph {

int CEmailFolderNode::CountFiled(const CEmailMessage* message) const {
    return static_cast<int>(std::count_if(m_filed[0].begin(), m_filed[0].end(),
                                          [&](const FiledItem& f) { return f.message == message; }));
}

std::string CEmailFolderNode::Label() const {
    return Format("%s (%d)", m_name.c_str(), static_cast<int>(m_filed[0].size() + m_filed[1].size()));
}

}  // namespace ph
