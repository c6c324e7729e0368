#include "model/Profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "model/Autostart.h"
#include "model/ProfileSettings.h"
#include "unit/model/ScratchDir.h"

namespace ph {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

TEST(Profile, ReadsKeysOfSettingsAsIniReadersDo) {
    struct Case {
        const char* name;
        std::string file;
        std::string key;
        std::string expected;  // "<none>" when the fallback must come back
    } cases[] = {
        {"plain", "[Settings]\nDbFilename=a.stg\n", "DbFilename", "a.stg"},
        {"section name in other case", "[SETTINGS]\nDbFilename=a.stg\n", "DbFilename", "a.stg"},
        {"key in other case", "[Settings]\ndbfilename=a.stg\n", "DBFILENAME", "a.stg"},
        {"blanks around name, = and value", "[ Settings ]\n  DbFilename \t=  a b.stg \t\n", "DbFilename", "a b.stg"},
        {"empty value is present", "[Settings]\nDbFilename=\n", "DbFilename", ""},
        {"value keeps its own '='", "[Settings]\nWindowPos=a=b\n", "WindowPos", "a=b"},
        {"first of two lines wins", "[Settings]\nk=1\nk=2\n", "k", "1"},
        {"other section is not read", "[Other]\nk=1\n[Settings]\nj=2\n", "k", "<none>"},
        {"section ends at the next one", "[Settings]\nj=2\n[Other]\nk=1\n", "k", "<none>"},
        {"key before any section", "k=1\n[Settings]\n", "k", "<none>"},
        {"commented out", "[Settings]\n;k=1\n# k=2\n", "k", "<none>"},
        {"prefix of a longer key", "[Settings]\nkey2=1\n", "key", "<none>"},
        {"CRLF line ends", "[Settings]\r\nk=1\r\nj=2\r\n", "k", "1"},
        {"byte order mark", "\xEF\xBB\xBF[Settings]\nk=1\n", "k", "1"},
        {"no final line end", "[Settings]\nk=last", "k", "last"},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / "p.ini", c.file);
        const Profile profile(dir / "p.ini");
        EXPECT_EQ(profile.GetString(c.key, "<none>"), c.expected) << c.name;
    }
    const Profile missing(dir / "absent.ini");
    EXPECT_EQ(missing.GetString("DbFilename", "fb"), "fb");
}

TEST(Profile, IntegersAreTheLeadingNumberOrTheFallbackWhenMissing) {
    struct Case {
        std::string line;
        int expected;
    } cases[] = {
        {"k=5000", 5000}, {"k= -1 ", -1}, {"k=75px", 75}, {"k=abc", 0}, {"k=", 0}, {"other=3", 42},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / "p.ini", "[Settings]\n" + c.line + "\n");
        EXPECT_EQ(Profile(dir / "p.ini").GetInt("k", 42), c.expected) << c.line;
    }
}

