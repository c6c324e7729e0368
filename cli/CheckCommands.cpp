// phctl check and phctl watch: the frame's check command and timer, run in the foreground.
// phctl ticks four times a second instead of once, so that a short check does not wait out
// whole seconds; the frame's rules count time by the clock, not by ticks.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "Arguments.h"
#include "CheckCommands.h"
#include "Display.h"
#include "app/CChildFrame.h"
#include "common/Clock.h"
#include "net/Connectivity.h"

namespace ph::cli {
namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(250);

// Set by SIGINT/SIGTERM: the only state a signal handler may touch.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// Ctrl-C asks the frame to stop between steps; the run then ends as a finished check would.
class InterruptGuard {
public:
    InterruptGuard() {
        g_interrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    bool Interrupted() const { return g_interrupted != 0; }

private:
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// Shows the status rows: redrawn in place on a terminal, one line per changed row otherwise.
class RowPrinter {
public:
    explicit RowPrinter(std::FILE* out) : m_out(out), m_terminal(::isatty(::fileno(out)) == 1) {}

    void Show(const std::vector<CheckStatusRow>& rows) {
        if (rows == m_shown) return;
        if (m_terminal && !m_shown.empty()) std::fprintf(m_out, "\x1b[%zuA", m_shown.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            if (!m_terminal && i < m_shown.size() && rows[i] == m_shown[i]) continue;
            std::fprintf(m_out, "%s%-32s %6s %6s  %s\n", m_terminal ? "\x1b[2K" : "",
                         EscapeForLine(rows[i].account).c_str(), rows[i].emails.c_str(),
                         rows[i].percentDone.c_str(), rows[i].status.c_str());
        }
        std::fflush(m_out);
        m_shown = rows;
    }

private:
    std::FILE* m_out;
    bool m_terminal;
    std::vector<CheckStatusRow> m_shown;
};

bool Failed(const CEmailAccount& account) {
    const int count = account.GetMsgCount();
    return count == kCountBadPassword || count == kCountNoConnection || count == kCountNoResult;
}

int Check(Session& session, bool all, const std::vector<std::string>& names) {
    CPostharbourDoc& doc = session.Doc();
    std::vector<CEmailAccount*> chosen;
    for (const std::string& name : names) {
        std::string why;
        CEmailAccount* account = ResolveAccount(doc, name, why);
        if (!account) return Fail(why);
        if (!account->m_allowCheckmail) return Fail(EscapeForLine(name) + " is not an active account");
        chosen.push_back(account);
    }
    if (names.empty()) {
        for (const auto& account : doc.m_accounts)
            if (account->m_allowCheckmail) chosen.push_back(account.get());
        if (chosen.empty()) {
            // Nothing failed: a new store simply has nothing to check yet.
            std::cerr << "phctl: there is no active account to check (add one with phctl accounts add)\n";
            return 0;
        }
    }

    SystemClock clock;
    SystemConnectivity connectivity;
    CChildFrame frame(doc, clock, connectivity);
    InterruptGuard interrupt;
    RowPrinter rows(stdout);
    frame.CheckMail(all || names.empty(), /*interactive=*/true, names.empty() ? nullptr : &chosen);
    const auto busy = [&] {
        for (const CEmailAccount* a : chosen)
            if (a->m_checkingMail || a->m_checkFinished || a->m_worker) return true;
        return false;
    };
    bool abortAsked = false;
    while (busy()) {
        std::this_thread::sleep_for(kTickPeriod);
        if (interrupt.Interrupted() && !abortAsked) {
            frame.AbortCheck();
            abortAsked = true;
        }
        frame.OnTimer();
        rows.Show(frame.StatusRows());
    }
    rows.Show(frame.StatusRows());
    std::cout << frame.TraySummary().second << "\n";
    if (abortAsked) return 130;
    for (const CEmailAccount* account : chosen)
        if (Failed(*account)) return 1;
    return 0;
}

int Watch(Session& session) {
    SystemClock clock;
    SystemConnectivity connectivity;
    CChildFrame frame(session.Doc(), clock, connectivity);
    InterruptGuard interrupt;
    RowPrinter rows(stdout);
    bool wasBusy = false;
    while (!interrupt.Interrupted()) {
        frame.OnTimer();
        rows.Show(frame.StatusRows());
        // What came in is told when a check has been taken over: before the first one there
        // is nothing to tell, and while one runs its count is not known yet.
        const bool busy = frame.AnyAccountBusy();
        if (wasBusy && !busy) std::cout << frame.TraySummary().second << std::endl;
        wasBusy = busy;
        std::this_thread::sleep_for(kTickPeriod);
    }
    // Whatever a check found is stored before the program ends.
    frame.AbortCheck();
    while (frame.AnyAccountBusy()) {
        std::this_thread::sleep_for(kTickPeriod);
        frame.OnTimer();
    }
    return 0;
}

}  // namespace

void AddCheckCommands(CLI::App& app, CommandContext& context) {
    struct CheckArgs {
        bool all = false;
        std::vector<std::string> names;
    };
    auto args = std::make_shared<CheckArgs>();
    CLI::App& check = *app.add_subcommand("check", "Check mail accounts: all active ones, or those named");
    check.add_flag("--all", args->all, "Every active account (the default)");
    check.add_option("accounts", args->names, "Accounts by id or address");
    check.callback([args, &context] {
        if (args->all && !args->names.empty()) {
            context.exitCode = Fail("--all and account names exclude each other");
            return;
        }
        context.exitCode =
            WithDocument(context.global, [&](Session& s) { return Check(s, args->all, args->names); });
    });

    CLI::App& watch = *app.add_subcommand(
        "watch", "Run the program's timer in the foreground: check on start and automatically, until Ctrl-C");
    watch.callback([&context] { context.exitCode = WithDocument(context.global, Watch); });
}

}  // namespace ph::cli
