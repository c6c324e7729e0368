// Check benchmark: the first check of a 10,000-message POP3 account on the local dovecot, from
// the command to the messages stored and listed, split into the listing (the worker: login,
// STAT, LIST, UIDL, TOP of every message) and the completion pass (rules, storing every new
// message in one grouped commit), then the list of all mail; and a second check that finds
// nothing new. Each run starts from a new store. Medians of K runs with min and max.
//
//   check_bench [--build DIR] [--runs K] [--messages N] [--rules] [--keep-server]
//
// --rules adds a handful of ordinary rules, so the completion pass also runs them. The server
// is the tests' private dovecot (see pop3_bench for running it by hand).
#include <filesystem>
#include <memory>
#include <thread>

#include "BenchSupport.h"
#include "app/CChildFrame.h"
#include "app/MessageListFilter.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"
#include "net/Connectivity.h"
#include "rules/CMailRule.h"

namespace {

namespace fs = std::filesystem;
using ph::bench::Clock;
using ph::bench::Figures;
using ph::bench::Seconds;

[[noreturn]] void Die(const std::string& what) { ph::bench::Die("check_bench: " + what); }

using ph::bench::QuietUI;

struct Online : ph::IConnectivity {
    bool IsOnline() const override { return true; }
    bool Dial() override { return false; }
};

struct Run {
    double listing = 0, completion = 0, list = 0, total = 0, second = 0;
};

void AddRules(ph::CPostharbourDoc& doc) {
    ph::CEmailFolderNode* folder = doc.AddFolder("Filed", ph::kFolderUser, 0);
    for (const char* word : {"invoice", "meeting", "newsletter", "urgent", "holiday"}) {
        auto rule = std::make_unique<ph::CMailRule>();
        rule->m_words[ph::kFieldSubject] = {{word}, 1, 0};
        rule->CopyFolderId = folder->m_id;
        rule->CopyFolderName = folder->m_name;
        if (!doc.AddRule(std::move(rule))) Die("cannot add a rule");
    }
}

// Ticks the frame until the account's worker is done, then once more for the completion pass.
double WaitForWorker(const ph::CEmailAccount& account) {
    const auto start = Clock::now();
    while (account.m_checkingMail) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Seconds(start);
}

Run OneRun(const ph::bench::Dovecot& server, const fs::path& dir, int messages, bool rules) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    QuietUI ui;
    ph::Profile profile((dir / "bench.ini").string());
    ph::CPostharbourDoc doc(ui, profile);
    if (!doc.OpenStore((dir / "Postharbour.stg").string())) Die("cannot open the store: " + doc.OpenError());
    if (rules) AddRules(doc);
    ph::CEmailAccount::Settings s;
    s.userName = "bob";
    s.password = "bob-secret";
    s.emailName = "bob@example.org";
    s.incomingServer = server.host;
    s.incomingPort = server.plainPort;
    ph::CEmailAccount* account = doc.AddAccount(s);
    if (!account) Die("cannot add the account");

    ph::SystemClock clock;
    Online online;
    ph::CChildFrame frame(doc, clock, online);
    frame.OnTimer();  // the first tick after opening the store

    Run r;
    const auto start = Clock::now();
    frame.CheckMail(true, false);
    r.listing = WaitForWorker(*account);
    const auto pass = Clock::now();
    frame.OnTimer();
    r.completion = Seconds(pass);
    const auto list = Clock::now();
    const ph::MessageListFilter filter(ph::ViewSwitches{}, ph::DatePeriod{});
    const ph::MessageListing listing = filter.List(doc, {ph::ListSource::Account, account});
    r.list = Seconds(list);
    r.total = Seconds(start);
    if (listing.counts.listed != messages) Die(ph::Format("listed %d messages, expected %d", listing.counts.listed, messages));

    const auto again = Clock::now();
    frame.CheckMail(true, false);
    WaitForWorker(*account);
    frame.OnTimer();
    r.second = Seconds(again);
    if (static_cast<int>(doc.m_allMessages.size()) != messages) Die("the second check changed the messages");
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string build = PH_BUILD_DIR;
    int runs = 5, messages = 10000;
    bool keepServer = false, rules = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep-server") keepServer = true;
        else if (a == "--rules") rules = true;
        else if (i + 1 >= argc) Die("usage: check_bench [--build DIR] [--runs K] [--messages N] [--rules] [--keep-server]");
        else if (a == "--build") build = argv[++i];
        else if (a == "--runs") runs = std::atoi(argv[++i]);
        else if (a == "--messages") messages = std::atoi(argv[++i]);
        else Die("unknown option " + a);
    }
    const ph::bench::Dovecot server(build, keepServer);
    server.Fill("bob", messages);
    const fs::path dir = fs::temp_directory_path() / ("check_bench-" + std::to_string(getpid()));
    OneRun(server, dir, messages, rules);  // dovecot indexes the maildir on its first session

    Figures listing, completion, list, total, second;
    for (int run = 0; run < runs; ++run) {
        const Run r = OneRun(server, dir, messages, rules);
        listing.values.push_back(r.listing);
        completion.values.push_back(r.completion);
        list.values.push_back(r.list);
        total.values.push_back(r.total);
        second.values.push_back(r.second);
        std::printf("run %d: total %.3f s = listing %.3f + completion pass %.3f + list %.3f; second check %.3f s\n",
                    run + 1, r.total, r.listing, r.completion, r.list, r.second);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    std::printf("\nfirst check of %d messages%s, %d runs\n", messages, rules ? " with 5 rules" : "", runs);
    std::printf("%-36s %10s %20s\n", "", "median", "min - max");
    auto row = [](const char* name, const Figures& f) {
        std::printf("%-36s %8.3f s %9.3f - %.3f\n", name, f.Median(), f.Min(), f.Max());
    };
    row("command to stored and listed", total);
    row("  listing (worker)", listing);
    row("  completion pass (store, rules)", completion);
    row("  message list", list);
    row("second check, nothing new", second);
    return 0;
}
