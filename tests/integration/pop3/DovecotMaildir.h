#pragma once
// The suite's private dovecot (tools/dovecot-start): what tools/run-tests publishes about it,
// the test accounts at it, and their maildirs, filled by tools/fill-maildir and read here
// directly. With the server's unique id format, a message's UIDL is its maildir file name up to
// any ":".
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NoDocument.h"
#include "model/CEmailAccount.h"

namespace ph::test {

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// `user`'s account at the server: in plain text at POP3_HOST, over TLS at localhost, the name
// its certificate carries.
inline CEmailAccount::Settings DovecotAccount(const std::string& user, const std::string& password,
                                              bool tls) {
    CEmailAccount::Settings s;
    s.userName = user;
    s.password = password;
    s.emailName = user + "@example.org";
    s.incomingServer = tls ? "localhost" : Env("POP3_HOST");
    s.incomingPort = std::atoi(Env(tls ? "POP3S_PORT" : "POP3_PORT").c_str());
    s.useSSL = tls;
    s.type = kTypePop3;
    return s;
}

// A test run against the server twice: in plain text, and over TLS (the parameter).
class OnDovecot : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (Env("POP3_PORT").empty())
            GTEST_FAIL() << "POP3_PORT is not set: run the suite with tools/run-tests";
        // The test CA stands in for the system store, which the client reads through this.
        setenv("SSL_CERT_FILE", Env("TEST_CA").c_str(), 1);
    }
    std::unique_ptr<CEmailAccount> Account(const std::string& user, const std::string& password) {
        return std::make_unique<CEmailAccount>(1, DovecotAccount(user, password, GetParam()),
                                               &m_context);
    }
    NoDocument m_context;
};

// Names the two runs of an OnDovecot test.
inline std::string PlainOrTls(const testing::TestParamInfo<bool>& info) {
    return info.param ? "Tls" : "Plain";
}

// Fills `user`'s maildir afresh and returns the unique ids of the messages in server order.
inline std::vector<std::string> FillMaildir(const std::string& user, int count) {
    const std::string command = std::string(PH_FILL_MAILDIR) + " " + PH_BUILD_DIR + " " + user +
                                " " + std::to_string(count) + " --clear --list";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::vector<std::string> ids;
    if (!pipe) return ids;
    std::array<char, 512> line;
    while (fgets(line.data(), line.size(), pipe.get())) {
        std::string id(line.data());
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        ids.push_back(id);
    }
    return ids;
}

// Unique id -> file of every message in `user`'s maildir now, delivered or seen.
inline std::map<std::string, std::filesystem::path> MaildirFiles(const std::string& user) {
    std::map<std::string, std::filesystem::path> files;
    const std::filesystem::path root = std::filesystem::path(Env("POP3_MAILDIR_ROOT")) / user;
    for (const char* sub : {"new", "cur"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(root / sub, error)) {
            const std::string name = entry.path().filename().string();
            files[name.substr(0, name.find(':'))] = entry.path();
        }
    }
    return files;
}

}  // namespace ph::test
