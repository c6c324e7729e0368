#pragma once
// The labels of the tree items that carry a count.
#include <cstddef>
#include <string>

namespace ph {

class CEmailAccount;
class CEmailFolderNode;

struct TreeLabel {
    std::string text;
    bool newMailImage = false;  // the item shows the new-mail state image
};

// "%s (%d)" with the shown address and the new-message count when there is new mail and the
// account is neither checking nor waiting for the completion pass (whose count is not final
// yet); otherwise the plain address.
TreeLabel AccountTreeLabel(const CEmailAccount& account);
// "Search Results (%d)", or "Search Results" when the search found nothing.
std::string SearchResultsLabel(size_t hits);
// "%s (%d)" with the name and the number of filed messages, or the plain name when empty.
std::string FolderTreeLabel(const CEmailFolderNode& folder);

}  // namespace ph