TEST(Profile, WritingOneKeyKeepsTheRestOfTheFile) {
    struct Case {
        const char* name;
        std::string before;
        std::string key, value;
        std::string after;
    } cases[] = {
        {"replaces the line, other sections and comments stay",
         "; mine\n[Top]\nk=9\n[Settings]\na=1\nK = 2 ; old\nb=3\n[Tail]\nz=0\n", "k", "7",
         "; mine\n[Top]\nk=9\n[Settings]\na=1\nk=7\nb=3\n[Tail]\nz=0\n"},
        {"new key goes after the section's last line, before the blank",
         "[settings]\na=1\n\n[Tail]\nz=0\n", "k", "7", "[settings]\na=1\nk=7\n\n[Tail]\nz=0\n"},
        {"section is added when missing", "[Other]\nz=0\n", "k", "7", "[Other]\nz=0\n[Settings]\nk=7\n"},
        {"missing line end is supplied", "[Other]\nz=0", "k", "7", "[Other]\nz=0\n[Settings]\nk=7\n"},
        {"unterminated key line", "[Settings]\nk=1", "k", "2", "[Settings]\nk=2\n"},
        {"CRLF file stays CRLF", "[Settings]\r\na=1\r\n", "k", "7", "[Settings]\r\na=1\r\nk=7\r\n"},
        {"empty file", "", "k", "7", "[Settings]\nk=7\n"},
        {"value with blanks inside", "[Settings]\n", "WindowPos", "a b", "[Settings]\nWindowPos=a b\n"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        WriteFile(dir / "p.ini", c.before);
        Profile profile(dir / "p.ini");
        ASSERT_TRUE(profile.WriteString(c.key, c.value)) << c.name;
        EXPECT_EQ(ReadFile(dir / "p.ini"), c.after) << c.name;
        EXPECT_EQ(profile.GetString(c.key, "<none>"), c.value) << c.name;
        EXPECT_EQ(dir.Names(), std::vector<std::string>{"p.ini"}) << c.name << ": temporary left behind";
    }
}

TEST(Profile, WriteCreatesTheFileAndItsFolderAndKeepsPermissions) {
    ScratchDir dir;
    Profile fresh(dir / "conf/postharbour/p.ini");
    ASSERT_TRUE(fresh.WriteInt("dwTimeout", 7000));
    EXPECT_EQ(Profile(dir / "conf/postharbour/p.ini").GetInt("dwTimeout", 0), 7000);

    WriteFile(dir / "own.ini", "[Settings]\n");
    ASSERT_EQ(::chmod((dir / "own.ini").c_str(), 0640), 0);
    Profile own(dir / "own.ini");
    ASSERT_TRUE(own.WriteInt("order", 3));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "own.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Profile, RefusedOrFailedWriteChangesNothing) {
    ScratchDir dir;
    const std::string original = "[Settings]\nk=1\n";
    WriteFile(dir / "p.ini", original);
    Profile profile(dir / "p.ini");
    struct Case {
        const char* name;
        std::string key, value;
    } refused[] = {
        {"line break in value", "k", "2\n[Evil]"}, {"carriage return in value", "k", "2\r"},
        {"'=' in key", "a=b", "2"},                {"empty key", "", "2"},
        {"blank around key", " k", "2"},           {"section in key", "[k]", "2"},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(profile.WriteString(c.key, c.value)) << c.name;
        EXPECT_EQ(ReadFile(dir / "p.ini"), original) << c.name;
        EXPECT_EQ(profile.GetString("k", ""), "1") << c.name;
    }

    // A directory where the file should be: the rename fails, the temporary must go.
    std::filesystem::create_directory(dir / "blocked.ini");
    Profile blocked(dir / "blocked.ini");
    EXPECT_FALSE(blocked.WriteInt("k", 2));
    EXPECT_EQ(blocked.GetString("k", "<none>"), "<none>");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"blocked.ini", "p.ini"}));
}

