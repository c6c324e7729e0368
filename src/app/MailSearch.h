#pragma once
// The search command and "Save results": the criteria are a simple rule's conditions, kept
// by the document as its search rule; the results are references to the accounts' messages.
#include <string>

namespace ph {

class CPostharbourDoc;
class CMailRule;
class CEmailFolderNode;

// Takes over the conditions of `criteria` (word lists whole, with their modes, and the
// single conditions; not its name or actions) as the document's search rule and searches.
void Search(CPostharbourDoc& doc, const CMailRule& criteria);
// Searches again with the search rule as it stands: every message of every account, in list
// order, that is on its server, not marked for delete and matches.
void RunSearch(CPostharbourDoc& doc);

// Files the results into a new top-level folder named `folderName`. With a rule name, the
// search rule joins the rules under that name, copying into the new folder from now on, and
// the next search starts from empty criteria. Null when the folder could not be stored.
CEmailFolderNode* SaveSearchResults(CPostharbourDoc& doc, const std::string& folderName,
                                    const std::string* ruleName = nullptr);

}  // namespace ph
