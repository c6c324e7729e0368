// Document benchmark: opening a store of 50 accounts, 100,000 messages, 1,000 folders and
// 20,000 filings and building the whole model, in a fresh process and again in the same
// process; then saving one message's flags.
//
//   doc_bench [--dir DIR] [--runs K] [--messages N]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"
#include "store/StoreDump.h"
#include "store/Tables.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using ph::bench::QuietUI;

// Fills a new store through the tables in bulk, inside one commit group.
void Build(const std::string& path, int messages) {
    ph::CStorageNode root;
    std::string error;
    if (!ph::CreateNewStore(root, path, &error)) std::exit(1);
    ph::CCommitGroup group(root);
    std::mt19937 rng(7);
    {
        ph::CAccountsTable accounts(root);
        for (int i = 0; i < 50; ++i) {
            accounts.ClearName();
            accounts.m_rec = ph::AccountRecord{};
            accounts.m_rec.EmailName = ph::Format("user%d@example.org", i);
            accounts.m_rec.Username = ph::Format("user%d", i);
            accounts.m_rec.Pop3Server = "mail.example.org";
            accounts.m_rec.AccountType = 2;
            accounts.m_rec.allowCheckmail = true;
            accounts.Update();
        }
        accounts.Close();
    }
    {
        ph::CEmailsTable emails(root);
        emails.m_includeTexts = true;
        for (int i = 0; i < messages; ++i) {
            emails.SetNew();
            ph::EmailRecord& r = emails.m_rec;
            r = ph::EmailRecord{};
            r.MsgUniqueID = ph::Format("UID%08d", i);
            r.AcctID = 1 + i % 50;
            r.Subject = ph::Format("Subject of message %d about the harbour", i);
            r.From = ph::Format("Sender %d <s%d@example.net>", i % 997, i % 997);
            r.Sender = ph::Format("s%d@example.net", i % 997);
            r.ToName = "Me <me@example.org>";
            r.SentDate = ph::DateTime::FromParts(2004 + i % 20, 1 + i % 12, 1 + i % 28, i % 24, i % 60, 0);
            r.IsOnServer = true;
            r.IsHidden = i % 100 == 0;
            r.MsgSize = 3000 + i % 4000;
            r.PlainText = std::string(1000, char('a' + i % 26));
            r.Header = std::string(600, 'h');
            r.Body = std::string(1400, 'b');
            std::string id;
            emails.Update(id);
        }
        emails.Close();
    }
    {
        ph::CFoldersTable folders(root);
        for (int i = 0; i < 1000; ++i) {
            folders.ClearName();
            folders.m_rec.FolderName = ph::Format("Folder %d", i);
            folders.m_rec.FolderType = 0;
            folders.m_rec.ParentID = i < 100 ? 0 : 1 + static_cast<int>(rng() % 100);
            folders.Update();
        }
        folders.Close();
    }
    {
        ph::CFolderContentsTable contents(root);
        for (int i = 0; i < 20000; ++i) {
            contents.SetNew();
            contents.m_rec = {ph::Format("%d", static_cast<int>(rng() % messages)), 1 + static_cast<int>(rng() % 1000),
                              true, 0};
            std::string id;
            contents.Update(id);
        }
        contents.Close();
    }
    group.Finish();
}

double OpenAndBuild(const std::string& path, size_t* messages) {
    QuietUI ui;
    ph::Profile profile("/dev/null");
    ph::CPostharbourDoc doc(ui, profile);
    const auto start = Clock::now();
    if (!doc.OpenStore(path)) std::exit(2);
    const double t = Seconds(start);
    *messages = doc.m_allMessages.size();
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--open") {
        size_t n = 0;
        const double t = OpenAndBuild(argv[2], &n);
        std::printf("%.6f %zu\n", t, n);
        return 0;
    }
    std::string dir = std::filesystem::temp_directory_path() / "doc_bench";
    int runs = 5, messages = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--dir") dir = argv[i + 1];
        else if (a == "--runs") runs = std::atoi(argv[i + 1]);
        else if (a == "--messages") messages = std::atoi(argv[i + 1]);
    }
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/bench.stg";
    auto t = Clock::now();
    Build(path, messages);
    std::printf("built 50 accounts, %d messages, 1000 folders, 20000 filings in %.1f s (%.0f MB)\n", messages,
                Seconds(t), std::filesystem::file_size(path) / 1048576.0);

    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    self[len > 0 ? len : 0] = '\0';
    std::vector<double> fresh, again;
    for (int i = 0; i < runs; ++i) {
        FILE* child = popen(ph::Format("'%s' --open '%s'", self, path.c_str()).c_str(), "r");
        double seconds = 0;
        size_t n = 0;
        if (!child || std::fscanf(child, "%lf %zu", &seconds, &n) != 2) return 3;
        pclose(child);
        fresh.push_back(seconds);
        again.push_back(OpenAndBuild(path, &n));
    }
    std::printf("open and build the model, fresh process: median %.3f s (min %.3f, max %.3f)\n", Median(fresh),
                *std::min_element(fresh.begin(), fresh.end()), *std::max_element(fresh.begin(), fresh.end()));
    std::printf("open and build the model, same process:  median %.3f s (min %.3f, max %.3f)\n", Median(again),
                *std::min_element(again.begin(), again.end()), *std::max_element(again.begin(), again.end()));

    QuietUI ui;
    ph::Profile profile("/dev/null");
    ph::CPostharbourDoc doc(ui, profile);
    doc.OpenStore(path);
    std::vector<double> saves;
    for (int i = 0; i < 200; ++i) {
        ph::CEmailMessage* m = doc.m_allMessages[static_cast<size_t>(i) * 397 % doc.m_allMessages.size()];
        m->IsReadLocally = !m->IsReadLocally;
        t = Clock::now();
        doc.SaveMessageFlags(*m);
        saves.push_back(Seconds(t));
    }
    std::printf("save one message's flags (durable): median %.3f ms (min %.3f, max %.3f)\n", Median(saves) * 1e3,
                *std::min_element(saves.begin(), saves.end()) * 1e3, *std::max_element(saves.begin(), saves.end()) * 1e3);
    std::filesystem::remove_all(dir);
    return 0;
}
