// phctl pop3 probe: logs in, shows the mailbox's status, listing and unique ids, and the
// headers of the first messages. Nothing is stored and nothing is deleted.
#include "Pop3Commands.h"

#include <iostream>
#include <memory>

#include "Arguments.h"
#include "Display.h"
#include "common/Format.h"
#include "net/MailConnection.h"
#include "retrieval/Pop3Mail.h"

namespace ph::cli {
namespace {

struct ProbeOptions {
    std::string server;
    int port = 0;  // 0: the usual port of the kind of connection
    bool ssl = false;
    std::string user;
    int headers = 0;
    std::string caFile;
};

// Why a login failed, in the words of the step that failed.
std::string LoginFailure(const Pop3Mail& pop, const ProbeOptions& o) {
    const CMailConnection& conn = pop.Connection();
    const std::string where = Format("%s:%d", o.server.c_str(), o.port);
    if (conn.LastSocketError() == kSockErrTimedOut) return "timed out waiting for " + where;
    switch (pop.LastLoginStep()) {
        case Pop3Mail::LoginStep::Connect:
            if (o.ssl && conn.TlsSocket().LastErrorKind() == TlsErrorKind::Verify)
                return "TLS verification of " + where + " failed: " + conn.LastErrorText();
            return "cannot connect to " + where + ": " + conn.LastErrorText();
        case Pop3Mail::LoginStep::Greeting:
            return "no greeting from " + where + ": " + EscapeForLine(conn.LastFailureText());
        case Pop3Mail::LoginStep::User:
            return "the server refused USER: " + EscapeForLine(conn.LastFailureText());
        case Pop3Mail::LoginStep::Pass:
            return "the server refused PASS: " + EscapeForLine(conn.LastFailureText());
        case Pop3Mail::LoginStep::Done:
            break;
    }
    return "login failed";
}

int Probe(const ProbeOptions& o) {
    std::string why;
    std::optional<std::string> password = SecretFromEnvironment("PHCTL_PASSWORD", why);
    if (!password) password = SecretFromStdin("Password", why);
    if (!password) return Fail("no password: " + why);

    Pop3Mail::Servers servers;
    servers.incoming = o.server;
    servers.incomingPort = o.port;
    servers.useSSL = o.ssl;
    TlsOptions tls;
    tls.caFile = o.caFile;
    Pop3Mail pop(o.user, *password, servers, nullptr, nullptr, tls);
    if (!pop.Login()) return Fail(LoginFailure(pop, o));

    int count = 0, size = 0;
    if (!pop.Stat(count, size) || !pop.List() || !pop.Uidl()) {
        const std::string failure = pop.Connection().LastErrorText();
        pop.Disconnect();
        return Fail("listing the mailbox failed: " + failure);
    }
    std::cout << "STAT " << count << " messages, " << size << " bytes\n";
    for (int i = 1; i <= count; ++i) {
        uint32_t bytes = 0;
        std::string id;
        pop.GetMsgSize(i, bytes);
        pop.GetMsgUidl(i, id);
        std::cout << i << "  " << bytes << "  " << EscapeForLine(id) << "\n";
    }
    for (int i = 1; i <= std::min(o.headers, count); ++i) {
        CEmailMessage message(nullptr);
        if (!pop.GetHeaders(i, message)) {
            std::cerr << "phctl: the headers of message " << i << " could not be fetched\n";
            continue;
        }
        std::cout << "\n--- message " << i << "\n" << message.Header;
        if (!message.Header.empty() && message.Header.back() != '\n') std::cout << "\n";
    }
    pop.Disconnect();
    return 0;
}

}  // namespace

void AddPop3Commands(CLI::App& pop3, CommandContext& context) {
    pop3.require_subcommand(1);
    auto options = std::make_shared<ProbeOptions>();
    CLI::App& probe = *pop3.add_subcommand(
        "probe", "Log in to a POP3 mailbox and list it (password from PHCTL_PASSWORD or asked for)");
    probe.add_option("--server", options->server, "Host name or dotted address")->required();
    probe.add_option("--port", options->port, "Port (default 110, or 995 with --ssl)")->check(CLI::Range(1, 65535));
    probe.add_flag("--ssl", options->ssl, "Use TLS from the first byte");
    probe.add_option("--user", options->user, "User name")->required();
    probe.add_option("--headers", options->headers, "Show the headers of the first N messages")
        ->check(CLI::NonNegativeNumber);
    probe.add_option("--ca-file", options->caFile, "Trust the certificates in this PEM file instead of the system's")
        ->check(CLI::ExistingFile);
    probe.callback([options, &context] {
        if (options->port == 0) options->port = options->ssl ? 995 : 110;
        context.exitCode = Probe(*options);
    });
}

}  // namespace ph::cli
