// POP3 benchmark: the first listing of a 10,000-message mailbox on the local dovecot, plain and
// over TLS, by our client (Login, GetAllHeaders, Disconnect on an account with no messages
// yet, so every header is fetched) and, side by side in the same run, by the standard
// Python poplib loop of bench/pop3_poplib.py (login, STAT, LIST, UIDL, TOP n 0 for every
// message, QUIT). Also the loopback floor: NOOPs per second one after the other on one
// logged-in connection, from our client and from poplib. Medians of K runs with min and max.
//
//   pop3_bench [--build DIR] [--runs K] [--messages N] [--noops N] [--window W] [--keep-server]
//
// --window sets how many new messages' commands our client sends ahead to a server that
// announces PIPELINING (dovecot does); 0 keeps the client's own choice.
//
// The server is the tests' private dovecot, started with tools/dovecot-start on DIR (default:
// this build tree) and stopped with tools/dovecot-stop at the end unless --keep-server; bob's
// maildir is filled with tools/fill-maildir (about 2 s for 10,000 messages). By hand:
//   tools/dovecot-start build/release
//   tools/fill-maildir build/release bob 10000 --clear
//   build/release/bench/pop3_bench --keep-server ...   (finds the running server's ports.env)
//   tools/dovecot-stop build/release
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "common/Format.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "retrieval/Pop3Mail.h"

namespace {

using ph::Format;
using ph::bench::Clock;
using ph::bench::Figures;
using ph::bench::Quoted;
using ph::bench::RunForLine;
using ph::bench::Seconds;

const std::string kUser = "bob";
const std::string kPassword = "bob-secret";
int g_window = 0;

[[noreturn]] void Die(const std::string& what) { ph::bench::Die("pop3_bench: " + what); }

struct NoDocument : ph::IMailContext {
    bool DeleteMessageRecord(ph::CEmailMessage&) override { return true; }
    bool AbortCheckmail() const override { return false; }
};

using Server = ph::bench::Dovecot;

std::unique_ptr<ph::CEmailAccount> Account(const Server& server, bool tls, NoDocument& context) {
    ph::CEmailAccount::Settings s;
    s.userName = kUser;
    s.password = kPassword;
    s.emailName = "bob@example.org";
    // The certificate names localhost; the address is the same loopback one either way.
    s.incomingServer = tls ? "localhost" : server.host;
    s.incomingPort = tls ? server.tlsPort : server.plainPort;
    s.useSSL = tls;
    s.type = ph::kTypePop3;
    return std::make_unique<ph::CEmailAccount>(1, s, &context);
}

// One first listing by our client: a new account, so nothing is known and every header comes.
double OurListing(const Server& server, bool tls, int expected) {
    NoDocument context;
    auto account = Account(server, tls, context);
    ph::Pop3Mail& pop = *account->AccessAs<ph::Pop3Mail>();
    if (g_window > 0) pop.SetPipelineWindow(g_window);
    const auto start = Clock::now();
    if (!pop.Login()) Die("login failed: " + pop.Connection().LastErrorText());
    if (!pop.GetAllHeaders()) Die("GetAllHeaders failed");
    pop.Disconnect();
    const double seconds = Seconds(start);
    if (static_cast<int>(pop.m_messages.size()) != expected || account->m_newMsgCount != expected)
        Die(ph::Format("our listing found %zu messages, expected %d", pop.m_messages.size(), expected));
    for (const auto& m : pop.m_messages)
        if (m->Header.empty() || m->Subject.empty()) Die("a message without headers: " + m->MsgNumber);
    return seconds;
}

std::string PythonCommand(const std::string& mode, const Server& server, bool tls, const std::string& extra = "") {
    return Format("/usr/bin/python3 %s %s %s %d %s %s %s%s", Quoted(PH_SOURCE_DIR "/bench/pop3_poplib.py").c_str(),
                  mode.c_str(), tls ? "localhost" : server.host.c_str(), tls ? server.tlsPort : server.plainPort,
                  kUser.c_str(), kPassword.c_str(), extra.c_str(),
                  tls ? (" --tls " + Quoted(server.ca)).c_str() : "");
}

double PythonListing(const Server& server, bool tls, int expected) {
    const std::string line = RunForLine(PythonCommand("listing", server, tls));
    double seconds = 0;
    int messages = 0;
    if (std::sscanf(line.c_str(), "%lf %d", &seconds, &messages) != 2 || messages != expected)
        Die("the poplib loop said: " + line);
    return seconds;
}

// NOOPs one after the other on one logged-in connection of our client, per second.
double OurNoops(const Server& server, bool tls, int count) {
    NoDocument context;
    auto account = Account(server, tls, context);
    ph::Pop3Mail& pop = *account->AccessAs<ph::Pop3Mail>();
    if (!pop.Login()) Die("login failed: " + pop.Connection().LastErrorText());
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!pop.Noop()) Die("NOOP failed");
    const double seconds = Seconds(start);
    pop.Disconnect();
    return count / seconds;
}

