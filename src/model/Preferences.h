#pragma once
// The settings that travel with the store (its single "Preferences" record), with the
// program's defaults for a store that has none yet.
#include "store/Records.h"

namespace ph {

// The defaults a new store's record receives.
PreferencesRecord DefaultPreferences();

}  // namespace ph
