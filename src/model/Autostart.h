#pragma once
// Starting with the system: the desktop's autostart entry
// $XDG_CONFIG_HOME/autostart/postharbour.desktop (~/.config when the variable is unset).
#include <string>

namespace ph {

std::string AutostartEntryPath();

// Writes the entry that starts `executablePath` (an absolute path) when `enabled`, else removes
// it. Doing it twice changes nothing the second time. False when the entry could not be brought
// into the wanted state (then it is as it was).
bool UpdateAutostart(bool enabled, const std::string& executablePath);

// The entry's text for `executablePath`; empty when the path cannot be written into an entry.
std::string AutostartEntryText(const std::string& executablePath);

}  // namespace ph
