// phctl prefs: the settings that travel with the store (its "Preferences" record).
#include <array>
#include <iostream>
#include <nlohmann/json.hpp>
#include <variant>

#include "Arguments.h"
#include "DocCommands.h"
#include "Display.h"
#include "common/Bytes.h"
#include "model/Autostart.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;
using P = PreferencesRecord;
using Member = std::variant<std::string P::*, int32_t P::*, bool P::*>;

struct Preference {
    const char* name;
    Member member;
    bool secret = false;  // shown only as set or empty, never taken from argv
};

// Every preference phctl shows and changes, by its stored name. Get and set both read this
// one table, so they cannot disagree about what exists.
const std::array<Preference, 33> kPreferences = {{
    {"DbPswd", &P::DbPswd, true},
    {"LogoffTimeout", &P::LogoffTimeout},
    {"AutoCheck", &P::AutoCheck},
    {"AutoCheckInterval", &P::AutoCheckInterval},
    {"CheckOnStart", &P::CheckOnStart},
    {"DialOnCheck", &P::DialOnCheck},
    {"FlashIcon", &P::FlashIcon},
    {"OpenWindowOnStart", &P::OpenWindowOnStart},
    {"PutInStartup", &P::PutInStartup},
    {"PutInTray", &P::PutInTray},
    {"ShowReallyDelEmail", &P::ShowReallyDelEmail},
    {"ShowReallyDelAcct", &P::ShowReallyDelAcct},
    {"ShowStatusOnCheck", &P::ShowStatusOnCheck},
    {"HideEmailsNotOnServer", &P::HideEmailsNotOnServer},
    {"IncludeOrigInReply", &P::IncludeOrigInReply},
    {"PreventPopups", &P::PreventPopups},
    {"AcctGrid_AcctW", &P::AcctGrid_AcctW},
    {"AcctGrid_EmailsW", &P::AcctGrid_EmailsW},
    {"AcctGrid_Emails2W", &P::AcctGrid_Emails2W},
    {"AcctGrid_Emails3W", &P::AcctGrid_Emails3W},
    {"AcctGrid_Emails4W", &P::AcctGrid_Emails4W},
    {"AcctGrid_CheckedW", &P::AcctGrid_CheckedW},
    {"AcctGrid_StatusW", &P::AcctGrid_StatusW},
    {"EmailGrid_StatusW", &P::EmailGrid_StatusW},
    {"EmailGrid_CachedW", &P::EmailGrid_CachedW},
    {"EmailGrid_ToW", &P::EmailGrid_ToW},
    {"EmailGrid_FromW", &P::EmailGrid_FromW},
    {"EmailGrid_SubjectW", &P::EmailGrid_SubjectW},
    {"EmailGrid_DateW", &P::EmailGrid_DateW},
    {"EmailGrid_AttachmentW", &P::EmailGrid_AttachmentW},
    {"EmailGrid_MsgSizeW", &P::EmailGrid_MsgSizeW},
    {"dwTimeout", &P::dwTimeout},
    {"dwTimeout2", &P::dwTimeout2},
}};

const Preference* FindPreference(std::string_view name) {
    for (const Preference& p : kPreferences)
        if (EqualsNoCase(name, p.name)) return &p;
    return nullptr;
}

std::string KnownNames() {
    std::string names;
    for (const Preference& p : kPreferences) names += std::string(names.empty() ? "" : ", ") + p.name;
    return names;
}

std::string ShownValue(const Preference& p, const P& prefs) {
    if (const auto* text = std::get_if<std::string P::*>(&p.member)) {
        if (p.secret) return (prefs.**text).empty() ? "<empty>" : "<set>";
        return EscapeForLine(prefs.**text);
    }
    if (const auto* number = std::get_if<int32_t P::*>(&p.member)) return std::to_string(prefs.**number);
    return prefs.*std::get<bool P::*>(p.member) ? "on" : "off";
}

Json JsonValue(const Preference& p, const P& prefs) {
    if (const auto* text = std::get_if<std::string P::*>(&p.member)) {
        if (p.secret) return (prefs.**text).empty() ? "<empty>" : "<set>";
        return JsonText(prefs.**text);
    }
    if (const auto* number = std::get_if<int32_t P::*>(&p.member)) return prefs.**number;
    return prefs.*std::get<bool P::*>(p.member);
}

