// Rules benchmark: 20 mixed rules (simple word lists and single conditions, advanced
// expressions) applied to every message of 20 accounts, with ApplyRulesToEach over each
// account's list (as the completion pass of a check runs an account's new mail) and with
// ApplyRules message by message, and one search over the same messages. The messages are made in memory, as new mail is before it is stored;
// their fields have the lengths of ordinary mail. The rules that file messages match only a
// small share, and filing a message twice into a folder does nothing, so every run does the
// same work.
//
//   rules_bench [--dir DIR] [--runs K] [--messages N]
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/MailSearch.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "model/CEmailMessage.h"
#include "model/Profile.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// This thread's processor time. On a machine shared with other work the wall time also
// counts the time others had the processor; the processor time leaves that out, which keeps
// runs of an old and a new build comparable there.
double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The wall and processor times of each run of one measurement.
struct Runs {
    std::vector<double> wall, cpu;
    template <class Work>
    void Time(Work&& work) {
        const Clock::time_point wallStart = Clock::now();
        const double cpuStart = ThreadCpuMs();
        work();
        cpu.push_back(ThreadCpuMs() - cpuStart);
        wall.push_back(Ms(wallStart));
    }
};

using ph::bench::QuietUI;

// Ordinary words; none of them is a word the rules look for, so the rules match only where a
// message is given one of those on purpose.
const char* const kWords[] = {
    "the", "of", "and", "to", "in", "is", "that", "for", "it", "as", "was", "with", "be", "by", "on",
    "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have", "an", "had", "they",
    "you", "were", "their", "one", "all", "we", "can", "her", "has", "there", "been", "if", "more",
    "when", "will", "would", "who", "so", "no", "about", "people", "time", "year", "work", "week",
    "please", "thanks", "regards", "update", "plan", "schedule", "office", "document", "draft",
    "review", "team", "client", "budget", "delivery", "order", "shipment", "weather", "travel",
    "train", "coffee", "monday", "tuesday", "friday", "morning", "evening", "question", "answer",
    "number", "change", "list", "point", "details", "attached", "below", "above", "soon", "later",
    "today", "tomorrow", "yesterday", "call", "phone", "address", "street", "city", "garden",
};
const char* const kFirst[] = {"Anna", "Bernd", "Chloe", "David", "Elena", "Farid", "Greta", "Hugo",
                              "Ines", "Jonas", "Klara", "Lukas", "Mira", "Noah", "Olga", "Pavel"};
const char* const kLast[] = {"Fischer", "Novak", "Larsen", "Moreau", "Rossi", "Kowalski",
                             "Jensen", "Schmidt", "Dubois", "Berg", "Costa", "Wagner"};
const char* const kDomains[] = {"example.com", "mail.example.net", "corp.example", "uni.example.edu",
                                "shop.example"};

class Maker {
public:
    explicit Maker(unsigned seed) : m_rng(seed) {}

    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }
    template <class T, size_t N>
    const char* Pick(const T (&items)[N]) { return items[m_rng() % N]; }

    std::string Address() {
        std::string a = Pick(kFirst);
        a += '.';
        a += Pick(kLast);
        a += '@';
        a += Pick(kDomains);
        for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return a;
    }
    // About `length` characters of words, in a string of just that size, as texts read from
    // the store or the parser are.
    std::string Words(size_t length) {
        m_buffer.clear();
        while (m_buffer.size() < length) {
            if (!m_buffer.empty()) m_buffer += m_buffer.size() % 70 < 8 ? '\n' : ' ';
            m_buffer += Pick(kWords);
        }
        return m_buffer;
    }

private:
    std::mt19937 m_rng;
    std::string m_buffer;
};

