#include "Session.h"

#include <filesystem>
#include <iostream>

#include "Display.h"
#include "app/Paths.h"
#include "model/ProfileSettings.h"

namespace ph::cli {

std::string ProgramExecutablePath() {
    const std::string dir = ExecutableDirectory();
    return (dir.empty() ? std::string(".") : dir) + "/postharbour";
}

std::string ProgramProfilePath() { return ProfilePath(ProgramExecutablePath()); }

std::string ProgramStorePath(const Profile& profile) {
    return DefaultStorePath(ProgramExecutablePath(), ReadProfileSettings(profile).DbFilename);
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

int Fail(std::string_view message) {
    std::cerr << "phctl: " << message << "\n";
    return 1;
}

Session::Session(const GlobalOptions& options)
    : m_options(options),
      m_ui(TerminalUI::Options{options.yes, options.verbose}),
      m_profile(ProgramProfilePath()),
      m_doc(std::make_unique<CPostharbourDoc>(m_ui, m_profile)) {}

bool Session::Open() {
    std::string path;
    if (!m_options.store.empty()) {
        path = AbsolutePath(m_options.store);
    } else {
        path = ProgramStorePath(m_profile);
        // The first use under the XDG directories finds no folder for the store yet.
        const std::string dir = std::filesystem::path(path).parent_path().string();
        if (!dir.empty() && !MakeDirectories(dir)) {
            Fail("cannot create the folder " + EscapeForLine(dir));
            return false;
        }
    }
    // A store named on the command line must exist: a typing mistake should not create one,
    // nor set a file that is not a store aside. The program's own store is made on first use.
    const auto mode = m_options.store.empty() ? CPostharbourDoc::OpenMode::CreateOrRecover
                                              : CPostharbourDoc::OpenMode::ExistingOnly;
    if (m_doc->OpenStore(path, mode)) return true;
    const std::string& why = m_doc->OpenError();
    Fail("cannot open the store " + EscapeForLine(path) + (why.empty() ? "" : ": " + EscapeForLine(why)));
    return false;
}

}  // namespace ph::cli
