#pragma once
// What the timed programs share: medians of runs, running the tools/ scripts, and the tests'
// private dovecot.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/IUserInterface.h"

namespace ph::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Figures {
    std::vector<double> values;
    double Median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double Min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double Max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

[[noreturn]] inline void Die(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

inline std::string Quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The first line a shell command prints; dies when it fails.
inline std::string RunForLine(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) Die("cannot run " + command);
    std::string first;
    char buffer[4096];
    bool haveFirst = false;
    while (std::fgets(buffer, sizeof buffer, pipe.get()))
        if (!haveFirst) {
            first = buffer;
            haveFirst = true;
        }
    if (pclose(pipe.release()) != 0) Die("failed: " + command);
    while (!first.empty() && (first.back() == '\n' || first.back() == '\r')) first.pop_back();
    return first;
}

// NAME=value lines as tools/dovecot-start writes them (values quoted for a shell only when
// they hold characters our paths do not).
inline std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (const size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}

// A front end that shows nothing and answers every question with Ok (or No).
struct QuietUI : IUserInterface {
    Answer MessageBox(std::string_view, std::string_view, Buttons) override { return Answer::Ok; }
    void SetStatusText(std::string_view) override {}
    bool AskImportOptions(ImportOptions&, bool&) override { return false; }
    void Beep() override {}
    void SetTrayIcon(TrayIcon, std::string_view) override {}
    void SetWaitCursor(bool) override {}
    void ShowCheckStatus(const std::vector<CheckStatusRow>&) override {}
    void CloseCheckStatus() override {}
    void SetProgress(int) override {}
    void RefreshViews() override {}
    bool ConfirmDeleteEmails(bool&) override { return false; }
    bool AskStorePassword(std::string&) override { return false; }
};

// The tests' private dovecot on the build tree `build`: one left running by hand is used as it
// is, otherwise one is started here and stopped at the end.
class Dovecot {
public:
    Dovecot(std::string build, bool keep) : m_build(std::move(build)), m_keep(keep) {
        if (!m_keep || ReadEnvFile(EnvFile()).count("POP3_PORT") == 0) {
            RunForLine(Tool("dovecot-start") + " " + Quoted(m_build) + " >&2");
            m_started = true;
        }
        auto env = ReadEnvFile(EnvFile());
        host = env["POP3_HOST"];
        plainPort = std::atoi(env["POP3_PORT"].c_str());
        tlsPort = std::atoi(env["POP3S_PORT"].c_str());
        ca = env["TEST_CA"];
        if (plainPort == 0 || tlsPort == 0 || ca.empty()) Die("no usable " + EnvFile());
    }
    ~Dovecot() {
        if (m_started && !m_keep) RunForLine(Tool("dovecot-stop") + " " + Quoted(m_build));
    }
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    // Fills `user`'s maildir with `messages` generated messages, emptying it first.
    void Fill(const std::string& user, int messages) const {
        RunForLine(Tool("fill-maildir") + " " + Quoted(m_build) + " " + user + " " + std::to_string(messages) +
                   " --clear");
    }

    std::string host;
    int plainPort = 0;
    int tlsPort = 0;
    std::string ca;

private:
    std::string EnvFile() const { return m_build + "/servers/dovecot/ports.env"; }
    static std::string Tool(const char* name) { return Quoted(std::string(PH_SOURCE_DIR "/tools/") + name); }

    std::string m_build;
    bool m_keep;
    bool m_started = false;
};

}  // namespace ph::bench
