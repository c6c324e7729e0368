// Store benchmark: the message table with N rows of ~5 KB (fields plus a ~3 KB cached-text
// blob), against SQLite doing the same work in the same run.
//
//   store_bench [--rows N] [--dir DIR] [--runs K] [--keep 1]
//   store_bench --read-ours FILE | --read-sqlite FILE     (one timed read, for profiling)
//
// Phases, each for our store and for SQLite (rollback journal, full sync; WAL for the single
// commit figure): build with grouped commits, single durable write-through adds, reading
// every row with its texts in a fresh process and again on a second pass in one process,
// updating one row in the middle, deleting one row; then the file sizes against the raw data.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/Format.h"
#include "store/StoreDump.h"
#include "store/Tables.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Spread(const std::vector<double>& v, double scale, const char* unit) {
    if (v.empty()) return "-";
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return ph::Format("%.3f %s (min %.3f, max %.3f, n=%zu)", Median(v) * scale, unit, *lo * scale,
                      *hi * scale, v.size());
}

// Deterministic message content: row i always gets the same bytes.
struct Row {
    ph::EmailRecord rec;
    size_t rawBytes = 0;
};

std::string Words(std::mt19937& rng, size_t length) {
    static const char* kWords[] = {"mail", "the", "check", "account", "server", "message", "folder",
                                   "reply", "harbour", "store", "rule", "send", "inbox", "of", "and"};
    std::string s;
    while (s.size() < length) {
        s += kWords[rng() % 15];
        s += (rng() % 9 == 0) ? "\r\n" : " ";
    }
    s.resize(length);
    return s;
}

Row MakeRow(int i) {
    std::mt19937 rng(static_cast<uint32_t>(i) * 2654435761u + 1);
    Row row;
    ph::EmailRecord& r = row.rec;
    r.MsgUniqueID = ph::Format("UID%08d.%s", i, Words(rng, 30).c_str());
    r.AcctID = 1 + i % 50;
    r.Subject = Words(rng, 40 + rng() % 60);
    r.From = ph::Format("Sender %d <sender%d@example.org>", i % 977, i % 977);
    r.Sender = ph::Format("sender%d@example.org", i % 977);
    r.ToName = "Me <me@example.net>";
    r.Folder = "Inbox";
    r.SentDate = ph::DateTime::FromParts(2004 + i % 20, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60);
    r.IsOnServer = true;
    r.MsgSize = 3000 + i % 5000;
    r.ReplyTo = r.Sender;
    r.Header = Words(rng, 600);
    r.PlainText = Words(rng, 1000);
    r.Body = r.Header + "\r\n\r\n" + Words(rng, 1400);
    row.rawBytes = r.MsgUniqueID.size() + r.Subject.size() + r.From.size() + r.Sender.size() +
                   r.ToName.size() + r.Folder.size() + r.ReplyTo.size() + 30 + 12 * 6 + r.Header.size() +
                   r.PlainText.size() + r.Body.size();
    return row;
}

// ---------------------------------------------------------------------------------------
// Our store

struct OursStore {
    ph::CStorageNode root;
    explicit OursStore(const std::string& path, bool create) {
        std::string error;
        if (create ? !ph::CreateNewStore(root, path, &error) : !root.OpenFile(path)) {
            std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), (error + root.Error()).c_str());
            std::exit(1);
        }
    }
    int Add(const Row& row) {
        ph::CEmailsTable emails(root);
        emails.m_includeTexts = true;
        emails.SetNew();
        emails.m_rec = row.rec;
        std::string id;
        if (!emails.Update(id)) std::exit(2);
        emails.Close();
        return std::atoi(id.c_str());
    }
    void Update(int slot, const Row& row) {
        ph::CEmailsTable emails(root);
        emails.m_includeTexts = true;
        if (!emails.Open(slot)) std::exit(3);
        emails.m_rec = row.rec;
        emails.m_rec.IsReadLocally = true;
        std::string id;
        emails.Update(id);
        emails.Close();
    }
    void Delete(int slot) {
        ph::CEmailsTable emails(root);
        emails.Delete(slot);
        emails.Close();
    }
    // Every row with its texts, copied out as a program would.
    size_t ReadAll() {
        size_t rows = 0, bytes = 0;
        ph::CEmailsTable emails(root);
        emails.m_includeTexts = true;
        for (bool ok = emails.Open(); ok; ok = emails.MoveNext()) {
            ++rows;
            bytes += emails.m_rec.Subject.size() + emails.m_rec.Body.size();
        }
        emails.Close();
        return rows + (bytes == 0);
    }
};

