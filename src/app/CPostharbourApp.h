#pragma once
// The application object: the start-up sequence up to the open store, and the installation
// settings every other part reads while the program runs. The front ends supply what only they
// can do (the main frame, opening the store through the document) as hooks, so this stays free
// of the GUI toolkit and of the document's internals.
#include <array>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/SingleInstance.h"
#include "model/Profile.h"
#include "model/ProfileSettings.h"
#include "store/Records.h"
#include "store/StoreKey.h"

namespace ph {

// Whether the machine has a working network: a non-loopback interface that is up and has a
// route. Only asks; never brings a connection up.
bool IsConnected();
// The rule behind IsConnected, over the texts of /proc/net/route and /proc/net/ipv6_route and
// the names of the non-loopback interfaces that are up.
bool HasUsableRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                    const std::set<std::string>& upInterfaces);

// Without a notification icon the window is the only way to reach the program, so it opens
// whatever OpenWindowOnStart says.
bool ShouldOpenWindowOnStart(const PreferencesRecord& preferences);

// How the main window comes up once the store is open.
struct WindowStart {
    bool show = true;                          // false: the program lives in the notification area
    std::optional<WindowPlacement> placement;  // none: the default placement, shown normally
    bool hideAndShowAgain = false;             // LogoffTimeout is set
};

struct StartOptions {
    std::string executablePath;     // empty: the running executable
    std::string storePath;          // named on the command line; empty: the default store
    std::string instanceDirectory;  // empty: InstanceDirectory()
};

struct StartHooks {
    std::function<bool()> createMainFrame;                        // may be empty (no window)
    std::function<bool(const std::string& storePath)> openStore;  // opens or creates the store
};

class CPostharbourApp {
public:
    enum class Outcome { NotStarted, Started, AlreadyRunning, FrameFailed, StoreFailed };

    explicit CPostharbourApp(StartOptions options = {});

    // The start-up sequence; false ends the program at once (Outcome says why). A second
    // instance asks the first to show itself and returns false having touched nothing else.
    bool InitInstance(const StartHooks& hooks);
    Outcome GetOutcome() const { return m_outcome; }

    // What follows is set up by InitInstance.
    bool Connected() const { return m_connected != 0; }
    std::string_view ApplicationKey() const { return {m_appKey.data(), m_appKey.size() - 1}; }
    const std::string& ExecutableDirectory() const { return m_executableDirectory; }
    const std::string& DefaultStorePath() const { return m_defaultStorePath; }
    const std::string& StorePath() const { return m_storePath; }
    // Null before InitInstance got as far as the profile.
    Profile* GetProfile() { return m_profile ? &*m_profile : nullptr; }
    const ProfileSettings& Settings() const { return m_settings; }
    ProfileSettings& Settings() { return m_settings; }
    // The preferences in force before the store is read; a new store's record is made from them.
    const PreferencesRecord& StartPreferences() const { return m_startPreferences; }

    // How to bring up the window, from the preferences of the store that was opened.
    WindowStart PlanWindowStart(const PreferencesRecord& opened) const;
    // The main window closes for good: store its placement for the next start.
    bool SaveWindowPlacement(const WindowPlacement& current, bool maximised, bool minimised);
    // After the preferences were saved: bring the autostart entry in line with PutInStartup.
    bool UpdateStartWithSystem(bool putInStartup) const;

    // A later start asked us to show the window. Never blocks; for the frame timer.
    bool TakeShowRequest() { return m_instance ? m_instance->TakeShowRequest() : false; }
    int ShowRequestFd() const { return m_instance ? m_instance->RequestFd() : -1; }

private:
    StartOptions m_options;
    Outcome m_outcome = Outcome::NotStarted;
    std::optional<SingleInstance> m_instance;
    int m_connected = 0;
    std::array<char, sizeof kStoreKey> m_appKey{};
    std::string m_executablePath;
    std::string m_executableDirectory;
    std::optional<Profile> m_profile;
    ProfileSettings m_settings;
    PreferencesRecord m_startPreferences;
    std::string m_defaultStorePath;
    std::string m_storePath;
};

}  // namespace ph
