#pragma once
// A group of address book entries, a node of the group tree. Members are "GroupContents"
// rows; each member is kept with the id of its row.
#include <string>
#include <vector>

#include "model/StoredItems.h"

namespace ph {

struct GroupMember {
    AddressBookEntry* entry = nullptr;
    int contentsId = 0;  // id of the "GroupContents" row
};

class CAccountGroupNode {
public:
    int m_id = 0;
    CAccountGroupNode* m_parent = nullptr;
    std::string m_name;
    int m_type = 0;
    int m_parentId = 0;
    void* m_link = nullptr;  // cleared on load; the interface may hang its item here
    std::vector<CAccountGroupNode*> m_children;
    std::vector<GroupMember> m_members;
};

}  // namespace ph
