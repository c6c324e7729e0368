#pragma once
// The five view switches of the message list. Each is remembered in the profile section
// "Settings" under its own key: read when the frame is made, written at once when toggled.
#include <array>

namespace ph {

class Profile;

// In menu order.
enum class ViewSwitch { NotOnServer, Old, Read, Unread, Hidden };

struct ViewSwitches {
    bool ShowNotOnServer = true;
    bool ShowOld = true;
    bool ShowRead = true;
    bool ShowUnread = true;
    bool ShowHidden = false;

    bool Get(ViewSwitch which) const;
    void Set(ViewSwitch which, bool on);
};

struct ViewSwitchInfo {
    bool ViewSwitches::*member;
    const char* key;  // profile key
    bool defaultOn;
    const char* menuText;  // null: the switch has no menu entry
    const char* help;      // the menu entry's prompt
};

// One row per switch, in the order of ViewSwitch.
extern const std::array<ViewSwitchInfo, 5> kViewSwitches;
const ViewSwitchInfo& InfoOf(ViewSwitch which);

// A missing key takes the switch's default; any number but 0 means set.
ViewSwitches ReadViewSwitches(const Profile& profile);
// Inverts the switch and writes its new value; false when the profile could not be written
// (the switch is inverted all the same, the profile keeps the old value).
bool ToggleViewSwitch(ViewSwitches& switches, ViewSwitch which, Profile& profile);

}  // namespace ph