// Puts `value` into the preference; false with `why` when it is not a value of its kind.
bool Assign(const Preference& p, std::string_view value, P& prefs, std::string& why) {
    if (const auto* text = std::get_if<std::string P::*>(&p.member)) {
        const std::optional<std::string> stored = StoredText(value);
        if (!stored) {
            why = "the value holds characters that cannot be stored";
            return false;
        }
        prefs.**text = *stored;
        return true;
    }
    if (const auto* number = std::get_if<int32_t P::*>(&p.member)) {
        const std::optional<int> n = ParseInt(value);
        if (!n) {
            why = std::string(p.name) + " takes a whole number";
            return false;
        }
        prefs.**number = *n;
        return true;
    }
    const std::optional<bool> on = ParseSwitch(value);
    if (!on) {
        why = std::string(p.name) + " takes on/off, true/false or 1/0";
        return false;
    }
    prefs.*std::get<bool P::*>(p.member) = *on;
    return true;
}

struct GetArgs {
    std::string name;
    bool json = false;
};

int Get(Session& session, const GetArgs& a) {
    const P& prefs = session.Doc().m_prefs;
    std::vector<const Preference*> shown;
    if (a.name.empty()) {
        for (const Preference& p : kPreferences) shown.push_back(&p);
    } else if (const Preference* p = FindPreference(a.name)) {
        shown.push_back(p);
    } else {
        return Fail("unknown preference " + a.name + "; known: " + KnownNames());
    }
    if (a.json) {
        Json out = Json::object();
        for (const Preference* p : shown) out[p->name] = JsonValue(*p, prefs);
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    for (const Preference* p : shown) std::cout << p->name << " = " << ShownValue(*p, prefs) << "\n";
    return 0;
}

struct SetArgs {
    CLI::App* command = nullptr;
    std::string name, value, valueEnv;
    bool valueStdin = false;
};

int Set(Session& session, const SetArgs& a) {
    const Preference* p = FindPreference(a.name);
    if (!p) return Fail("unknown preference " + a.name + "; known: " + KnownNames());
    const bool onArgv = a.command->count("VALUE") > 0;
    const bool fromEnv = a.command->count("--value-env") > 0;
    if (onArgv == (fromEnv || a.valueStdin)) return Fail("give the value either as VALUE or with --value-env/--value-stdin");
    if (p->secret && onArgv)
        return Fail(std::string(p->name) + " is not taken from the command line; use --value-env or --value-stdin");
    std::string why;
    std::optional<std::string> value;
    if (onArgv) value = a.value;
    if (fromEnv) value = SecretFromEnvironment(a.valueEnv, why);
    if (a.valueStdin) value = SecretFromStdin(p->name, why);
    if (!value) return Fail(why);

    CPostharbourDoc& doc = session.Doc();
    P changed = doc.m_prefs;
    // Secrets arrive already as stored bytes.
    if (p->secret) {
        changed.*std::get<std::string P::*>(p->member) = *value;
    } else if (!Assign(*p, *value, changed, why)) {
        return Fail(why);
    }
    const bool startupBefore = doc.m_prefs.PutInStartup;
    doc.m_prefs = changed;
    if (!doc.SavePreferences()) return Fail("the preferences could not be stored");
    if (changed.PutInStartup != startupBefore && !UpdateAutostart(changed.PutInStartup, ProgramExecutablePath()))
        return Fail("the preference is stored, but the autostart entry could not be changed");
    std::cout << p->name << " = " << ShownValue(*p, changed) << "\n";
    return 0;
}

}  // namespace

void AddPreferenceCommands(CLI::App& prefs, CommandContext& context) {
    prefs.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto getArgs = std::make_shared<GetArgs>();
    CLI::App* get = prefs.add_subcommand("get", "Show all preferences, or one");
    get->add_option("NAME", getArgs->name, "Preference name");
    get->add_flag("--json", getArgs->json, "Print JSON");
    get->callback([getArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Get(s, *getArgs); });
    });

    auto setArgs = std::make_shared<SetArgs>();
    CLI::App* set = prefs.add_subcommand("set", "Change a preference");
    setArgs->command = set;
    set->add_option("NAME", setArgs->name, "Preference name")->required();
    set->add_option("VALUE", setArgs->value, "New value (on/off for switches)");
    CLI::Option* env = set->add_option("--value-env", setArgs->valueEnv, "Take the value from this environment variable");
    CLI::Option* in = set->add_flag("--value-stdin", setArgs->valueStdin, "Read the value from stdin");
    env->excludes(in);
    set->callback([setArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Set(s, *setArgs); });
    });
}

}  // namespace ph::cli
