#include "app/TreeLabels.h"

#include "common/Format.h"
#include "model/CEmailAccount.h"
#include "model/CEmailFolderNode.h"

namespace ph {

TreeLabel AccountTreeLabel(const CEmailAccount& account) {
    const int count = account.m_newMsgCount;
    if (count < 1 || account.m_checkingMail || account.m_checkFinished)
        return {account.ShownAddress(), false};
    return {Format("%s (%d)", account.ShownAddress().c_str(), count), true};
}

std::string SearchResultsLabel(size_t hits) {
    return hits == 0 ? std::string("Search Results")
                     : Format("Search Results (%d)", static_cast<int>(hits));
}

std::string FolderTreeLabel(const CEmailFolderNode& folder) {
    return folder.m_filed[0].empty() && folder.m_filed[1].empty() ? folder.m_name : folder.Label();
}

}  // namespace ph
