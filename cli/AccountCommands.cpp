// phctl accounts: list, add, change and remove mail accounts.
#include <array>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "DocCommands.h"
#include "Display.h"
#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

struct TypeName {
    const char* name;
    int code;
};
constexpr std::array<TypeName, 10> kTypeNames = {{{"yahoo", kTypeYahoo},
                                                  {"http", kTypeHttp},
                                                  {"pop3", kTypePop3},
                                                  {"aol", kTypeAol},
                                                  {"gmail", kTypeGmail},
                                                  {"mapi", kTypeMapi},
                                                  {"oe", kTypeOe},
                                                  {"ph", kTypePH},
                                                  {"km", kTypeKm},
                                                  {"none", kTypeNone}}};

std::optional<int> ParseType(std::string_view text) {
    for (const TypeName& t : kTypeNames)
        if (EqualsNoCase(text, t.name)) return t.code;
    // Codes from 1000 up mark the default account in the store; they are not types.
    const std::optional<int> code = ParseInt(text);
    if (code && *code >= 0 && *code < kDefaultAccountTypeOffset) return code;
    return std::nullopt;
}

std::string KindName(int code) {
    for (const TypeName& t : kTypeNames)
        if (t.code == code) return t.name;
    return Format("%d", code);
}

struct AccountArgs {
    CLI::App* command = nullptr;
    std::string key;
    std::string address, user, passwordEnv, type, pop3, smtp, smtp2, smtp3;
    int pop3Port = 110;
    int smtpPort = 25;
    bool passwordStdin = false;
    bool ssl = false;
    bool makeDefault = false;
    bool disabled = false;

    bool Given(const char* option) const { return command->count(option) > 0; }
};

void AddSettingOptions(CLI::App& cmd, AccountArgs& a, bool adding) {
    a.command = &cmd;
    CLI::Option* address = cmd.add_option("--address", a.address, "E-mail address of the account");
    CLI::Option* user = cmd.add_option("--user", a.user, "User name at the server");
    if (adding) {
        address->required();
        user->required();
    }
    CLI::Option* env =
        cmd.add_option("--password-env", a.passwordEnv, "Take the password from this environment variable");
    CLI::Option* in = cmd.add_flag("--password-stdin", a.passwordStdin, "Read the password from stdin");
    env->excludes(in);
    cmd.add_option("--type", a.type, "pop3|yahoo|http|gmail|aol|oe|mapi|ph|km|none, or a type number");
    cmd.add_option("--pop3", a.pop3, "Incoming (POP3) server");
    cmd.add_option("--pop3-port", a.pop3Port, "Incoming server port")->check(CLI::Range(1, 65535));
    cmd.add_option("--smtp", a.smtp, "Outgoing (SMTP) server");
    cmd.add_option("--smtp2", a.smtp2, "Second outgoing server");
    cmd.add_option("--smtp3", a.smtp3, "Third outgoing server");
    cmd.add_option("--smtp-port", a.smtpPort, "Outgoing server port")->check(CLI::Range(1, 65535));
    cmd.add_flag("--ssl,!--no-ssl", a.ssl, "Use SSL/TLS with the servers");
    cmd.add_flag(adding ? "--default" : "--default,!--no-default", a.makeDefault, "Make it the default account");
    cmd.add_flag(adding ? "--disabled" : "--disabled,!--enabled", a.disabled, "Never check this account");
}

// Copies a text option into `into` when it was given.
bool TakeText(const AccountArgs& a, const char* option, const std::string& value, std::string& into,
              std::string& why) {
    if (!a.Given(option)) return true;
    const std::optional<std::string> stored = StoredText(value);
    if (!stored) {
        why = std::string(option) + " holds characters that cannot be stored";
        return false;
    }
    into = *stored;
    return true;
}

// The settings as the options given change them.
bool ApplySettings(const AccountArgs& a, CEmailAccount::Settings& s, std::string& why) {
    if (!TakeText(a, "--address", a.address, s.emailName, why) || !TakeText(a, "--user", a.user, s.userName, why) ||
        !TakeText(a, "--pop3", a.pop3, s.incomingServer, why) ||
        !TakeText(a, "--smtp", a.smtp, s.outgoingServers[0], why) ||
        !TakeText(a, "--smtp2", a.smtp2, s.outgoingServers[1], why) ||
        !TakeText(a, "--smtp3", a.smtp3, s.outgoingServers[2], why))
        return false;
    if (a.Given("--type")) {
        const std::optional<int> type = ParseType(a.type);
        if (!type) {
            why = "unknown account type " + a.type;
            return false;
        }
        s.type = *type;
    }
    if (a.Given("--pop3-port")) s.incomingPort = a.pop3Port;
    if (a.Given("--smtp-port")) s.outgoingPort = a.smtpPort;
    if (a.Given("--ssl")) s.useSSL = a.ssl;
    std::optional<std::string> password;
    if (a.Given("--password-env")) password = SecretFromEnvironment(a.passwordEnv, why);
    if (a.passwordStdin) password = SecretFromStdin("Password", why);
    if ((a.Given("--password-env") || a.passwordStdin) && !password) return false;
    if (password) s.password = *password;
    return true;
}

CEmailAccount* DefaultAccount(const CPostharbourDoc& doc) {
    for (const auto& account : doc.m_accounts)
        if (account->m_isDefault) return account.get();
    return nullptr;
}

// The default mark and the disabled switch as given, written to the records they touch.
bool ApplyMarks(CPostharbourDoc& doc, const AccountArgs& a, CEmailAccount& account) {
    bool ok = true;
    if (a.Given("--disabled")) {
        account.m_forceDisabled = a.disabled;
        account.m_allowCheckmail = !a.disabled;
    }
    if (a.Given("--default")) {
        CEmailAccount* previous = DefaultAccount(doc);
        ok = doc.SetDefaultAccount(a.makeDefault ? &account : (previous == &account ? nullptr : previous));
    }
    return doc.UpdateAccount(account) && ok;
}

