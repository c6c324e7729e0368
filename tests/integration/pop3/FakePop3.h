#pragma once
// The scripted POP3 server (tests/fakes/fake_pop3.py) and what the tests point at it: alice's
// account with short time-outs.
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NoDocument.h"
#include "ServerProcess.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"
#include "support/Files.h"

namespace ph::test {

// The server playing `scenario` in `dir`, with the commands it receives in its logs there.
class FakePop3Server : public ScriptServer {
  public:
    // `messages`: how many generated messages the server holds.
    FakePop3Server(const std::filesystem::path& dir, const std::string& scenario,
                   const std::string& messages = "3")
        : ScriptServer(dir, Command(dir, scenario, messages)) {}
    // The server holds `files`, unique id -> message text, in id order.
    FakePop3Server(const std::filesystem::path& dir, const std::string& scenario,
                   const std::map<std::string, std::string>& files)
        : ScriptServer(dir, Command(dir, scenario, (dir / "mail").string()),
                       [&files](const std::filesystem::path& d) {
                           for (const auto& [id, text] : files) WriteFile(d / "mail" / id, text);
                       }) {}

    std::string Log() const { return ReadFile(Dir() / "log"); }
    // The commands that reached the server before the answer to the one before them.
    std::string AheadLog() const { return ReadFile(Dir() / "ahead"); }

    // alice's POP3 account at this server.
    CEmailAccount::Settings AccountSettings() const {
        CEmailAccount::Settings s;
        s.userName = "alice";
        s.password = "alice-secret";
        s.emailName = "alice@example.com";
        s.incomingServer = "127.0.0.1";
        s.incomingPort = Port();
        return s;
    }
    // Short, so that a scenario that falls silent ends its test in seconds.
    static Pop3Mail::Timeouts Timeouts() {
        Pop3Mail::Timeouts t;
        t.beforeLogin = t.afterLogin = t.silence = 1500;
        t.probe = 300;
        return t;
    }

  private:
    static std::vector<std::string> Command(const std::filesystem::path& dir, const std::string& scenario,
                                            const std::string& messages) {
        return {PH_PYTHON, PH_FAKE_POP3, "--scenario", scenario, "--messages", messages,
                "--log", (dir / "log").string(), "--ahead-log", (dir / "ahead").string()};
    }
};

// A server of the test's own and an account at it, with no document behind the account.
class FakePop3 {
  public:
    explicit FakePop3(const std::string& scenario, const std::string& messages = "3")
        : m_server(TestDir("pop3-" + scenario), scenario, messages) {
        Connect();
    }
    FakePop3(const std::string& scenario, const std::map<std::string, std::string>& files)
        : m_server(TestDir("pop3-" + scenario), scenario, files) {
        Connect();
    }

    Pop3Mail& Pop() { return *m_account->AccessAs<Pop3Mail>(); }
    CEmailAccount& Account() { return *m_account; }
    NoDocument& Context() { return m_context; }
    int Port() const { return m_server.Port(); }
    std::string Log() const { return m_server.Log(); }
    std::string AheadLog() const { return m_server.AheadLog(); }

  private:
    void Connect() {
        m_account = std::make_unique<CEmailAccount>(1, m_server.AccountSettings(), &m_context);
        Pop().SetTimeouts(FakePop3Server::Timeouts());
    }

    FakePop3Server m_server;
    NoDocument m_context;
    std::unique_ptr<CEmailAccount> m_account;
};

}  // namespace ph::test