TEST(ProfileSettings, ReadsEveryKeyUnderItsOwnName) {
    ScratchDir dir;
    // Defaults from a profile that does not exist.
    const ProfileSettings d = ReadProfileSettings(Profile(dir / "absent.ini"));
    EXPECT_EQ(d.dwTimeout, 5000);
    EXPECT_EQ(d.dwTimeout2, 60000);
    EXPECT_EQ(d.DbFilename, "Postharbour.stg");
    EXPECT_EQ(d.order, -1);
    EXPECT_EQ(d.emailGrid_FromIconW, 20);
    EXPECT_EQ(d.acctGrid_AcctW, 130);
    EXPECT_FALSE(d.windowPos);

    struct Case {
        const char* key;
        int ProfileSettings::*member;
    } cases[] = {
        {"acctGrid_AcctW", &ProfileSettings::acctGrid_AcctW},
        {"acctGrid_EmailsW", &ProfileSettings::acctGrid_EmailsW},
        {"acctGrid_Emails2W", &ProfileSettings::acctGrid_Emails2W},
        {"acctGrid_Emails3W", &ProfileSettings::acctGrid_Emails3W},
        {"acctGrid_Emails4W", &ProfileSettings::acctGrid_Emails4W},
        {"acctGrid_CheckedW", &ProfileSettings::acctGrid_CheckedW},
        {"acctGrid_StatusW", &ProfileSettings::acctGrid_StatusW},
        {"emailGrid_StatusW", &ProfileSettings::emailGrid_StatusW},
        {"emailGrid_CachedW", &ProfileSettings::emailGrid_CachedW},
        {"emailGrid_ToW", &ProfileSettings::emailGrid_ToW},
        {"emailGrid_FromIconW", &ProfileSettings::emailGrid_FromIconW},
        {"emailGrid_FromW", &ProfileSettings::emailGrid_FromW},
        {"emailGrid_SubjectW", &ProfileSettings::emailGrid_SubjectW},
        {"emailGrid_DateW", &ProfileSettings::emailGrid_DateW},
        {"emailGrid_AttachmentW", &ProfileSettings::emailGrid_AttachmentW},
        {"emailGrid_MsgSizeW", &ProfileSettings::emailGrid_MsgSizeW},
        {"dwTimeout", &ProfileSettings::dwTimeout},
        {"dwTimeout2", &ProfileSettings::dwTimeout2},
        {"order", &ProfileSettings::order},
        {"orderRev", &ProfileSettings::orderRev},
        {"outboxState", &ProfileSettings::outboxState},
        {"sentitemsState", &ProfileSettings::sentitemsState},
        {"hiddenmsgsState", &ProfileSettings::hiddenmsgsState},
    };
    // Each key alone with a value no default has, so a key read into the wrong member shows.
    for (const Case& c : cases) {
        WriteFile(dir / "p.ini", std::string("[Settings]\n") + c.key + "=4321\n");
        const ProfileSettings s = ReadProfileSettings(Profile(dir / "p.ini"));
        EXPECT_EQ(s.*c.member, 4321) << c.key;
        for (const Case& other : cases) {
            if (other.member != c.member) {
                EXPECT_EQ(s.*other.member, d.*other.member) << c.key << " also set " << other.key;
            }
        }
    }
}

TEST(ProfileSettings, WritersStoreWhatTheReaderFinds) {
    ScratchDir dir;
    Profile profile(dir / "p.ini");
    ProfileSettings s;
    s.emailGrid_FromIconW = 12;
    ASSERT_TRUE(WriteGridWidths(profile, s));
    ASSERT_TRUE(WriteTimeouts(profile, 9000, 90000));
    ASSERT_TRUE(WriteDbFilename(profile, "other.stg"));
    ASSERT_TRUE(WriteSortOrder(profile, 4, 1));
    ASSERT_TRUE(WriteSpecialListState(profile, SpecialList::SentItems, 2));
    ASSERT_TRUE(WriteDidStartMenuDlg(profile, "done"));
    ASSERT_TRUE(WriteWindowPos(profile, {0, 1, -1, -1, -8, -8, 10, 20, 810, 620}));

    const ProfileSettings r = ReadProfileSettings(Profile(dir / "p.ini"));
    EXPECT_EQ(r.emailGrid_FromIconW, 12);
    EXPECT_EQ(std::make_pair(r.dwTimeout, r.dwTimeout2), std::make_pair(9000, 90000));
    EXPECT_EQ(r.DbFilename, "other.stg");
    EXPECT_EQ(std::make_pair(r.order, r.orderRev), std::make_pair(4, 1));
    EXPECT_EQ(std::make_pair(r.sentitemsState, r.outboxState), std::make_pair(2, 0));
    EXPECT_EQ(r.DidStartMenuDlg, "done");
    EXPECT_EQ(profile.GetString("WindowPos", ""), "0,1,-1,-1,-8,-8,10,20,810,620");
}

