#pragma once
// What every command over the document shares: the options that come before the command, the
// paths of the program's own files, and the open document with the terminal front end.
#include <memory>
#include <string>
#include <string_view>

#include "TerminalUI.h"
#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"

namespace ph::cli {

struct GlobalOptions {
    std::string store;  // empty: the program's own store
    bool yes = false;
    bool verbose = false;
};

// Filled by the command line; the command that runs sets the exit status.
struct CommandContext {
    GlobalOptions global;
    int exitCode = 0;
};

// The desktop program phctl serves: its profile, store and autostart entry are the ones
// phctl works on, and portable mode is decided by the INI beside it.
// To be replaced when src/app offers the program's paths for a companion executable.
std::string ProgramExecutablePath();
std::string ProgramProfilePath();
// The store the desktop program opens when none is named: "DbFilename" of the profile.
std::string ProgramStorePath(const Profile& profile);

// `path` made absolute, so that the document compares like with like.
std::string AbsolutePath(const std::string& path);

// Prints "phctl: <message>" to stderr; returns the failing exit status.
int Fail(std::string_view message);

// The document of one command run, with its front end and profile.
class Session {
public:
    explicit Session(const GlobalOptions& options);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the store (the program's own when none is named; created when missing). On
    // failure says why on stderr.
    bool Open();
    CPostharbourDoc& Doc() { return *m_doc; }
    TerminalUI& UI() { return m_ui; }
    Profile& GetProfile() { return m_profile; }

private:
    GlobalOptions m_options;
    TerminalUI m_ui;
    Profile m_profile;
    std::unique_ptr<CPostharbourDoc> m_doc;
};

// Runs `command` over the open document: its result is the exit status.
template <class Command>
int WithDocument(const GlobalOptions& options, Command command) {
    Session session(options);
    if (!session.Open()) return 1;
    return command(session);
}

}  // namespace ph::cli