// A message with fields of ordinary length: From about 30 characters, Subject 50, To and Cc
// 40, a plain text of 2 KB and for every tenth message an HTML text as well. A few of them
// carry what one of the rules looks for.
void Fill(ph::CEmailMessage& m, Maker& mk, int i) {
    m.FromAddress = mk.Chance(0.01)    ? "alice@example.com"
                    : mk.Chance(0.004) ? "statements@bank.example"
                    : mk.Chance(0.005) ? "newsletter@shop.example"
                                       : mk.Address();
    m.From = ph::Format("%s <%s>", mk.Pick(kFirst), m.FromAddress.c_str());
    m.Subject = mk.Words(40);
    if (mk.Chance(0.3)) m.Subject = "Re: " + m.Subject;
    if (mk.Chance(0.01)) m.Subject += " invoice";
    if (mk.Chance(0.003)) m.Subject = "URGENT " + m.Subject;
    if (mk.Chance(0.002)) m.Subject += " harbour";
    if (m.FromAddress == "statements@bank.example") m.Subject = "Your statement " + m.Subject;
    m.To = mk.Chance(0.01)    ? "bob@example.com"
           : mk.Chance(0.003) ? "sales@shop.example"
           : mk.Chance(0.005) ? "me@example.org"
                              : mk.Address() + ", " + mk.Address();
    m.Cc = mk.Chance(0.4) ? mk.Address() + ", " + mk.Address() : std::string();
    if (mk.Chance(0.003)) m.Cc += ", boss@corp.example";
    m.PlainText = mk.Words(2000);
    if (mk.Chance(0.005)) m.PlainText += "\nTo unsubscribe from this list, reply.";
    if (mk.Chance(0.01)) m.PlainText.insert(m.PlainText.size() / 2, " the meeting agenda and minutes ");
    if (i % 10 == 0) m.HtmlText = "<html><body><p>" + m.PlainText + "</p></body></html>";
    m.HasAttachment = mk.Chance(0.15);
    if (m.HasAttachment) m.AttachmentType = mk.Chance(0.3) ? "pdf" : "jpg";
    m.MsgSize = static_cast<int32_t>(m.PlainText.size() + m.HtmlText.size() + 800 +
                                     (m.HasAttachment ? 50000 + i % 400000 : 0));
    if (mk.Chance(0.001)) m.MsgSize = 8 * 1024 * 1024;
    m.IsOnServer = true;
}

std::unique_ptr<ph::CMailRule> Simple(const char* name, int field, std::vector<std::string> words,
                                      int mode = 1) {
    auto r = std::make_unique<ph::CMailRule>();
    r->Name = name;
    r->m_words[field] = {std::move(words), mode, 0};
    return r;
}

std::unique_ptr<ph::CMailRule> Advanced(const char* name, std::vector<std::string> tokens) {
    auto r = std::make_unique<ph::CAdvMailRule>();
    r->Name = name;
    r->Tokens() = std::move(tokens);
    return r;
}