TEST(ProfileSettings, ImportOptionsUseTheirTenKeys) {
    const char* keys[] = {"ImportNewAccts",     "ImportNewEmail",        "ImportNewFolders",
                          "ImportFolderContents", "ImportNewAddressBookEntries", "ImportNewGroups",
                          "ImportNewGroupEntries", "ImportNewRules",       "ImportRuleChanges"};
    bool ImportOptions::*members[] = {
        &ImportOptions::newAccounts,     &ImportOptions::newEmail,       &ImportOptions::newFolders,
        &ImportOptions::folderContents,  &ImportOptions::newAddressBookEntries, &ImportOptions::newGroups,
        &ImportOptions::newGroupEntries, &ImportOptions::newRules,       &ImportOptions::ruleChanges};
    const bool defaults[] = {true, true, false, false, true, false, false, false, false};
    ScratchDir dir;

    bool dontAsk = true;
    const ImportOptions fresh = ReadImportOptions(Profile(dir / "absent.ini"), dontAsk);
    EXPECT_FALSE(dontAsk);
    for (size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_EQ(fresh.*members[i], defaults[i]) << keys[i];
    }

    // Flip one choice at a time: it must land under its own key and come back alone.
    for (size_t i = 0; i < std::size(keys); ++i) {
        Profile profile(dir / (std::to_string(i) + ".ini"));
        ImportOptions chosen;
        chosen.*members[i] = !defaults[i];
        ASSERT_TRUE(WriteImportOptions(profile, chosen, i % 2 == 0));
        EXPECT_EQ(profile.GetInt(keys[i], -1), defaults[i] ? 0 : 1) << keys[i];
        EXPECT_EQ(profile.GetInt("ImportDontAsk", -1), i % 2 == 0 ? 1 : 0);
        for (size_t k = 0; k < std::size(keys); ++k) {
            EXPECT_NE(profile.GetInt(keys[k], -1), -1) << keys[k] << " not written";
        }
        const ImportOptions back = ReadImportOptions(Profile(profile.Path()), dontAsk);
        EXPECT_EQ(dontAsk, i % 2 == 0);
        for (size_t k = 0; k < std::size(keys); ++k) {
            EXPECT_EQ(back.*members[k], k == i ? !defaults[k] : defaults[k]) << keys[i] << " / " << keys[k];
        }
    }
}

