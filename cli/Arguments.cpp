#include "Arguments.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Display.h"
#include "common/Bytes.h"

namespace ph::cli {
namespace {

// Exactly one candidate, or a reason.
template <class T>
T* Single(const std::vector<T*>& found, std::string_view what, std::string_view key, std::string& why) {
    if (found.size() == 1) return found.front();
    why = found.empty() ? "no " + std::string(what) + " " + std::string(key)
                        : "more than one " + std::string(what) + " is " + std::string(key) + "; name it by its id";
    return nullptr;
}

// Echo is off while a secret is typed, and back on however the reading ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : m_fd(fd) {
        if (::tcgetattr(fd, &m_saved) != 0) return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (m_active) ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int m_fd;
    termios m_saved{};
    bool m_active = false;
};

}  // namespace

std::optional<int> ParseId(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    const std::optional<int> id = ParseInt(text);
    if (!id || *id <= 0) return std::nullopt;
    return id;
}

std::optional<int> ParseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<bool> ParseSwitch(std::string_view text) {
    for (const char* on : {"on", "true", "1"})
        if (EqualsNoCase(text, on)) return true;
    for (const char* off : {"off", "false", "0"})
        if (EqualsNoCase(text, off)) return false;
    return std::nullopt;
}

std::optional<std::string> SecretFromEnvironment(const std::string& variable, std::string& why) {
    const char* value = std::getenv(variable.c_str());
    if (!value) {
        why = "the environment variable " + variable + " is not set";
        return std::nullopt;
    }
    std::optional<std::string> stored = StoredText(value);
    if (!stored) why = "the secret in " + variable + " holds characters that cannot be stored";
    return stored;
}

std::optional<std::string> SecretFromStdin(std::string_view prompt, std::string& why) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    std::string line;
    bool gotAny = false;
    {
        std::optional<EchoOff> quiet;
        if (terminal) {
            std::fprintf(stderr, "%.*s: ", static_cast<int>(prompt.size()), prompt.data());
            std::fflush(stderr);
            quiet.emplace(STDIN_FILENO);
        }
        for (int c; (c = std::fgetc(stdin)) != EOF;) {
            gotAny = true;
            if (c == '\n') break;
            line += static_cast<char>(c);
        }
    }
    if (terminal) std::fputc('\n', stderr);
    if (!gotAny) {
        why = "nothing to read on stdin";
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::optional<std::string> stored = StoredText(line);
    if (!stored) why = "the secret on stdin holds characters that cannot be stored";
    return stored;
}

CEmailAccount* ResolveAccount(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    if (const std::optional<int> id = ParseId(key)) {
        if (CEmailAccount* account = doc.FindAccount(*id)) return account;
    }
    const std::optional<std::string> name = StoredText(key);
    std::vector<CEmailAccount*> found;
    if (name) {
        for (const auto& account : doc.m_accounts)
            if (account->m_emailName == *name) found.push_back(account.get());
        // Web-mail accounts are known by the address they show, which may differ from the one entered.
        if (found.empty())
            for (const auto& account : doc.m_accounts)
                if (account->ShownAddress() == *name) found.push_back(account.get());
    }
    return Single(found, "account", key, why);
}

CEmailFolderNode* ResolveFolder(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    if (const std::optional<int> id = ParseId(key)) {
        if (CEmailFolderNode* folder = doc.FindFolder(*id)) return folder;
    }
    const std::optional<std::string> path = StoredText(key);
    std::vector<CEmailFolderNode*> found;
    if (path)
        for (const auto& folder : doc.m_allFolders)
            if (!folder->m_path.empty() && folder->m_path == *path) found.push_back(folder.get());
    return Single(found, "folder", key, why);
}

CAccountGroupNode* ResolveGroup(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    if (const std::optional<int> id = ParseId(key)) {
        if (CAccountGroupNode* group = doc.FindGroup(*id)) return group;
    }
    const std::optional<std::string> name = StoredText(key);
    std::vector<CAccountGroupNode*> found;
    if (name)
        for (const auto& group : doc.m_allGroups)
            if (group->m_name == *name) found.push_back(group.get());
    return Single(found, "group", key, why);
}

AddressBookEntry* ResolveEntry(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    if (const std::optional<int> id = ParseId(key)) {
        if (AddressBookEntry* entry = doc.FindAddressBookEntry(*id)) return entry;
    }
    const std::optional<std::string> email = StoredText(key);
    std::vector<AddressBookEntry*> found;
    if (email)
        for (const auto& entry : doc.m_addressBook)
            if (EqualsNoCase(entry->m_email, *email)) found.push_back(entry.get());
    return Single(found, "address book entry", key, why);
}

CEmailMessage* ResolveMessage(const CPostharbourDoc& doc, std::string_view key, std::string& why) {
    // Store ids are written "%d": "07" or "+7" would name nothing, so they are read as numbers.
    const bool digits = !key.empty() && key.find_first_not_of("0123456789") == std::string_view::npos;
    const std::optional<int> slot = digits ? ParseInt(key) : std::nullopt;
    CEmailMessage* message = slot ? doc.FindMessage(std::to_string(*slot)) : nullptr;
    if (!message) why = "no message " + EscapeForLine(key);
    return message;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot open " + EscapeForLine(path) + ": " + std::strerror(errno);
        return false;
    }
    data.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "cannot read " + EscapeForLine(path) + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace ph::cli