double PythonNoops(const Server& server, bool tls, int count) {
    const std::string line = RunForLine(PythonCommand("noop", server, tls, std::to_string(count)));
    double seconds = 0;
    if (std::sscanf(line.c_str(), "%lf", &seconds) != 1 || seconds <= 0) Die("the poplib NOOP loop said: " + line);
    return count / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::string build = PH_BUILD_DIR;
    int runs = 5, messages = 10000, noops = 20000;
    bool keepServer = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep-server") keepServer = true;
        else if (i + 1 >= argc) Die("usage: pop3_bench [--build DIR] [--runs K] [--messages N] [--noops N] [--window W] [--keep-server]");
        else if (a == "--build") build = argv[++i];
        else if (a == "--runs") runs = std::atoi(argv[++i]);
        else if (a == "--messages") messages = std::atoi(argv[++i]);
        else if (a == "--noops") noops = std::atoi(argv[++i]);
        else if (a == "--window") g_window = std::atoi(argv[++i]);
        else Die("unknown option " + a);
    }
    const Server server(build, keepServer);
    // The account-backed client trusts the system store, which this points at the test CA.
    setenv("SSL_CERT_FILE", server.ca.c_str(), 1);

    const auto fillStart = Clock::now();
    server.Fill(kUser, messages);
    std::printf("filled %d messages in %.1f s; %d runs, %d NOOPs a run\n", messages, Seconds(fillStart), runs, noops);
    std::fflush(stdout);

    // Dovecot builds its index of the maildir on the first session; that is not the client's.
    OurListing(server, false, messages);

    Figures ourPlain, ourTls, pyPlain, pyTls, ourNoop, ourNoopTls, pyNoop;
    for (int run = 0; run < runs; ++run) {
        // Interleaved so that anything else the machine does falls on all columns alike.
        ourPlain.values.push_back(OurListing(server, false, messages));
        pyPlain.values.push_back(PythonListing(server, false, messages));
        ourTls.values.push_back(OurListing(server, true, messages));
        pyTls.values.push_back(PythonListing(server, true, messages));
        ourNoop.values.push_back(OurNoops(server, false, noops));
        ourNoopTls.values.push_back(OurNoops(server, true, noops));
        pyNoop.values.push_back(PythonNoops(server, false, noops));
        std::printf("run %d: ours %.3f s / TLS %.3f s, poplib %.3f s / TLS %.3f s, NOOP/s ours %.0f / TLS %.0f, "
                    "poplib %.0f\n",
                    run + 1, ourPlain.values.back(), ourTls.values.back(), pyPlain.values.back(),
                    pyTls.values.back(), ourNoop.values.back(), ourNoopTls.values.back(), pyNoop.values.back());
        std::fflush(stdout);
    }

    std::printf("\nfirst listing of %d messages (Login, GetAllHeaders, Disconnect), %d runs\n", messages, runs);
    std::printf("%-34s %12s %22s\n", "", "median", "min - max");
    auto row = [](const char* name, const Figures& f, const char* unit, int decimals) {
        std::printf("%-34s %10.*f %s %9.*f - %.*f\n", name, decimals, f.Median(), unit, decimals, f.Min(), decimals,
                    f.Max());
    };
    row("ours, plain", ourPlain, "s", 3);
    row("ours, TLS", ourTls, "s", 3);
    row("poplib loop, plain", pyPlain, "s", 3);
    row("poplib loop, TLS", pyTls, "s", 3);
    row("NOOP/s, ours (CMailConnection)", ourNoop, " ", 0);
    row("NOOP/s, ours over TLS", ourNoopTls, " ", 0);
    row("NOOP/s, poplib, plain", pyNoop, " ", 0);

    return 0;
}
