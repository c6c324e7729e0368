#pragma once
// The settings of this installation kept in the profile (section "Settings"): list column
// widths, network time-outs, the store file name, the window placement, the list's sort order
// and the import choices. Read once at start-up; each writer changes only its own keys.
#include <optional>
#include <string>
#include <string_view>

#include "common/IUserInterface.h"
#include "model/Profile.h"

namespace ph {

// The placement of the main window as the platform describes it: the ten numbers of
// "WindowPos", in their order.
struct WindowPlacement {
    unsigned flags = 0;
    unsigned showCmd = 0;
    int minX = 0, minY = 0;
    int maxX = 0, maxY = 0;
    int left = 0, top = 0, right = 0, bottom = 0;

    bool operator==(const WindowPlacement&) const = default;
};

// The show commands and the placement flag the stored placement uses.
inline constexpr unsigned kShowNormal = 1;
inline constexpr unsigned kShowMaximized = 3;
inline constexpr unsigned kShow = 5;
inline constexpr unsigned kMinimize = 6;
inline constexpr unsigned kRestore = 9;
inline constexpr unsigned kRestoreToMaximized = 2;

struct ProfileSettings {
    std::string DbFilename = "Postharbour.stg";
    int acctGrid_AcctW = 130, acctGrid_EmailsW = 75, acctGrid_Emails2W = 75, acctGrid_Emails3W = 85,
        acctGrid_Emails4W = 75, acctGrid_CheckedW = 175, acctGrid_StatusW = 175;
    int emailGrid_StatusW = 40, emailGrid_CachedW = 20, emailGrid_ToW = 130, emailGrid_FromIconW = 20,
        emailGrid_FromW = 125, emailGrid_SubjectW = 150, emailGrid_DateW = 75, emailGrid_AttachmentW = 75,
        emailGrid_MsgSizeW = 50;
    int dwTimeout = 5000;    // ms until a server's first reply
    int dwTimeout2 = 60000;  // ms of silence once data flows
    int order = -1;          // sort column of the message list; -1 unsorted
    int orderRev = 0;
    int outboxState = 0, sentitemsState = 0, hiddenmsgsState = 0;
    // Not empty once the first-run question about a start-menu entry was answered.
    std::string DidStartMenuDlg;
    // Only a complete "WindowPos"; otherwise the window takes its default placement.
    std::optional<WindowPlacement> windowPos;
    ImportOptions import;
    bool importDontAsk = false;
};

ProfileSettings ReadProfileSettings(const Profile& profile);

// The sixteen column widths of `settings`.
bool WriteGridWidths(Profile& profile, const ProfileSettings& settings);
bool WriteTimeouts(Profile& profile, int dwTimeout, int dwTimeout2);
bool WriteDbFilename(Profile& profile, std::string_view fileName);
bool WriteSortOrder(Profile& profile, int order, int orderRev);

enum class SpecialList { Outbox, SentItems, HiddenMessages };
bool WriteSpecialListState(Profile& profile, SpecialList list, int state);

bool WriteDidStartMenuDlg(Profile& profile, std::string_view answer);
bool WriteWindowPos(Profile& profile, const WindowPlacement& placement);

ImportOptions ReadImportOptions(const Profile& profile, bool& dontAsk);
// All ten import keys, as the import dialog's OK stores them.
bool WriteImportOptions(Profile& profile, const ImportOptions& options, bool dontAsk);

// "WindowPos" read with the format it is written in; nothing unless all ten numbers are there.
std::optional<WindowPlacement> ParseWindowPos(std::string_view text);
std::string FormatWindowPos(const WindowPlacement& placement);

// What is stored when the main window closes: a maximised window comes back maximised, a
// minimised one comes back in its normal size.
WindowPlacement PlacementToSave(WindowPlacement current, bool maximised, bool minimised);
// What is applied at start: a window is never restored minimised.
WindowPlacement PlacementToRestore(WindowPlacement stored);

}  // namespace ph