Json AccountJson(const CEmailAccount& a) {
    Json servers = Json::array();
    for (const std::string& s : a.m_smtpServers) servers.push_back(JsonText(s));
    return Json{{"id", a.m_id},
                {"address", JsonText(a.m_emailName)},
                {"shownAddress", JsonText(a.ShownAddress())},
                {"type", a.m_type},
                {"kind", KindName(a.m_type)},
                {"typeName", JsonText(a.GetTypeName())},
                {"user", JsonText(a.m_userName)},
                {"passwordSet", !a.m_password.empty()},
                {"pop3Server", JsonText(a.m_pop3Server)},
                {"pop3Port", a.m_pop3Port},
                {"smtpServers", servers},
                {"smtpPort", a.m_smtpPort},
                {"ssl", a.m_useSSL},
                {"order", a.m_orderNum},
                {"allowCheckmail", a.m_allowCheckmail},
                {"forceDisabled", a.m_forceDisabled},
                {"default", a.m_isDefault}};
}

void PrintAccount(const CEmailAccount& a) {
    const char* yes = "yes";
    const char* no = "no";
    std::cout << a.m_id << "  " << EscapeForLine(a.ShownAddress()) << "  [" << EscapeForLine(a.GetTypeName())
              << "]\n";
    std::cout << "    address: " << EscapeForLine(a.m_emailName) << "  type: " << a.m_type << " ("
              << KindName(a.m_type) << ")  user: " << EscapeForLine(a.m_userName)
              << "  password: " << (a.m_password.empty() ? "empty" : "set") << "\n";
    std::cout << "    pop3: " << EscapeForLine(a.m_pop3Server) << ":" << a.m_pop3Port << "  smtp:";
    for (const std::string& s : a.m_smtpServers)
        if (!s.empty()) std::cout << " " << EscapeForLine(s);
    std::cout << " :" << a.m_smtpPort << "  ssl: " << (a.m_useSSL ? yes : no) << "\n";
    std::cout << "    order: " << a.m_orderNum << "  checking allowed: " << (a.m_allowCheckmail ? yes : no)
              << "  disabled: " << (a.m_forceDisabled ? yes : no) << "  default: " << (a.m_isDefault ? yes : no)
              << "\n";
}

int List(Session& session, bool json) {
    const CPostharbourDoc& doc = session.Doc();
    if (json) {
        Json out = {{"accounts", Json::array()}};
        for (const auto& account : doc.m_accounts) out["accounts"].push_back(AccountJson(*account));
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    for (const auto& account : doc.m_accounts) PrintAccount(*account);
    return 0;
}

int Add(Session& session, const AccountArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    CEmailAccount::Settings settings;
    std::string why;
    if (!ApplySettings(a, settings, why)) return Fail(why);
    if (doc.FindAccountByAddress(settings.emailName)) return Fail("an account " + a.address + " exists already");
    CEmailAccount* account = doc.AddAccount(settings);
    if (!account) return Fail("the account could not be stored");
    if (!ApplyMarks(doc, a, *account)) return Fail("the account was added but its marks could not be stored");
    std::cout << "added account " << account->m_id << " " << EscapeForLine(account->m_emailName) << "\n";
    return 0;
}

int Set(Session& session, const AccountArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailAccount* account = ResolveAccount(doc, a.key, why);
    if (!account) return Fail(why);
    CEmailAccount::Settings settings = account->CurrentSettings();
    if (!ApplySettings(a, settings, why)) return Fail(why);
    if (!doc.ChangeAccountSettings(*account, settings)) return Fail("an account " + a.address + " exists already");
    if (!ApplyMarks(doc, a, *account)) return Fail("the account could not be stored");
    std::cout << "changed account " << account->m_id << " " << EscapeForLine(account->m_emailName) << "\n";
    return 0;
}

int Remove(Session& session, const std::string& key) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailAccount* account = ResolveAccount(doc, key, why);
    if (!account) return Fail(why);
    const int id = account->m_id;
    const std::string address = account->m_emailName;
    if (!doc.DeleteAccount(*account)) return Fail("the account could not be removed completely");
    std::cout << "removed account " << id << " " << EscapeForLine(address) << "\n";
    return 0;
}

}  // namespace

void AddAccountCommands(CLI::App& accounts, CommandContext& context) {
    accounts.require_subcommand(1);
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto json = std::make_shared<bool>(false);
    CLI::App* list = accounts.add_subcommand("list", "List the accounts (never their passwords)");
    list->add_flag("--json", *json, "Print JSON");
    list->callback([json, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *json); });
    });

    auto addArgs = std::make_shared<AccountArgs>();
    CLI::App* add = accounts.add_subcommand("add", "Add an account");
    AddSettingOptions(*add, *addArgs, true);
    add->callback([addArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Add(s, *addArgs); });
    });

    auto setArgs = std::make_shared<AccountArgs>();
    CLI::App* set = accounts.add_subcommand("set", "Change an account");
    set->add_option("ACCOUNT", setArgs->key, "Account id or address")->required();
    AddSettingOptions(*set, *setArgs, false);
    set->callback([setArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Set(s, *setArgs); });
    });

    auto removeKey = std::make_shared<std::string>();
    CLI::App* remove = accounts.add_subcommand("remove", "Remove an account with its messages and folders");
    remove->add_option("ACCOUNT", *removeKey, "Account id or address")->required();
    remove->callback([removeKey, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Remove(s, *removeKey); });
    });
}

}  // namespace ph::cli