TEST(WindowPos, UsedOnlyWhenAllTenNumbersAreThere) {
    struct Case {
        const char* text;
        std::optional<WindowPlacement> expected;
    } cases[] = {
        {"2,3,-1,-1,-8,-8,10,20,810,620", WindowPlacement{2, 3, -1, -1, -8, -8, 10, 20, 810, 620}},
        {"0,1,-1,-1,-8,-8,10,20,810", std::nullopt},
        {"0,1,-1,-1,-8,-8,10,20,810,", std::nullopt},
        {"", std::nullopt},
        {"garbage", std::nullopt},
        {"0,1,-1,-1,-8,-8,10,20,810,x", std::nullopt},
        {"0;1;2;3;4;5;6;7;8;9", std::nullopt},
        {"0,1,-1,-1,-8,-8,10,20,810,620,99", WindowPlacement{0, 1, -1, -1, -8, -8, 10, 20, 810, 620}},
        {"0, 1, 2, 3, 4, 5, 6, 7, 8, +9", WindowPlacement{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"0 ,1,2,3,4,5,6,7,8,9", std::nullopt},
        {"-1,1,0,0,0,0,0,0,0,0", WindowPlacement{4294967295u, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"0,1,0,0,0,0,0,0,0,99999999999", std::nullopt},
        {"0,1,0,0,0,0,0,0,0,-2147483648", WindowPlacement{0, 1, 0, 0, 0, 0, 0, 0, 0, -2147483647 - 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseWindowPos(c.text), c.expected) << c.text;
        if (c.expected) {
            EXPECT_EQ(ParseWindowPos(FormatWindowPos(*c.expected)), c.expected) << c.text;
        }
    }
}

TEST(WindowPos, ClosedWindowNeverReopensMinimised) {
    struct Case {
        const char* name;
        unsigned flags, showCmd;
        bool maximised, minimised;
        unsigned savedFlags, savedShow, restoredShow;
    } cases[] = {
        {"normal", 1, kShowNormal, false, false, 0, kShowNormal, kShowNormal},
        {"maximised", 0, kShowMaximized, true, false, kRestoreToMaximized, kShowMaximized, kShowMaximized},
        {"minimised", 0, 2, false, true, 0, kShowNormal, kShowNormal},
        {"minimised from maximised", 0, 2, true, true, kRestoreToMaximized, kShowNormal, kShowNormal},
        {"stored minimise command", 0, kMinimize, false, false, 0, kMinimize, kRestore},
    };
    for (const Case& c : cases) {
        const WindowPlacement current{c.flags, c.showCmd, -1, -1, -8, -8, 10, 20, 810, 620};
        const WindowPlacement saved = PlacementToSave(current, c.maximised, c.minimised);
        EXPECT_EQ(saved.flags, c.savedFlags) << c.name;
        EXPECT_EQ(saved.showCmd, c.savedShow) << c.name;
        EXPECT_EQ(saved.right, 810) << c.name << ": normal rectangle lost";
        EXPECT_EQ(PlacementToRestore(saved).showCmd, c.restoredShow) << c.name;
    }
}

TEST(Autostart, EntryIsWrittenOnceAndRemovedWhenTurnedOff) {
    ScratchDir dir;
    test::EnvOverride config("XDG_CONFIG_HOME", dir / "config");
    const std::string entry = dir / "config/autostart/postharbour.desktop";
    ASSERT_EQ(AutostartEntryPath(), entry);

    ASSERT_TRUE(UpdateAutostart(true, "/opt/postharbour/postharbour"));
    const std::string text = ReadFile(entry);
    for (const char* line : {"[Desktop Entry]\n", "\nType=Application\n", "\nName=Postharbour\n",
                             "\nExec=\"/opt/postharbour/postharbour\"\n", "\nX-GNOME-Autostart-enabled=true\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    const auto written = std::filesystem::last_write_time(entry);
    ASSERT_TRUE(UpdateAutostart(true, "/opt/postharbour/postharbour"));
    EXPECT_EQ(std::filesystem::last_write_time(entry), written) << "unchanged entry rewritten";

    ASSERT_TRUE(UpdateAutostart(true, "/usr/bin/postharbour"));
    EXPECT_NE(ReadFile(entry).find("Exec=\"/usr/bin/postharbour\"\n"), std::string::npos);

    ASSERT_TRUE(UpdateAutostart(false, "/usr/bin/postharbour"));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_TRUE(UpdateAutostart(false, "/usr/bin/postharbour"));
    EXPECT_EQ(std::filesystem::directory_iterator(dir / "config/autostart"), std::filesystem::directory_iterator())
        << "temporary left behind";

    test::EnvOverride noConfig("XDG_CONFIG_HOME", std::nullopt);
    test::EnvOverride home("HOME", dir / "home");
    EXPECT_EQ(AutostartEntryPath(), dir / "home/.config/autostart/postharbour.desktop");
}

TEST(Autostart, ExecLineSurvivesUnusualPaths) {
    struct Case {
        std::string path;
        std::string exec;  // empty: no entry can be made
    } cases[] = {
        {"/opt/Post Harbour/postharbour", "Exec=\"/opt/Post Harbour/postharbour\"\n"},
        {"/opt/a\"b/ph", "Exec=\"/opt/a\\\\\"b/ph\"\n"},
        {"/opt/$HOME/ph", "Exec=\"/opt/\\\\$HOME/ph\"\n"},
        {"/opt/a`b/ph", "Exec=\"/opt/a\\\\`b/ph\"\n"},
        {"/opt/a\\b/ph", "Exec=\"/opt/a\\\\\\\\b/ph\"\n"},
        {"/opt/100%/ph", "Exec=\"/opt/100%%/ph\"\n"},
        {"relative/ph", ""},
        {"", ""},
        {"/opt/a\nExec=/bin/evil", ""},
    };
    ScratchDir dir;
    test::EnvOverride config("XDG_CONFIG_HOME", dir / "config");
    for (const Case& c : cases) {
        const std::string text = AutostartEntryText(c.path);
        if (c.exec.empty()) {
            EXPECT_EQ(text, "") << c.path;
            EXPECT_FALSE(UpdateAutostart(true, c.path)) << c.path;
        } else {
            EXPECT_NE(text.find("\n" + c.exec), std::string::npos) << c.path << "\n" << text;
        }
    }
}

}  // namespace
}  // namespace ph
