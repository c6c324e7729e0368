#pragma once
// What the core asks of a front end: message boxes, option dialogs, status texts. The GUI
// implements it with widgets, phctl on the terminal, tests with a recording fake. The core
// never shows anything any other way.
#include <string>
#include <string_view>
#include <vector>

namespace ph {

// The import choices kept in the profile (keys "ImportNewAccts" ... "ImportRuleChanges").
struct ImportOptions {
    bool newAccounts = true;
    bool newEmail = true;
    bool newFolders = false;
    bool folderContents = false;
    bool newAddressBookEntries = true;
    bool newGroups = false;
    bool newGroupEntries = false;
    bool newRules = false;
    bool ruleChanges = false;
};

// One row of the check status window: the texts of its four columns.
struct CheckStatusRow {
    std::string account;
    std::string emails;
    std::string percentDone;
    std::string status;
    bool operator==(const CheckStatusRow&) const = default;
};

class IUserInterface {
public:
    enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~IUserInterface() = default;
    // A message box with a short upper-case caption ("WARNING", "ERROR", ...).
    virtual Answer MessageBox(std::string_view text, std::string_view caption, Buttons buttons) = 0;
    virtual void SetStatusText(std::string_view text) = 0;
    // The import options dialog: false when the user cancels. `dontAskAgain` is the box of the
    // same name.
    virtual bool AskImportOptions(ImportOptions& options, bool& dontAskAgain) = 0;
    virtual void Beep() = 0;

    // The notification-area icon and its tooltip.
    enum class TrayIcon { Normal, NewMail };
    virtual void SetTrayIcon(TrayIcon icon, std::string_view tooltip) = 0;
    virtual void SetWaitCursor(bool waiting) = 0;
    // The status window of an interactive check: shown with its rows (called again whenever
    // they change), then closed.
    virtual void ShowCheckStatus(const std::vector<CheckStatusRow>& rows) = 0;
    virtual void CloseCheckStatus() = 0;
    // The progress bar of the status bar; a negative percentage hides it.
    virtual void SetProgress(int percent) = 0;
    // The tree and the message list are to be filled again from the model.
    virtual void RefreshViews() = 0;
    // "Really delete these emails?": true for OK. `dontAskAgain` is the box of that name.
    virtual bool ConfirmDeleteEmails(bool& dontAskAgain) = 0;
    // Asks for the store password; false when the user cancels.
    virtual bool AskStorePassword(std::string& entered) = 0;
};

}  // namespace ph
