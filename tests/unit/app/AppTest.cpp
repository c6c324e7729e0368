#include "app/CPostharbourApp.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/Paths.h"
#include "app/SingleInstance.h"
#include "model/Preferences.h"
#include "unit/model/ScratchDir.h"

namespace ph {
namespace {

using test::EnvOverride;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

// Show requests arrive asynchronously; poll the way the frame timer would, only faster.
bool ShowRequestArrives(const std::function<bool()>& take) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (take()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(SingleInstance, SecondStartIsRefusedAndWakesTheFirst) {
    ScratchDir dir;
    auto first = std::make_unique<SingleInstance>(dir.Path().string());
    ASSERT_TRUE(first->IsFirst());
    EXPECT_FALSE(first->TakeShowRequest()) << "request before anyone asked";

    {
        SingleInstance second(dir.Path().string());
        EXPECT_EQ(second.GetRole(), SingleInstance::Role::AlreadyRunning);
        EXPECT_FALSE(second.TakeShowRequest());
        ASSERT_TRUE(second.AskFirstToShow());
        ASSERT_TRUE(second.AskFirstToShow());
    }
    EXPECT_TRUE(ShowRequestArrives([&] { return first->TakeShowRequest(); }));
    // Two requests waiting are one reason to show the window, not two.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(first->TakeShowRequest());
    EXPECT_TRUE(std::filesystem::exists(first->SocketPath()));

    // Gone, the first instance leaves no socket, and the next start is first again.
    const std::string socketPath = first->SocketPath();
    first.reset();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    SingleInstance next(dir.Path().string());
    EXPECT_TRUE(next.IsFirst());
}

TEST(SingleInstance, KilledFirstInstanceDoesNotBlockTheNext) {
    ScratchDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance instance(dir.Path().string());
        const char role = instance.IsFirst() ? 'F' : 'x';
        (void)::write(ready[1], &role, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char role = 0;
    ASSERT_EQ(::read(ready[0], &role, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(role, 'F');
    {
        SingleInstance whileAlive(dir.Path().string());
        EXPECT_EQ(whileAlive.GetRole(), SingleInstance::Role::AlreadyRunning);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    SingleInstance successor(dir.Path().string());
    ASSERT_TRUE(successor.IsFirst());
    ASSERT_TRUE(std::filesystem::exists(successor.SocketPath())) << "stale socket not replaced";
    SingleInstance later(dir.Path().string());
    ASSERT_TRUE(later.AskFirstToShow());
    EXPECT_TRUE(ShowRequestArrives([&] { return successor.TakeShowRequest(); }));
}

// A program installation in a scratch directory: an executable path (the file need not run,
// the app is told where it is) and the environment pointed at private XDG directories.
struct Installation {
    ScratchDir dir;
    EnvOverride home{"HOME", dir / "home"};
    EnvOverride config{"XDG_CONFIG_HOME", dir / "config"};
    EnvOverride data{"XDG_DATA_HOME", dir / "data"};
    std::string exe = dir / "bin/postharbour";
    std::vector<std::string> opened;
    int framesMade = 0;

    Installation() {
        WriteFile(exe, "not a program");
        std::filesystem::create_directories(dir / "run");
    }

    StartOptions Options(const std::string& storePath = "") const {
        return {exe, storePath, (dir.Path() / "run").string()};
    }
    StartHooks Hooks(bool openSucceeds = true) {
        return {[this] { return ++framesMade > 0; },
                [this, openSucceeds](const std::string& path) {
                    opened.push_back(path);
                    return openSucceeds;
                }};
    }
};

TEST(PostharbourApp, SecondInstanceTouchesNothingAndShowsTheFirst) {
    Installation inst;
    CPostharbourApp first(inst.Options());
    ASSERT_TRUE(first.InitInstance(inst.Hooks()));
    ASSERT_EQ(inst.opened.size(), 1u);

    CPostharbourApp second(inst.Options(inst.dir / "elsewhere.stg"));
    EXPECT_FALSE(second.InitInstance(inst.Hooks()));
    EXPECT_EQ(second.GetOutcome(), CPostharbourApp::Outcome::AlreadyRunning);
    EXPECT_EQ(inst.opened.size(), 1u) << "second instance opened a store";
    EXPECT_EQ(inst.framesMade, 1) << "second instance made a frame";
    EXPECT_EQ(second.GetProfile(), nullptr);
    EXPECT_TRUE(ShowRequestArrives([&] { return first.TakeShowRequest(); }));
}

TEST(PostharbourApp, ProfileAndStoreLiveBesideAPortableExecutableElseUnderXdg) {
    struct Case {
        const char* name;
        const char* iniBeside;  // nullptr: not portable
        bool xdgSet;
        std::string dbFilename;  // written into the profile when not empty
        std::string commandLine;
        std::string profile, store;  // relative to the scratch directory
    } cases[] = {
        {"xdg", nullptr, true, "", "", "config/postharbour/postharbour.ini", "data/postharbour/Postharbour.stg"},
        {"xdg unset falls back to home", nullptr, false, "", "", "home/.config/postharbour/postharbour.ini",
         "home/.local/share/postharbour/Postharbour.stg"},
        {"portable", "postharbour.ini", true, "", "", "bin/postharbour.ini", "bin/Postharbour.stg"},
        {"portable with upper-case extension", "postharbour.INI", true, "", "", "bin/postharbour.INI",
         "bin/Postharbour.stg"},
        {"ini of another name is not portable", "other.ini", true, "", "", "config/postharbour/postharbour.ini",
         "data/postharbour/Postharbour.stg"},
        {"DbFilename names the store", "postharbour.ini", true, "mine.stg", "", "bin/postharbour.ini",
         "bin/mine.stg"},
        {"DbFilename under xdg", nullptr, true, "mine.stg", "", "config/postharbour/postharbour.ini",
         "data/postharbour/mine.stg"},
        {"command line wins", "postharbour.ini", true, "mine.stg", "given/x.stg", "bin/postharbour.ini",
         "given/x.stg"},
    };
    for (const Case& c : cases) {
        Installation inst;
        std::optional<EnvOverride> unsetConfig, unsetData;
        if (!c.xdgSet) {
            unsetConfig.emplace("XDG_CONFIG_HOME", std::nullopt);
            unsetData.emplace("XDG_DATA_HOME", std::nullopt);
        }
        if (c.iniBeside) WriteFile(inst.dir / (std::string("bin/") + c.iniBeside), "");
        if (!c.dbFilename.empty()) {
            ASSERT_TRUE(Profile(ProfilePath(inst.exe)).WriteString("DbFilename", c.dbFilename));
        }
        const std::string commandLine = c.commandLine.empty() ? "" : inst.dir / c.commandLine;

        CPostharbourApp app(inst.Options(commandLine));
        ASSERT_TRUE(app.InitInstance(inst.Hooks())) << c.name;
        EXPECT_EQ(app.GetProfile()->Path(), inst.dir / c.profile) << c.name;
        ASSERT_EQ(inst.opened, std::vector<std::string>{inst.dir / c.store}) << c.name;
        EXPECT_EQ(app.StorePath(), inst.dir / c.store) << c.name;
        EXPECT_EQ(app.ExecutableDirectory(), inst.dir / "bin") << c.name;
        if (commandLine.empty()) {
            EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(app.StorePath()).parent_path()))
                << c.name << ": store folder not made";
        }
    }
}

TEST(PostharbourApp, FailedFrameOrStoreEndsStartUp) {
    Installation inst;
    {
        CPostharbourApp app(inst.Options());
        StartHooks hooks = inst.Hooks();
        hooks.createMainFrame = [] { return false; };
        EXPECT_FALSE(app.InitInstance(hooks));
        EXPECT_EQ(app.GetOutcome(), CPostharbourApp::Outcome::FrameFailed);
        EXPECT_TRUE(inst.opened.empty());
    }
    CPostharbourApp app(inst.Options());
    EXPECT_FALSE(app.InitInstance(inst.Hooks(false)));
    EXPECT_EQ(app.GetOutcome(), CPostharbourApp::Outcome::StoreFailed);
}

TEST(PostharbourApp, StartPreferencesTakeTheProfileWidthsAndTimeouts) {
    Installation inst;
    Profile profile(ProfilePath(inst.exe));
    ASSERT_TRUE(profile.WriteInt("acctGrid_CheckedW", 211));
    ASSERT_TRUE(profile.WriteInt("emailGrid_SubjectW", 333));
    ASSERT_TRUE(profile.WriteInt("dwTimeout2", 120000));
    CPostharbourApp app(inst.Options());
    ASSERT_TRUE(app.InitInstance(inst.Hooks()));
    const PreferencesRecord& p = app.StartPreferences();
    EXPECT_EQ(p.AcctGrid_CheckedW, 211);
    EXPECT_EQ(p.EmailGrid_SubjectW, 333);
    EXPECT_EQ(p.dwTimeout2, 120000);
    EXPECT_EQ(p.dwTimeout, 5000);
    EXPECT_EQ(p.AcctGrid_AcctW, 130);
    EXPECT_TRUE(p.PutInTray);
    EXPECT_EQ(app.Settings().dwTimeout2, 120000);
    EXPECT_EQ(app.ApplicationKey().size(), 16u);
}

TEST(PostharbourApp, WindowWithoutTrayIconAlwaysOpens) {
    struct Case {
        bool putInTray, openWindowOnStart, shown;
    } cases[] = {
        {true, true, true}, {true, false, false}, {false, true, true}, {false, false, true},
    };
    Installation inst;
    CPostharbourApp app(inst.Options());
    ASSERT_TRUE(app.InitInstance(inst.Hooks()));
    for (const Case& c : cases) {
        PreferencesRecord opened = DefaultPreferences();
        opened.PutInTray = c.putInTray;
        opened.OpenWindowOnStart = c.openWindowOnStart;
        EXPECT_EQ(ShouldOpenWindowOnStart(opened), c.shown) << c.putInTray << c.openWindowOnStart;
        EXPECT_EQ(app.PlanWindowStart(opened).show, c.shown) << c.putInTray << c.openWindowOnStart;
    }
}

TEST(PostharbourApp, WindowClosedMinimisedComesBackNormalAndDamagedPlacementIsIgnored) {
    Installation inst;
    {
        CPostharbourApp app(inst.Options());
        ASSERT_TRUE(app.InitInstance(inst.Hooks()));
        EXPECT_FALSE(app.PlanWindowStart(DefaultPreferences()).placement);
        ASSERT_TRUE(app.SaveWindowPlacement({1, 2, -1, -1, -8, -8, 10, 20, 810, 620}, false, true));
    }
    struct Case {
        const char* stored;  // nullptr: as the closing app left it
        int logoff;
        std::optional<unsigned> showCmd;
    } cases[] = {
        {nullptr, 0, kShowNormal},
        {"0,6,-1,-1,-8,-8,10,20,810,620", 10, kRestore},
        {"0,1,-1,-1,-8,-8,10,20,810", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        if (c.stored) {
            ASSERT_TRUE(Profile(ProfilePath(inst.exe)).WriteString("WindowPos", c.stored));
        }
        CPostharbourApp app(inst.Options());
        ASSERT_TRUE(app.InitInstance(inst.Hooks()));
        PreferencesRecord opened = DefaultPreferences();
        opened.LogoffTimeout = c.logoff;
        const WindowStart start = app.PlanWindowStart(opened);
        EXPECT_EQ(start.placement.has_value(), c.showCmd.has_value()) << (c.stored ? c.stored : "saved");
        if (start.placement && c.showCmd) {
            EXPECT_EQ(start.placement->showCmd, *c.showCmd);
            EXPECT_EQ(start.placement->bottom, 620);
        }
        EXPECT_EQ(start.hideAndShowAgain, c.logoff != 0);
    }
}

TEST(Connectivity, NeedsAnUpInterfaceWithARealRoute) {
    const std::string v4Heading =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const std::string v4Default = v4Heading + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    const std::string v4Down = v4Heading + "eth0\t0001A8C0\t00000000\t0000\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
    const std::string v4Reject = v4Heading + "eth0\t00000000\t00000000\t0201\t0\t0\t100\t00000000\t0\t0\t0\n";
    const std::string v6LinkLocal =
        "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 eth0\n"
        "ff000000000000000000000000000000 08 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 eth0\n";
    const std::string v6Default =
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 wlan0\n";
    struct Case {
        const char* name;
        std::string v4, v6;
        std::set<std::string> up;
        bool connected;
    } cases[] = {
        {"default route on an up interface", v4Default, "", {"eth0"}, true},
        {"interface down", v4Default, "", {"wlan0"}, false},
        {"no interface up", v4Default, v6Default, {}, false},
        {"route not up", v4Down, "", {"eth0"}, false},
        {"unreachable route", v4Reject, "", {"eth0"}, false},
        {"heading only", v4Heading, "", {"eth0"}, false},
        {"heading is not a route", "eth0\t00000000\t0101A8C0\t0003\n", "", {"eth0"}, false},
        {"IPv6 link scope only", v4Heading, v6LinkLocal, {"eth0"}, false},
        {"IPv6 default route", v4Heading, v6Default, {"wlan0"}, true},
        {"garbage", "x\ny y y zz\n", "a b c\n", {"eth0"}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HasUsableRoute(c.v4, c.v6, c.up), c.connected) << c.name;
    }
}

}  // namespace
}  // namespace ph
