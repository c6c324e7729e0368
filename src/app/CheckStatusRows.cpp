#include "app/CheckStatusRows.h"

#include "common/Format.h"
#include "model/CEmailAccount.h"

namespace ph {
namespace {

std::string EmailsText(int count) {
    if (count == kCountBadPassword || count == kCountNoConnection) return "";
    if (count == kCountNoResult || count == 0) return "-";
    return Format("%d", count);
}

std::string PercentDoneText(const CEmailAccount& account, SavingProgress saving) {
    if (!account.m_checkingMail && !account.m_deleting) return "100%";
    if (account.m_saving && saving.total > 0) return Format("%d%%", saving.index * 100 / saving.total);
    const int total = account.GetItemsTotal();
    const long long bytes = account.GetBytesReceived();
    if (bytes > 0 && total == 0) return Format("%dKB", static_cast<int>(bytes / 1024));
    if (total <= 0) return "0%";
    const int done = account.GetItemsDone();
    return done >= total ? "100%" : Format("%d%%", static_cast<int>(static_cast<long long>(done) * 100 / total));
}

std::string StatusText(const CEmailAccount& account) {
    std::string text;
    const int tries = account.m_tries;
    if (tries >= 1 && tries <= 4) text = Format("Try #%d ", tries + 1);
    const int count = account.GetMsgCount();
    if (account.m_checkingMail)
        text += account.GetItemsTotal() > 0 ? "parsing" : "downloading";
    else if (account.m_deleting)
        text += "deleting";
    else if (count == kCountBadPassword)
        text += "BAD USER OR PASSWORD";
    else if (count == kCountNoConnection)
        text += "FAILED TO CONNECT";
    else if (count == kCountNoResult)
        ;
    else if (account.m_saving)
        text += "saving";
    else
        text += "ck'd";
    return text;
}

}  // namespace

CheckStatusRow StatusRowOf(const CEmailAccount& account, SavingProgress saving) {
    return {account.ShownAddress(), EmailsText(account.GetMsgCount()), PercentDoneText(account, saving),
            StatusText(account)};
}

}  // namespace ph
