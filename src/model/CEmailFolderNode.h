#pragma once
// A user folder: a node of the folder tree with the messages filed in it. A filing is one
// "FolderContents" row; the folder keeps each filed item with the id of its row, in two
// lists chosen by the row's Flags (0 or less: the first).
#include <string>
#include <vector>

namespace ph {

class CEmailMessage;
struct OutgoingMessage;

// What a folder can hold: a received message or a sent one.
struct FiledItem {
    CEmailMessage* message = nullptr;
    OutgoingMessage* sent = nullptr;
    int contentsId = -1;  // slot of the "FolderContents" row; -1 until the message is stored
};

enum FolderType : int {
    kFolderUser = 0,
    kFolderYahoo = 1,
    kFolderHotmail = 2,
    kFolderSpecialFirst = 1000,  // 1000..1003: the four special folders
    kFolderSpecialLast = 1003,
    kFolderOe = 1005,
};

class CEmailFolderNode {
public:
    static constexpr size_t kMaxStoredName = 200;

    int m_id = 0;
    CEmailFolderNode* m_parent = nullptr;
    std::string m_name;
    std::string m_path;  // the folder's path as shown
    int m_type = kFolderUser;
    // 0: top of the document's own tree; -n: top-level folder of account n; p > 0: inside p.
    int m_parentId = 0;
    bool m_skip = false;  // left out when folders are saved
    std::vector<CEmailFolderNode*> m_children;
    std::vector<FiledItem> m_filed[2];

    // How many times the message is filed in the first list.
    int CountFiled(const CEmailMessage* message) const;
    bool Holds(const CEmailMessage* message) const { return CountFiled(message) > 0; }
    // "%s (%d)" with the name and the number of filed messages.
    std::string Label() const;
};

}  // namespace ph
