#include "TerminalUI.h"

#include <unistd.h>

#include <array>

#include "Arguments.h"
#include "Display.h"
#include "common/Bytes.h"

namespace ph::cli {
namespace {

// The choices of the import dialog, in the order the dialog shows them.
struct ImportChoice {
    const char* question;
    bool ImportOptions::*member;
};
constexpr std::array<ImportChoice, 9> kImportChoices = {{
    {"Import new accounts", &ImportOptions::newAccounts},
    {"Import new e-mail", &ImportOptions::newEmail},
    {"Import new folders", &ImportOptions::newFolders},
    {"Import folder contents", &ImportOptions::folderContents},
    {"Import new address book entries", &ImportOptions::newAddressBookEntries},
    {"Import new groups", &ImportOptions::newGroups},
    {"Import new group entries", &ImportOptions::newGroupEntries},
    {"Import new rules", &ImportOptions::newRules},
    {"Import rule changes", &ImportOptions::ruleChanges},
}};

// What a message box answers when nobody can be asked: the button that leaves things as they are.
IUserInterface::Answer CautiousAnswer(IUserInterface::Buttons buttons) {
    switch (buttons) {
        case IUserInterface::Buttons::Ok: return IUserInterface::Answer::Ok;
        case IUserInterface::Buttons::OkCancel: return IUserInterface::Answer::Cancel;
        case IUserInterface::Buttons::YesNo: return IUserInterface::Answer::No;
        case IUserInterface::Buttons::YesNoCancel: return IUserInterface::Answer::Cancel;
    }
    return IUserInterface::Answer::Cancel;
}

IUserInterface::Answer AgreeingAnswer(IUserInterface::Buttons buttons) {
    return buttons == IUserInterface::Buttons::Ok || buttons == IUserInterface::Buttons::OkCancel
               ? IUserInterface::Answer::Ok
               : IUserInterface::Answer::Yes;
}

}  // namespace

TerminalUI::TerminalUI(Options options, std::FILE* in, std::FILE* err)
    : m_options(options), m_in(in), m_err(err) {}

bool TerminalUI::Interactive() const { return ::isatty(::fileno(m_in)) == 1; }

std::optional<std::string> TerminalUI::ReadLine() {
    std::string line;
    int c;
    while ((c = std::fgetc(m_in)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<bool> TerminalUI::AskYesNo(std::string_view question, bool byDefault) {
    for (;;) {
        std::fprintf(m_err, "%.*s? [%s] ", static_cast<int>(question.size()), question.data(),
                     byDefault ? "Y/n" : "y/N");
        std::fflush(m_err);
        const std::optional<std::string> line = ReadLine();
        if (!line) return std::nullopt;
        if (line->empty()) return byDefault;
        const char first = AsciiLower((*line)[0]);
        if (first == 'y') return true;
        if (first == 'n') return false;
    }
}

IUserInterface::Answer TerminalUI::MessageBox(std::string_view text, std::string_view caption, Buttons buttons) {
    std::fprintf(m_err, "%s: %s\n", EscapeForLine(caption).c_str(), EscapeForLine(text).c_str());
    if (buttons == Buttons::Ok) return Answer::Ok;
    if (const auto preset = m_presetAnswers.find(text); preset != m_presetAnswers.end()) return preset->second;
    if (m_options.yes) return AgreeingAnswer(buttons);
    if (!Interactive()) return CautiousAnswer(buttons);
    const bool withCancel = buttons == Buttons::YesNoCancel;
    const bool okCancel = buttons == Buttons::OkCancel;
    for (;;) {
        std::fprintf(m_err, "%s ", okCancel ? "[o]k / [c]ancel?" : withCancel ? "[y]es / [n]o / [c]ancel?" : "[y]es / [n]o?");
        std::fflush(m_err);
        const std::optional<std::string> line = ReadLine();
        if (!line) return CautiousAnswer(buttons);
        const char first = line->empty() ? '\0' : AsciiLower((*line)[0]);
        if (okCancel && first == 'o') return Answer::Ok;
        if (okCancel && first == 'c') return Answer::Cancel;
        if (!okCancel && first == 'y') return Answer::Yes;
        if (!okCancel && first == 'n') return Answer::No;
        if (withCancel && first == 'c') return Answer::Cancel;
    }
}

void TerminalUI::SetStatusText(std::string_view text) {
    if (m_options.verbose) std::fprintf(m_err, "%s\n", EscapeForLine(text).c_str());
}

bool TerminalUI::AskImportOptions(ImportOptions& options, bool& dontAskAgain) {
    if (m_options.yes || !Interactive()) return true;
    ImportOptions chosen = options;
    for (const ImportChoice& choice : kImportChoices) {
        const std::optional<bool> answer = AskYesNo(choice.question, chosen.*choice.member);
        if (!answer) return false;
        chosen.*choice.member = *answer;
    }
    const std::optional<bool> dontAsk = AskYesNo("Do not ask again", dontAskAgain);
    if (!dontAsk) return false;
    options = chosen;
    dontAskAgain = *dontAsk;
    return true;
}

void TerminalUI::SetTrayIcon(TrayIcon, std::string_view tooltip) { m_trayTooltip = tooltip; }

bool TerminalUI::ConfirmDeleteEmails(bool& dontAskAgain) {
    dontAskAgain = false;
    if (m_options.yes) return true;
    if (!Interactive()) return false;
    return AskYesNo("Really delete these emails", false).value_or(false);
}

bool TerminalUI::AskStorePassword(std::string& entered) {
    std::string why;
    std::optional<std::string> password = SecretFromEnvironment("PHCTL_STORE_PASSWORD", why);
    if (!password && Interactive()) password = SecretFromStdin("Store password", why);
    if (!password) return false;
    entered = *password;
    return true;
}

void TerminalUI::Beep() {
    if (::isatty(::fileno(m_err)) == 1) std::fputc('\a', m_err);
}

}  // namespace ph::cli