void AddRules(ph::CPostharbourDoc& doc) {
    auto folder = [&](const char* name) { return doc.AddFolder(name, ph::kFolderUser, 0); };
    ph::CEmailFolderNode* news = folder("Newsletters");
    ph::CEmailFolderNode* junk = folder("Junk");
    ph::CEmailFolderNode* meetings = folder("Meetings");
    ph::CEmailFolderNode* finance = folder("Finance");
    ph::CEmailFolderNode* family = folder("Family");
    ph::CEmailFolderNode* talk = folder("Alice and Bob");
    auto copyTo = [](ph::CMailRule& r, const ph::CEmailFolderNode* f) {
        r.CopyFolderId = f->m_id;
        r.CopyFolderName = f->m_name;
    };
    auto moveTo = [](ph::CMailRule& r, const ph::CEmailFolderNode* f) {
        r.MoveFolderId = f->m_id;
        r.MoveFolderName = f->m_name;
    };

    // A group with a sub-group, for the "[name]" words.
    ph::CAccountGroupNode* fam = doc.AddGroup("Family", 0, 0);
    ph::CAccountGroupNode* kids = doc.AddGroup("Kids", 0, fam->m_id);
    doc.AddGroupMember(*fam, *doc.AddAddressBookEntry("Alice", "alice@example.com"));
    doc.AddGroupMember(*fam, *doc.AddAddressBookEntry("Mum", "mum@home.example"));
    doc.AddGroupMember(*kids, *doc.AddAddressBookEntry("Tom", "tom@school.example"));

    std::vector<std::unique_ptr<ph::CMailRule>> rules;
    // Simple rules.
    rules.push_back(Simple("newsletters", ph::kFieldFrom, {"newsletter@", "noreply@shop"}));
    copyTo(*rules.back(), news);
    rules.push_back(Simple("junk", ph::kFieldSubject, {"URGENT", "[SPAM]", "winner"}));
    moveTo(*rules.back(), junk);
    rules.push_back(Simple("team", ph::kFieldTo, {"team@", "example.org"}, 0));
    rules.back()->MarkRead = "1";
    rules.push_back(Simple("unsubscribe", ph::kFieldMessage, {"unsubscribe", "opt out"}));
    rules.back()->Highlight = "blue";
    rules.push_back(Simple("boss", ph::kFieldCc, {"boss@corp.example"}));
    rules.back()->Flag = "1";
    rules.push_back(Simple("lists", ph::kFieldToCc, {"list@lists.example", "announce@"}));
    rules.back()->Highlight = "grey";
    rules.push_back(Simple("huge", ph::kFieldFrom, {}));
    rules.back()->Size = "5000";
    rules.back()->Flag = "1";
    rules.push_back(Simple("attachments", ph::kFieldFrom, {}));
    rules.back()->Attachment = "1";
    rules.back()->Highlight = "green";
    rules.push_back(Simple("paid invoices", ph::kFieldSubject, {"invoice", "paid"}, 0));
    rules.back()->Flag = "1";
    rules.push_back(Simple("meetings", ph::kFieldMessage, {"meeting agenda", "minutes"}, 0));
    copyTo(*rules.back(), meetings);
    // Advanced rules.
    rules.push_back(ph::MakeConversationRule("alice and bob", "alice@example.com", "bob@example.com",
                                             talk->m_id, talk->m_name));
    rules.push_back(Advanced("big invoices", {"@subject", "CONTAINS", "\"invoice\"", "AND", "@size",
                                              "GREATERTHAN", "#20000"}));
    rules.back()->Flag = "1";
    rules.push_back(Advanced("statements", {"(", "@from", "ENDSWITH", "\"@bank.example\"", "OR", "@from",
                                            "ENDSWITH", "\"@pay.example\"", ")", "AND", "@subject",
                                            "STARTSWITH", "\"Your statement\""}));
    moveTo(*rules.back(), finance);
    rules.push_back(Advanced("to me only", {"@to", "EQUALS", "\"me@example.org\"", "AND", "NOT", "(",
                                            "@cc", "CONTAINS", "\"list\"", ")"}));
    rules.back()->Highlight = "red";
    rules.push_back(Advanced("pdf", {"@attachment", "EQUALS", "\"TRUE\"", "AND", "@attachmenttype",
                                     "EQUALS", "\"pdf\""}));
    rules.back()->Highlight = "yellow";
    rules.push_back(Advanced("harbour", {"@body", "CONTAINS", "\"project harbour\"", "OR", "@subject",
                                         "CONTAINS", "\"harbour\""}));
    rules.back()->Flag = "1";
    rules.push_back(Advanced("replies on user3", {"@account", "EQUALS", "\"user3@example.org\"", "AND",
                                                  "@subject", "STARTSWITH", "\"Re:\""}));
    rules.back()->Highlight = "orange";
    rules.push_back(Advanced("large or photos", {"@size", "GREATERTHAN", "\"400000\"", "OR", "(", "@from",
                                                 "CONTAINS", "\"photos\"", "AND", "@attachment", "EQUALS",
                                                 "\"TRUE\"", ")"}));
    rules.back()->Flag = "1";
    rules.push_back(Advanced("family", {"@from", "MATCHES", "\"[Family]\""}));
    copyTo(*rules.back(), family);
    rules.push_back(Advanced("sales", {"@subject", "NOTCONTAINS", "\"Re:\"", "AND", "@subject",
                                       "NOTCONTAINS", "\"Fwd:\"", "AND", "@to", "CONTAINS", "\"sales@\""}));
    rules.back()->Highlight = "pink";
    for (auto& r : rules) doc.AddRule(std::move(r));
}

struct Stats {
    double median, min, max;
};

