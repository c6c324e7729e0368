#pragma once
// A scripted POP3 server of one scenario (tests/fakes/fake_pop3.py), an account pointing at
// it with short time-outs, and the server's command logs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NoDocument.h"
#include "Pop3Jobs.h"
#include "ServerProcess.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"

namespace ph::test {

class FakePop3 {
public:
    // `messages`: how many generated messages the server holds.
    explicit FakePop3(const std::string& scenario, const std::string& messages = "3")
        : m_dir(MakeDir(scenario)) {
        Start(scenario, messages);
    }
    // The server holds `files`, unique id -> message text, in id order.
    FakePop3(const std::string& scenario, const std::map<std::string, std::string>& files)
        : m_dir(MakeDir(scenario)) {
        const std::filesystem::path mail = m_dir / "mail";
        std::filesystem::create_directories(mail);
        for (const auto& [id, text] : files) std::ofstream(mail / id, std::ios::binary) << text;
        Start(scenario, mail.string());
    }
    ~FakePop3() { std::filesystem::remove_all(m_dir); }
    FakePop3(const FakePop3&) = delete;
    FakePop3& operator=(const FakePop3&) = delete;

    Pop3Mail& Pop() { return *m_account->AccessAs<Pop3Mail>(); }
    CEmailAccount& Account() { return *m_account; }
    NoDocument& Context() { return m_context; }
    int Port() const { return m_server->Port(); }
    std::string Log() const { return Read("log"); }
    // The commands that reached the server before the answer to the one before them.
    std::string AheadLog() const { return Read("ahead"); }

private:
    static std::filesystem::path MakeDir(const std::string& scenario) {
        const std::filesystem::path dir =
            std::filesystem::path(testing::TempDir()) /
            ("pop3-" + std::to_string(getpid()) + "-" + scenario + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        return dir;
    }

    void Start(const std::string& scenario, const std::string& messages) {
        m_server = std::make_unique<ServerProcess>(
            std::vector<std::string>{PH_PYTHON, PH_FAKE_POP3, "--scenario", scenario, "--messages",
                                     messages, "--port-file", (m_dir / "port").string(), "--log",
                                     (m_dir / "log").string(), "--ahead-log",
                                     (m_dir / "ahead").string(), "--stop-on-stdin-eof"},
            (m_dir / "port").string());
        CEmailAccount::Settings s;
        s.userName = "alice";
        s.password = "alice-secret";
        s.emailName = "alice@example.com";
        s.incomingServer = "127.0.0.1";
        s.incomingPort = m_server->Port();
        s.type = kTypePop3;
        m_account = std::make_unique<CEmailAccount>(1, s, &m_context);
        Pop3Mail::Timeouts t;
        t.beforeLogin = t.afterLogin = 1500;
        t.probe = 300;
        t.silence = 1500;
        Pop().SetTimeouts(t);
    }

    std::string Read(const char* name) const { return ReadFile(m_dir / name); }

    std::filesystem::path m_dir;
    std::unique_ptr<ServerProcess> m_server;
    NoDocument m_context;
    std::unique_ptr<CEmailAccount> m_account;
};

}  // namespace ph::test
