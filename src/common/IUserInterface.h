#pragma once
// What the core asks of a front end: message boxes, option dialogs, status texts. The GUI
// implements it with widgets, phctl on the terminal, tests with a recording fake. The core
// never shows anything any other way.
#include <string>
#include <string_view>

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
};

}  // namespace ph