// ---------------------------------------------------------------------------------------
// SQLite

const char* kSqliteColumns =
    "SentDate2, MsgUniqueID, AcctID, Subject, FromName, Sender, ToName, Folder, SentDate, "
    "IsReadLocally, IsRead, IsOnServer, IsHidden, IsNotInRoot, MsgSize, HasAttachment, "
    "AttachmentType, ReplyTo, PlainText, HtmlText, Header, Body";

struct SqliteStore {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* remove = nullptr;

    SqliteStore(const std::string& path, bool wal) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::exit(4);
        Exec(wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
        Exec("PRAGMA synchronous=FULL");
        Exec(std::string("CREATE TABLE IF NOT EXISTS Emails (id INTEGER PRIMARY KEY, ") +
             "SentDate2 TEXT, MsgUniqueID TEXT, AcctID INTEGER, Subject TEXT, FromName TEXT, Sender TEXT, "
             "ToName TEXT, Folder TEXT, SentDate TEXT, IsReadLocally INTEGER, IsRead INTEGER, "
             "IsOnServer INTEGER, IsHidden INTEGER, IsNotInRoot INTEGER, MsgSize INTEGER, "
             "HasAttachment INTEGER, AttachmentType TEXT, ReplyTo TEXT, PlainText TEXT, HtmlText TEXT, "
             "Header TEXT, Body TEXT)");
        Prepare(&insert, std::string("INSERT INTO Emails (") + kSqliteColumns +
                             ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        Prepare(&update, std::string("UPDATE Emails SET (") + kSqliteColumns +
                             ") = (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) WHERE id = ?23");
        Prepare(&remove, "DELETE FROM Emails WHERE id = ?");
    }
    ~SqliteStore() {
        sqlite3_finalize(insert);
        sqlite3_finalize(update);
        sqlite3_finalize(remove);
        sqlite3_close(db);
    }
    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite: %s\n", error);
            std::exit(5);
        }
    }
    void Prepare(sqlite3_stmt** stmt, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, stmt, nullptr) != SQLITE_OK) std::exit(6);
    }
    void Bind(sqlite3_stmt* s, const ph::EmailRecord& r) {
        const std::string date2 = r.SentDate.Format("%Y%m%d"), date = r.SentDate.ToStoreText();
        int c = 1;
        auto text = [&](const std::string& v) { sqlite3_bind_text(s, c++, v.data(), int(v.size()), SQLITE_TRANSIENT); };
        auto num = [&](int v) { sqlite3_bind_int(s, c++, v); };
        text(date2), text(r.MsgUniqueID), num(r.AcctID), text(r.Subject), text(r.From), text(r.Sender);
        text(r.ToName), text(r.Folder), text(date), num(r.IsReadLocally), num(r.IsRead), num(r.IsOnServer);
        num(r.IsHidden), num(r.IsNotInRoot), num(r.MsgSize), num(r.HasAttachment), text(r.AttachmentType);
        text(r.ReplyTo), text(r.PlainText), text(r.HtmlText), text(r.Header), text(r.Body);
    }
    void Add(const Row& row) {
        Bind(insert, row.rec);
        if (sqlite3_step(insert) != SQLITE_DONE) std::exit(7);
        sqlite3_reset(insert);
    }
    void Update(int id, const Row& row) {
        Bind(update, row.rec);
        sqlite3_bind_int(update, 23, id);
        if (sqlite3_step(update) != SQLITE_DONE) std::exit(8);
        sqlite3_reset(update);
    }
    void Delete(int id) {
        sqlite3_bind_int(remove, 1, id);
        sqlite3_step(remove);
        sqlite3_reset(remove);
    }
    size_t ReadAll() {
        sqlite3_stmt* s = nullptr;
        Prepare(&s, std::string("SELECT id, ") + kSqliteColumns + " FROM Emails");
        size_t rows = 0, bytes = 0;
        ph::EmailRecord r;
        while (sqlite3_step(s) == SQLITE_ROW) {
            // Copy every column out, as the store's reader fills a record.
            auto text = [&](int c, std::string& v) {
                v.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, c)), sqlite3_column_bytes(s, c));
            };
            std::string date2, date;
            text(1, date2), text(2, r.MsgUniqueID), r.AcctID = sqlite3_column_int(s, 3), text(4, r.Subject);
            text(5, r.From), text(6, r.Sender), text(7, r.ToName), text(8, r.Folder), text(9, date);
            r.SentDate.Parse(date);
            r.IsReadLocally = sqlite3_column_int(s, 10), r.IsRead = sqlite3_column_int(s, 11);
            r.IsOnServer = sqlite3_column_int(s, 12), r.IsHidden = sqlite3_column_int(s, 13);
            r.IsNotInRoot = sqlite3_column_int(s, 14), r.MsgSize = sqlite3_column_int(s, 15);
            r.HasAttachment = sqlite3_column_int(s, 16), text(17, r.AttachmentType), text(18, r.ReplyTo);
            text(19, r.PlainText), text(20, r.HtmlText), text(21, r.Header), text(22, r.Body);
            ++rows;
            bytes += r.Subject.size() + r.Body.size();
        }
        sqlite3_finalize(s);
        return rows + (bytes == 0);
    }
};

