#include "model/ProfileSettings.h"

#include <cstdint>
#include <limits>

#include "common/Format.h"

namespace ph {
namespace {

struct IntKey {
    const char* key;
    int ProfileSettings::*member;
};

constexpr IntKey kGridWidths[] = {
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
};

constexpr IntKey kOtherInts[] = {
    {"dwTimeout", &ProfileSettings::dwTimeout},
    {"dwTimeout2", &ProfileSettings::dwTimeout2},
    {"order", &ProfileSettings::order},
    {"orderRev", &ProfileSettings::orderRev},
    {"outboxState", &ProfileSettings::outboxState},
    {"sentitemsState", &ProfileSettings::sentitemsState},
    {"hiddenmsgsState", &ProfileSettings::hiddenmsgsState},
};

struct ImportKey {
    const char* key;
    bool ImportOptions::*member;
};

constexpr ImportKey kImportKeys[] = {
    {"ImportNewAccts", &ImportOptions::newAccounts},
    {"ImportNewEmail", &ImportOptions::newEmail},
    {"ImportNewFolders", &ImportOptions::newFolders},
    {"ImportFolderContents", &ImportOptions::folderContents},
    {"ImportNewAddressBookEntries", &ImportOptions::newAddressBookEntries},
    {"ImportNewGroups", &ImportOptions::newGroups},
    {"ImportNewGroupEntries", &ImportOptions::newGroupEntries},
    {"ImportNewRules", &ImportOptions::newRules},
    {"ImportRuleChanges", &ImportOptions::ruleChanges},
};
constexpr const char* kImportDontAsk = "ImportDontAsk";

// Closing the window writes every width; most often none changed, and each key written is a
// whole rewrite of the file.
bool WriteIntIfChanged(Profile& profile, const char* key, int value) {
    if (profile.GetString(key, "") == Format("%d", value)) return true;
    return profile.WriteInt(key, value);
}

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One number the way scanf's %d / %u takes it: leading white space, an optional sign, digits.
// %u takes a minus as well and wraps, as the C library does. Values that do not fit are
// refused rather than guessed.
bool ScanNumber(std::string_view& text, bool isUnsigned, int64_t& out) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t digits = i;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(std::numeric_limits<uint32_t>::max()) + 1) return false;
    }
    if (i == digits) return false;
    if (negative) value = -value;
    if (isUnsigned) {
        if (value > int64_t(std::numeric_limits<uint32_t>::max()) || value < -int64_t(std::numeric_limits<uint32_t>::max()))
            return false;
        value = static_cast<uint32_t>(value);
    } else if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
        return false;
    }
    out = value;
    text.remove_prefix(i);
    return true;
}

}  // namespace

ProfileSettings ReadProfileSettings(const Profile& profile) {
    ProfileSettings s;
    s.DbFilename = profile.GetString("DbFilename", s.DbFilename);
    for (const IntKey& k : kGridWidths) s.*k.member = profile.GetInt(k.key, s.*k.member);
    for (const IntKey& k : kOtherInts) s.*k.member = profile.GetInt(k.key, s.*k.member);
    s.DidStartMenuDlg = profile.GetString("DidStartMenuDlg", "");
    s.windowPos = ParseWindowPos(profile.GetString("WindowPos", ""));
    s.import = ReadImportOptions(profile, s.importDontAsk);
    return s;
}

bool WriteGridWidths(Profile& profile, const ProfileSettings& settings) {
    bool ok = true;
    for (const IntKey& k : kGridWidths) ok = WriteIntIfChanged(profile, k.key, settings.*k.member) && ok;
    return ok;
}

bool WriteTimeouts(Profile& profile, int dwTimeout, int dwTimeout2) {
    const bool first = WriteIntIfChanged(profile, "dwTimeout", dwTimeout);
    return WriteIntIfChanged(profile, "dwTimeout2", dwTimeout2) && first;
}

bool WriteDbFilename(Profile& profile, std::string_view fileName) { return profile.WriteString("DbFilename", fileName); }

bool WriteSortOrder(Profile& profile, int order, int orderRev) {
    const bool first = WriteIntIfChanged(profile, "order", order);
    return WriteIntIfChanged(profile, "orderRev", orderRev) && first;
}

bool WriteSpecialListState(Profile& profile, SpecialList list, int state) {
    switch (list) {
        case SpecialList::Outbox: return WriteIntIfChanged(profile, "outboxState", state);
        case SpecialList::SentItems: return WriteIntIfChanged(profile, "sentitemsState", state);
        case SpecialList::HiddenMessages: return WriteIntIfChanged(profile, "hiddenmsgsState", state);
    }
    return false;
}

bool WriteDidStartMenuDlg(Profile& profile, std::string_view answer) {
    return profile.WriteString("DidStartMenuDlg", answer);
}

bool WriteWindowPos(Profile& profile, const WindowPlacement& placement) {
    return profile.WriteString("WindowPos", FormatWindowPos(placement));
}

ImportOptions ReadImportOptions(const Profile& profile, bool& dontAsk) {
    ImportOptions options;
    for (const ImportKey& k : kImportKeys) options.*k.member = profile.GetInt(k.key, options.*k.member ? 1 : 0) != 0;
    dontAsk = profile.GetInt(kImportDontAsk, 0) != 0;
    return options;
}

bool WriteImportOptions(Profile& profile, const ImportOptions& options, bool dontAsk) {
    bool ok = true;
    for (const ImportKey& k : kImportKeys) ok = WriteIntIfChanged(profile, k.key, options.*k.member ? 1 : 0) && ok;
    return WriteIntIfChanged(profile, kImportDontAsk, dontAsk ? 1 : 0) && ok;
}

std::optional<WindowPlacement> ParseWindowPos(std::string_view text) {
    int64_t n[10];
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != ',') return std::nullopt;
            text.remove_prefix(1);
        }
        if (!ScanNumber(text, i < 2, n[i])) return std::nullopt;
    }
    // Like the format it mirrors, whatever follows the tenth number is not looked at.
    WindowPlacement p;
    p.flags = static_cast<unsigned>(n[0]);
    p.showCmd = static_cast<unsigned>(n[1]);
    p.minX = static_cast<int>(n[2]);
    p.minY = static_cast<int>(n[3]);
    p.maxX = static_cast<int>(n[4]);
    p.maxY = static_cast<int>(n[5]);
    p.left = static_cast<int>(n[6]);
    p.top = static_cast<int>(n[7]);
    p.right = static_cast<int>(n[8]);
    p.bottom = static_cast<int>(n[9]);
    return p;
}

std::string FormatWindowPos(const WindowPlacement& p) {
    return Format("%u,%u,%d,%d,%d,%d,%d,%d,%d,%d", p.flags, p.showCmd, p.minX, p.minY, p.maxX, p.maxY, p.left,
                  p.top, p.right, p.bottom);
}

WindowPlacement PlacementToSave(WindowPlacement current, bool maximised, bool minimised) {
    current.flags = 0;
    if (maximised) {
        current.flags = kRestoreToMaximized;
        current.showCmd = kShowMaximized;
    }
    if (minimised) current.showCmd = kShowNormal;
    return current;
}

WindowPlacement PlacementToRestore(WindowPlacement stored) {
    if (stored.showCmd == kMinimize) stored.showCmd = kRestore;
    return stored;
}

}  // namespace ph
