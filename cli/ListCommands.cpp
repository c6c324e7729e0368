// phctl list: the messages the message list would show for one tree item, with its status
// line. The view switches come from the profile as the desktop program keeps them; switches
// and periods given here hold for this run only and are never written back.
#include <array>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "Arguments.h"
#include "Display.h"
#include "DocCommands.h"
#include "app/MessageListFilter.h"

namespace ph::cli {
namespace {

using Json = nlohmann::ordered_json;

struct ListArgs {
    std::string account, folder;
    bool all = false, hidden = false, search = false, outbox = false, sent = false;
    std::optional<int> period;
    std::string from, to, now;
    std::array<std::string, 5> switches;  // in the order of kViewSwitches; empty: the profile's
    bool json = false;
};

// The option of each view switch, in the order of kViewSwitches.
constexpr std::array<const char*, 5> kSwitchOptions = {
    "--show-not-on-server", "--show-old", "--show-read", "--show-unread", "--show-hidden"};

bool ReadDate(const std::string& option, const std::string& text, DateTime& out, std::string& why) {
    const std::optional<std::string> stored = StoredText(text);
    if (stored && out.Parse(*stored)) return true;
    why = option + ": cannot read the date " + EscapeForLine(text) +
          " (for example 2004-03-05 or \"March 05, 2004 17:02:09\")";
    return false;
}

bool ReadSwitches(const ListArgs& a, const Profile& profile, ViewSwitches& out, std::string& why) {
    out = ReadViewSwitches(profile);
    for (size_t i = 0; i < kViewSwitches.size(); ++i) {
        if (a.switches[i].empty()) continue;
        const std::optional<bool> on = ParseSwitch(a.switches[i]);
        if (!on) {
            why = std::string(kSwitchOptions[i]) + " takes 0 or 1, not " +
                  EscapeForLine(a.switches[i]);
            return false;
        }
        out.*kViewSwitches[i].member = *on;
    }
    return true;
}

bool ReadPeriod(const ListArgs& a, const CPostharbourDoc& doc, DatePeriod& out, std::string& why) {
    const bool custom = !a.from.empty() || !a.to.empty();
    if (custom || a.period == kPeriodCustom) {
        if (a.from.empty() || a.to.empty()) {
            why = "a custom period needs both --from and --to";
            return false;
        }
        if (a.period && *a.period != kPeriodCustom) {
            why = "--from and --to make a custom period; leave out --period or give --period 9";
            return false;
        }
        DateTime start, end;
        if (!ReadDate("--from", a.from, start, why) || !ReadDate("--to", a.to, end, why))
            return false;
        if (start > end) {
            why = "--from is later than --to";
            return false;
        }
        out = CustomPeriod(start, end);
        return true;
    }
    if (!a.period) {
        out = DocumentPeriod(doc);
        return true;
    }
    DateTime now = DateTime::Now();
    if (!a.now.empty() && !ReadDate("--now", a.now, now, why)) return false;
    const std::optional<DatePeriod> preset = PresetPeriod(*a.period, now);
    if (!preset) {
        why = "the clock gives no usable date to count the period back from; give --now";
        return false;
    }
    out = *preset;
    return true;
}

bool ReadSelection(const ListArgs& a, Session& session, ListSelection& out, std::string& why) {
    CPostharbourDoc& doc = session.Doc();
    out.underHiddenNode = a.hidden && (!a.account.empty() || !a.folder.empty());
    if (!a.account.empty()) {
        out.source = ListSource::Account;
        out.account = ResolveAccount(doc, a.account, why);
        return out.account != nullptr;
    }
    if (!a.folder.empty()) {
        out.source = ListSource::Folder;
        out.folder = ResolveFolder(doc, a.folder, why);
        return out.folder != nullptr;
    }
    if (a.outbox || a.sent) {
        out.source = a.outbox ? ListSource::Outbox : ListSource::SentItems;
        return true;
    }
    if (a.search) {
        // Each phctl run is a process of its own: the results are those of the search kept last.
        out.source = ListSource::SearchResults;
        return RerunLastSearch(session, why);
    }
    out.source = a.hidden ? ListSource::HiddenMail : ListSource::AllMail;
    return true;
}

// One letter per mark, "-" where it is clear: on server, new, read on server, hidden, filed
// away from the root list.
std::string Marks(const CEmailMessage& m) {
    std::string marks = "-----";
    const std::array<std::pair<bool, char>, 5> letters = {{{m.IsOnServer, 'S'},
                                                           {m.IsNew, 'N'},
                                                           {m.IsRead, 'R'},
                                                           {m.IsHidden, 'H'},
                                                           {m.IsNotInRoot, 'F'}}};
    for (size_t i = 0; i < letters.size(); ++i)
        if (letters[i].first) marks[i] = letters[i].second;
    return marks;
}

struct Row {
    std::string storeId, kind, date, from, subject, marks;
    int size = 0;
};

Row RowOf(const CPostharbourDoc& doc, const ListedItem& item) {
    if (const CEmailMessage* m = item.message)
        return {m->m_storeId, "message", m->SentDate.ToStoreText(), m->From, m->Subject,
                Marks(*m),    m->MsgSize};
    const OutgoingMessage& o = *item.outgoing;
    const CEmailAccount* sender = doc.FindAccount(o.m_rec.AcctID);
    return {std::to_string(o.m_id),
            o.m_inOutbox ? "outbox" : "sent",
            o.m_rec.SentDate.ToStoreText(),
            sender ? sender->ShownAddress() : std::string(),
            o.m_rec.Subject,
            "-----",
            o.m_rec.MsgSize};
}

void Print(const CPostharbourDoc& doc, const MessageListing& listing, const DatePeriod& period,
           bool json) {
    const std::string status = StatusLine(listing.counts);
    if (!json) {
        for (const ListedItem& item : listing.items) {
            const Row r = RowOf(doc, item);
            std::cout << r.storeId << "  " << r.date << "  " << EscapeForLine(r.from) << "  "
                      << EscapeForLine(r.subject) << "  " << r.size << "  " << r.marks << "\n";
        }
        std::cout << status << "\n";
        return;
    }
    Json out = {{"period",
                 {{"mode", period.mode},
                  {"name", PeriodMenuText(period.mode)},
                  {"start", period.start.ToStoreText()},
                  {"end", period.end.ToStoreText()}}},
                {"rows", Json::array()},
                {"counts",
                 {{"listed", listing.counts.listed},
                  {"new", listing.counts.newCount},
                  {"newRead", listing.counts.newAndRead}}},
                {"status", status}};
    for (const ListedItem& item : listing.items) {
        const Row r = RowOf(doc, item);
        out["rows"].push_back({{"storeId", r.storeId},
                               {"kind", r.kind},
                               {"date", r.date},
                               {"from", JsonText(r.from)},
                               {"subject", JsonText(r.subject)},
                               {"size", r.size},
                               {"marks", r.marks}});
    }
    std::cout << out.dump(2) << "\n";
}

int List(Session& session, const ListArgs& a) {
    std::string why;
    ViewSwitches switches;
    DatePeriod period;
    ListSelection selection;
    if (!ReadSwitches(a, session.GetProfile(), switches, why) ||
        !ReadPeriod(a, session.Doc(), period, why) || !ReadSelection(a, session, selection, why))
        return Fail(why);
    const MessageListFilter filter(switches, period);
    Print(session.Doc(), filter.List(session.Doc(), selection), period, a.json);
    return 0;
}

}  // namespace

void AddListCommand(CLI::App& list, CommandContext& context) {
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;
    auto args = std::make_shared<ListArgs>();

    CLI::Option* account =
        list.add_option("--account", args->account, "List this account (id or address)");
    CLI::Option* folder =
        list.add_option("--folder", args->folder, "List this folder (id or path)");
    CLI::Option* all = list.add_flag("--all", args->all, "List all active mail (the default)");
    CLI::Option* search =
        list.add_flag("--search", args->search, "List the results of the last phctl search");
    CLI::Option* hidden = list.add_flag(
        "--hidden", args->hidden,
        "List the inactive (hidden) mail; with --account or --folder, that item under it");
    CLI::Option* outbox = list.add_flag("--outbox", args->outbox, "List the messages waiting to be sent");
    CLI::Option* sent = list.add_flag("--sent", args->sent, "List the sent items");
    account->excludes(folder, all, search, outbox, sent);
    folder->excludes(all, search, outbox, sent);
    all->excludes(search, hidden, outbox, sent);
    search->excludes(hidden, outbox, sent);
    outbox->excludes(sent, hidden);
    sent->excludes(hidden);

    CLI::Option* period =
        list.add_option("--period", args->period,
                        "Date period: 0 All Dates, 1 Last 31 Days, 2 Last 7 Days, 3 Last 24 Hours, "
                        "4 Current Week, "
                        "5 Last Week, 6 Current Month, 7 Last Month, 8 Last 60 Days, 9 Custom "
                        "(with --from and --to)")
            ->type_name("MODE")
            ->check(CLI::Range(static_cast<int>(kPeriodAllDates), static_cast<int>(kPeriodCustom)));
    list.add_option("--from", args->from,
                    "Start of a custom period (a date alone means its midnight)")
        ->type_name("DATE");
    list.add_option("--to", args->to, "End of a custom period, included")->type_name("DATE");
    list.add_option("--now", args->now,
                    "Count the period back from this moment instead of the clock's")
        ->type_name("DATE")
        ->needs(period);
    for (size_t i = 0; i < kSwitchOptions.size(); ++i) {
        const ViewSwitchInfo& info = kViewSwitches[i];
        list.add_option(kSwitchOptions[i], args->switches[i],
                        std::string("0 or 1 for this run, instead of the profile's ") + info.key +
                            (info.help ? std::string(": ") + info.help : std::string()))
            ->type_name("0|1");
    }
    list.add_flag("--json", args->json, "Print JSON");
    list.callback([args, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return List(s, *args); });
    });
}

}  // namespace ph::cli
