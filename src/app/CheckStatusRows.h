#pragma once
// The texts of one account's row in the check status window.
#include "common/IUserInterface.h"

namespace ph {

class CEmailAccount;

// The completion pass's progress through the messages of the account it is storing.
struct SavingProgress {
    int index = 0;
    int total = 0;
};

CheckStatusRow StatusRowOf(const CEmailAccount& account, SavingProgress saving);

}  // namespace ph
