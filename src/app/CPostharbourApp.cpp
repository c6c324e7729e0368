#include "app/CPostharbourApp.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "app/Paths.h"
#include "common/Trace.h"
#include "model/Autostart.h"
#include "model/Preferences.h"

namespace ph {
namespace {

constexpr unsigned long kRouteUp = 0x0001;      // RTF_UP
constexpr unsigned long kRouteReject = 0x0200;  // RTF_REJECT: an unreachable route

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : std::string();
}

std::vector<std::string> Fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string f; in >> f;) fields.push_back(f);
    return fields;
}

bool RouteFlagsUsable(const std::string& hex) {
    char* end = nullptr;
    const unsigned long flags = std::strtoul(hex.c_str(), &end, 16);
    return end != hex.c_str() && *end == '\0' && (flags & kRouteUp) && !(flags & kRouteReject);
}

// Every interface with IPv6 carries link-local and multicast routes; they reach no further
// than the cable and say nothing about a working network.
bool IsLinkScopeIpv6(const std::string& destination) {
    const std::string head = destination.substr(0, 3);
    return head == "fe8" || head == "fe9" || head == "fea" || head == "feb" || destination.compare(0, 2, "ff") == 0;
}

}  // namespace

bool HasUsableRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                    const std::set<std::string>& upInterfaces) {
    // Iface Destination Gateway Flags ..., after one heading line.
    std::istringstream v4{std::string(ipv4Routes)};
    std::string line;
    for (bool heading = true; std::getline(v4, line); heading = false) {
        const std::vector<std::string> f = Fields(line);
        if (heading || f.size() < 4) continue;
        if (upInterfaces.count(f[0]) && RouteFlagsUsable(f[3])) return true;
    }
    // Destination, prefix length, source, prefix length, next hop, metric, references, use,
    // flags, interface; no heading.
    std::istringstream v6{std::string(ipv6Routes)};
    while (std::getline(v6, line)) {
        const std::vector<std::string> f = Fields(line);
        if (f.size() < 10 || IsLinkScopeIpv6(f[0])) continue;
        if (upInterfaces.count(f[9]) && RouteFlagsUsable(f[8])) return true;
    }
    return false;
}

bool IsConnected() {
    std::set<std::string> up;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        const unsigned flags = a->ifa_flags;
        if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK)) up.insert(a->ifa_name);
    }
    ::freeifaddrs(list);
    if (up.empty()) return false;
    return HasUsableRoute(ReadWholeFile("/proc/net/route"), ReadWholeFile("/proc/net/ipv6_route"), up);
}

bool ShouldOpenWindowOnStart(const PreferencesRecord& preferences) {
    return preferences.OpenWindowOnStart || !preferences.PutInTray;
}

CPostharbourApp::CPostharbourApp(StartOptions options) : m_options(std::move(options)) {}

bool CPostharbourApp::InitInstance(const StartHooks& hooks) {
    // One program per user. A later start only wakes the first one; the store stays untouched.
    m_instance.emplace(m_options.instanceDirectory.empty() ? InstanceDirectory() : m_options.instanceDirectory);
    if (m_instance->GetRole() == SingleInstance::Role::AlreadyRunning) {
        if (!m_instance->AskFirstToShow()) Trace("the running instance did not take the show request");
        m_instance.reset();
        m_outcome = Outcome::AlreadyRunning;
        return false;
    }

    // Only for the banners' connection watcher; a check asks afresh.
    m_connected = IsConnected() ? 1 : 0;

    // The store cannot be read without the key.
    std::memcpy(m_appKey.data(), kStoreKey, sizeof kStoreKey);

    m_executablePath = m_options.executablePath.empty() ? ExecutablePath() : m_options.executablePath;
    m_executableDirectory = ph::ExecutableDirectory(m_executablePath);
    m_profile.emplace(ProfilePath(m_executablePath));
    Trace("profile %s", m_profile->Path().c_str());

    m_settings = ReadProfileSettings(*m_profile);
    m_startPreferences = DefaultPreferences();
    // A new store's record starts from this installation's widths and time-outs.
    const ProfileSettings& s = m_settings;
    PreferencesRecord& p = m_startPreferences;
    p.AcctGrid_AcctW = s.acctGrid_AcctW;
    p.AcctGrid_EmailsW = s.acctGrid_EmailsW;
    p.AcctGrid_Emails2W = s.acctGrid_Emails2W;
    p.AcctGrid_Emails3W = s.acctGrid_Emails3W;
    p.AcctGrid_Emails4W = s.acctGrid_Emails4W;
    p.AcctGrid_CheckedW = s.acctGrid_CheckedW;
    p.AcctGrid_StatusW = s.acctGrid_StatusW;
    p.EmailGrid_StatusW = s.emailGrid_StatusW;
    p.EmailGrid_CachedW = s.emailGrid_CachedW;
    p.EmailGrid_ToW = s.emailGrid_ToW;
    p.EmailGrid_FromW = s.emailGrid_FromW;
    p.EmailGrid_SubjectW = s.emailGrid_SubjectW;
    p.EmailGrid_DateW = s.emailGrid_DateW;
    p.EmailGrid_AttachmentW = s.emailGrid_AttachmentW;
    p.EmailGrid_MsgSizeW = s.emailGrid_MsgSizeW;
    p.dwTimeout = s.dwTimeout;
    p.dwTimeout2 = s.dwTimeout2;

    m_defaultStorePath = ph::DefaultStorePath(m_executablePath, m_settings.DbFilename);

    if (hooks.createMainFrame && !hooks.createMainFrame()) {
        m_outcome = Outcome::FrameFailed;
        return false;
    }

    if (!m_options.storePath.empty()) {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(m_options.storePath, ec);
        m_storePath = ec ? m_options.storePath : absolute.string();
    } else {
        m_storePath = m_defaultStorePath;
        // A first start under the XDG directories finds no folder for the store yet.
        const std::string dir = std::filesystem::path(m_storePath).parent_path().string();
        if (!dir.empty() && !MakeDirectories(dir)) Trace("cannot create %s", dir.c_str());
    }
    Trace("opening store %s", m_storePath.c_str());
    if (!hooks.openStore || !hooks.openStore(m_storePath)) {
        m_outcome = Outcome::StoreFailed;
        return false;
    }
    m_outcome = Outcome::Started;
    return true;
}

WindowStart CPostharbourApp::PlanWindowStart(const PreferencesRecord& opened) const {
    WindowStart start;
    start.show = ShouldOpenWindowOnStart(opened);
    if (!start.show) return start;
    if (m_settings.windowPos) start.placement = PlacementToRestore(*m_settings.windowPos);
    start.hideAndShowAgain = opened.LogoffTimeout != 0;
    return start;
}

bool CPostharbourApp::SaveWindowPlacement(const WindowPlacement& current, bool maximised, bool minimised) {
    if (!m_profile) return false;
    const WindowPlacement saved = PlacementToSave(current, maximised, minimised);
    if (!WriteWindowPos(*m_profile, saved)) return false;
    m_settings.windowPos = saved;
    return true;
}

bool CPostharbourApp::UpdateStartWithSystem(bool putInStartup) const {
    return UpdateAutostart(putInStartup, m_executablePath.empty() ? ExecutablePath() : m_executablePath);
}

}  // namespace ph