// ---------------------------------------------------------------------------------------

// Runs this program again to read a file from a fresh process; returns its own timing.
double FreshProcessRead(const char* mode, const std::string& path) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) std::exit(9);
    self[n] = '\0';
    const std::string command = ph::Format("'%s' %s '%s'", self, mode, path.c_str());
    FILE* child = popen(command.c_str(), "r");
    double seconds = -1;
    if (!child || std::fscanf(child, "%lf", &seconds) != 1) std::exit(10);
    pclose(child);
    return seconds;
}

int ChildRead(const std::string& mode, const std::string& path) {
    const auto start = Clock::now();
    size_t rows;
    if (mode == "--read-ours") {
        OursStore store(path, false);
        rows = store.ReadAll();
    } else {
        SqliteStore store(path, false);
        rows = store.ReadAll();
    }
    std::printf("%.6f %zu\n", Seconds(start), rows);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && (std::string(argv[1]) == "--read-ours" || std::string(argv[1]) == "--read-sqlite"))
        return ChildRead(argv[1], argv[2]);
    int rows = 100000, runs = 5;
    bool keep = false;
    std::string dir = std::filesystem::temp_directory_path() / "store_bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rows") rows = std::atoi(argv[i + 1]);
        else if (a == "--dir") dir = argv[i + 1];
        else if (a == "--runs") runs = std::atoi(argv[i + 1]);
        else if (a == "--keep") keep = std::atoi(argv[i + 1]) != 0;
    }
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string oursPath = dir + "/bench.stg", sqlitePath = dir + "/bench.sqlite",
                      walPath = dir + "/bench-wal.sqlite";
    constexpr int kGroup = 1000, kSingles = 500, kChanges = 100;
    std::printf("rows: %d (+%d single adds), directory: %s\n\n", rows, kSingles, dir.c_str());

    size_t rawBytes = 0;
    std::vector<double> oursBuild, sqliteBuild, oursSingle, sqliteSingle, walSingle;
    {
        OursStore ours(oursPath, true);
        SqliteStore lite(sqlitePath, false);
        for (int base = 0; base < rows; base += kGroup) {
            std::vector<Row> batch;
            for (int i = base; i < std::min(rows, base + kGroup); ++i) batch.push_back(MakeRow(i));
            for (const Row& r : batch) rawBytes += r.rawBytes;
            auto t = Clock::now();
            {
                ph::CCommitGroup group(ours.root);
                for (const Row& r : batch) ours.Add(r);
            }
            oursBuild.push_back(Seconds(t) / batch.size());
            t = Clock::now();
            lite.Exec("BEGIN");
            for (const Row& r : batch) lite.Add(r);
            lite.Exec("COMMIT");
            sqliteBuild.push_back(Seconds(t) / batch.size());
        }
        SqliteStore wal(walPath, true);
        for (int i = 0; i < kSingles; ++i) {
            const Row r = MakeRow(rows + i);
            rawBytes += r.rawBytes;
            auto t = Clock::now();
            ours.Add(r);
            oursSingle.push_back(Seconds(t));
            t = Clock::now();
            lite.Add(r);
            sqliteSingle.push_back(Seconds(t));
            t = Clock::now();
            wal.Add(r);
            walSingle.push_back(Seconds(t));
        }
    }
    std::printf("add, grouped commits of %d   ours %s   sqlite %s\n", kGroup,
                Spread(oursBuild, 1e3, "ms/row").c_str(), Spread(sqliteBuild, 1e3, "ms/row").c_str());
    std::printf("add, one durable commit each   ours %s   sqlite %s   sqlite-wal %s\n",
                Spread(oursSingle, 1e3, "ms").c_str(), Spread(sqliteSingle, 1e3, "ms").c_str(),
                Spread(walSingle, 1e3, "ms").c_str());

    std::vector<double> oursFresh, sqliteFresh, oursSecond, sqliteSecond;
    for (int run = 0; run < runs; ++run) {
        oursFresh.push_back(FreshProcessRead("--read-ours", oursPath));
        sqliteFresh.push_back(FreshProcessRead("--read-sqlite", sqlitePath));
    }
    {
        OursStore ours(oursPath, false);
        SqliteStore lite(sqlitePath, false);
        ours.ReadAll();
        lite.ReadAll();
        for (int run = 0; run < runs; ++run) {
            auto t = Clock::now();
            ours.ReadAll();
            oursSecond.push_back(Seconds(t));
            t = Clock::now();
            lite.ReadAll();
            sqliteSecond.push_back(Seconds(t));
        }
    }
    std::printf("read all, fresh process        ours %s   sqlite %s   ratio %.2f\n",
                Spread(oursFresh, 1, "s").c_str(), Spread(sqliteFresh, 1, "s").c_str(),
                Median(sqliteFresh) / Median(oursFresh));
    std::printf("read all, second pass          ours %s   sqlite %s   ratio %.2f\n",
                Spread(oursSecond, 1, "s").c_str(), Spread(sqliteSecond, 1, "s").c_str(),
                Median(sqliteSecond) / Median(oursSecond));

    std::vector<double> oursUpdate, sqliteUpdate, oursDelete, sqliteDelete;
    {
        OursStore ours(oursPath, false);
        SqliteStore lite(sqlitePath, false);
        std::mt19937 rng(42);
        for (int i = 0; i < kChanges; ++i) {
            const int slot = rows / 4 + static_cast<int>(rng() % (rows / 2));
            const Row r = MakeRow(slot + 7);
            auto t = Clock::now();
            ours.Update(slot, r);
            oursUpdate.push_back(Seconds(t));
            t = Clock::now();
            lite.Update(slot + 1, r);
            sqliteUpdate.push_back(Seconds(t));
        }
        for (int i = 0; i < kChanges; ++i) {
            const int slot = rows / 4 + i * 37;
            auto t = Clock::now();
            ours.Delete(slot);
            oursDelete.push_back(Seconds(t));
            t = Clock::now();
            lite.Delete(slot + 1);
            sqliteDelete.push_back(Seconds(t));
        }
    }
    std::printf("update one row in the middle   ours %s   sqlite %s\n", Spread(oursUpdate, 1e3, "ms").c_str(),
                Spread(sqliteUpdate, 1e3, "ms").c_str());
    std::printf("delete one row                 ours %s   sqlite %s\n", Spread(oursDelete, 1e3, "ms").c_str(),
                Spread(sqliteDelete, 1e3, "ms").c_str());

    const double mb = 1024.0 * 1024.0;
    std::printf("\nraw data %.1f MB; store file %.1f MB (%.2fx); sqlite file %.1f MB (%.2fx)\n", rawBytes / mb,
                std::filesystem::file_size(oursPath) / mb, std::filesystem::file_size(oursPath) / double(rawBytes),
                std::filesystem::file_size(sqlitePath) / mb,
                std::filesystem::file_size(sqlitePath) / double(rawBytes));
    if (!keep) std::filesystem::remove_all(dir);
    return 0;
}