Stats Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = std::filesystem::temp_directory_path() / "rules_bench";
    int runs = 7, count = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--dir") dir = argv[i + 1];
        else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--messages") count = std::max(1, std::atoi(argv[i + 1]));
    }
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    QuietUI ui;
    ph::Profile profile("/dev/null");
    ph::CPostharbourDoc doc(ui, profile);
    if (!doc.OpenStore(dir + "/bench.stg")) return 2;
    constexpr int kAccounts = 20;
    for (int a = 0; a < kAccounts; ++a) {
        ph::CEmailAccount::Settings s;
        s.userName = ph::Format("user%d", a);
        s.emailName = ph::Format("user%d@example.org", a);
        s.incomingServer = "mail.example.org";
        if (!doc.AddAccount(s)) return 3;
    }
    AddRules(doc);

    auto t = Clock::now();
    Maker maker(11);
    for (int i = 0; i < count; ++i) {
        ph::CEmailAccount& account = *doc.m_accounts[static_cast<size_t>(i % kAccounts)];
        ph::CEmailMessage* m = account.AddMessage(ph::Format("UID%08d", i));
        if (!m) return 4;
        Fill(*m, maker, i);
    }
    const size_t ruleCount = doc.m_rules.size();
    std::printf("made %d messages in %d accounts with %zu rules in %.0f ms\n", count, kAccounts, ruleCount,
                Ms(t));

    // What each rule matches, counted once outside the timing.
    size_t anyMatch = 0;
    std::vector<size_t> perRule(ruleCount);
    for (const auto& account : doc.m_accounts)
        for (const auto& m : account->GetMessages()) {
            bool any = false;
            for (size_t r = 0; r < ruleCount; ++r)
                if (doc.m_rules[r]->Matches(*m, account.get(), doc)) ++perRule[r], any = true;
            anyMatch += any;
        }
    for (size_t r = 0; r < ruleCount; ++r)
        std::printf("  rule %-18s %6zu matches\n", doc.m_rules[r]->Name.c_str(), perRule[r]);

    // No rule stops: every rule runs on every message. Once as the completion pass of a check
    // takes the new mail of each account (the list at once), and once a call per message.
    std::vector<std::vector<ph::CEmailMessage*>> arrivals;
    for (const auto& account : doc.m_accounts) {
        arrivals.emplace_back();
        for (const auto& m : account->GetMessages()) arrivals.back().push_back(m.get());
    }
    Runs perList, perMessage;
    for (int run = 0; run < runs; ++run) {
        perList.Time([&] {
            for (size_t i = 0; i < doc.m_accounts.size(); ++i) {
                ph::CEmailAccount& account = *doc.m_accounts[i];
                std::lock_guard<std::recursive_mutex> guard(account.Mutex());
                doc.ApplyRulesToEach(arrivals[i], &account);
            }
        });
        perMessage.Time([&] {
            for (const auto& account : doc.m_accounts) {
                std::lock_guard<std::recursive_mutex> guard(account->Mutex());
                for (const auto& m : account->GetMessages()) doc.ApplyRules(*m, account.get());
            }
        });
    }
    size_t filed = 0;
    for (const auto& f : doc.m_allFolders) filed += f->m_filed[0].size();
    auto report = [&](const char* how, const Runs& times) {
        const Stats a = Summarise(times.wall);
        std::printf(
            "%s, %zu rules x %d messages: median %.1f ms (min %.1f, max %.1f), processor time "
            "median %.1f ms\n",
            how, ruleCount, count, a.median, a.min, a.max, Summarise(times.cpu).median);
    };
    report("ApplyRulesToEach", perList);
    report("ApplyRules", perMessage);
    std::printf("%zu messages matched a rule, %zu filings\n", anyMatch, filed);

    ph::CMailRule criteria;
    criteria.m_words[ph::kFieldFrom] = {{"alice", "carol"}, 1, 0};
    criteria.m_words[ph::kFieldSubject] = {{"harbour", "quarterly"}, 1, 0};
    criteria.m_words[ph::kFieldMessage] = {{"meeting agenda"}, 1, 0};
    Runs search;
    for (int run = 0; run < runs; ++run) search.Time([&] { ph::Search(doc, criteria); });
    const Stats s = Summarise(search.wall);
    std::printf(
        "Search, 3 word lists x %d messages: median %.1f ms (min %.1f, max %.1f), processor time "
        "median %.1f ms; %zu found\n",
        count, s.median, s.min, s.max, Summarise(search.cpu).median, doc.m_searchResults.size());

    doc.CloseStore();
    std::filesystem::remove_all(dir);
    return 0;
}
