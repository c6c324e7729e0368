#include "model/Preferences.h"

namespace ph {

PreferencesRecord DefaultPreferences() {
    PreferencesRecord p;
    p.AutoCheck = false;
    p.AutoCheckInterval = 5;
    p.CheckOnStart = false;
    p.DialOnCheck = false;
    p.FlashIcon = false;
    p.LogoffTimeout = 0;
    p.OpenWindowOnStart = true;
    p.PutInStartup = false;
    p.PutInTray = true;
    p.ShowReallyDelEmail = true;
    p.ShowReallyDelAcct = true;
    p.ShowStatusOnCheck = true;
    p.HideEmailsNotOnServer = true;
    p.IncludeOrigInReply = true;
    p.PreventPopups = false;
    p.DbPswd.clear();
    return p;
}

}  // namespace ph
