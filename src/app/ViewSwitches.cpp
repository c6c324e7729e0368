#include "app/ViewSwitches.h"

#include "model/Profile.h"

namespace ph {

const std::array<ViewSwitchInfo, 5> kViewSwitches = {{
    {&ViewSwitches::ShowNotOnServer, "ShowNotOnServer", true, "Show not on server",
     "Show emails even if they no longer exist on their server."},
    {&ViewSwitches::ShowOld, "ShowOld", true, "Show if not new",
     "Show email even if not new to last check mail"},
    {&ViewSwitches::ShowRead, "ShowRead", true, "Show if read",
     "Show emails even if they have been read on their server"},
    {&ViewSwitches::ShowUnread, "ShowUnread", true, "Show if unread",
     "Show emails even if marked as not read on server"},
    {&ViewSwitches::ShowHidden, "ShowHidden", false, nullptr, nullptr},
}};

const ViewSwitchInfo& InfoOf(ViewSwitch which) {
    return kViewSwitches[static_cast<size_t>(which)];
}

bool ViewSwitches::Get(ViewSwitch which) const {
    return this->*InfoOf(which).member;
}
void ViewSwitches::Set(ViewSwitch which, bool on) {
    this->*InfoOf(which).member = on;
}

ViewSwitches ReadViewSwitches(const Profile& profile) {
    ViewSwitches switches;
    for (const ViewSwitchInfo& info : kViewSwitches)
        switches.*info.member = profile.GetInt(info.key, info.defaultOn ? 1 : 0) != 0;
    return switches;
}

bool ToggleViewSwitch(ViewSwitches& switches, ViewSwitch which, Profile& profile) {
    const bool on = !switches.Get(which);
    switches.Set(which, on);
    return profile.WriteInt(InfoOf(which).key, on ? 1 : 0);
}

}  // namespace ph
