#pragma once
// What the core asks of a front end, answered on the terminal. Everything it shows goes to
// stderr, so that stdout carries only a command's result and stays fit for a pipe.
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/IUserInterface.h"

namespace ph::cli {

class TerminalUI : public IUserInterface {
public:
    struct Options {
        bool yes = false;      // every question answered Yes (or Ok) without asking
        bool verbose = false;  // status texts shown
    };
    // `in` is where answers are read, `err` where everything is shown; both outlive this.
    // Questions are asked only when `in` is a terminal; otherwise the answer that changes
    // nothing (Cancel, or No) is taken, so a script never does something it was not told to.
    explicit TerminalUI(Options options, std::FILE* in = stdin, std::FILE* err = stderr);

    Answer MessageBox(std::string_view text, std::string_view caption, Buttons buttons) override;
    void SetStatusText(std::string_view text) override;
    // The stored choices are asked one by one on a terminal and taken as they are anywhere
    // else.
    bool AskImportOptions(ImportOptions& options, bool& dontAskAgain) override;
    void Beep() override;
    void SetTrayIcon(TrayIcon icon, std::string_view tooltip) override;
    void SetWaitCursor(bool) override {}
    // The rows are kept for the command that shows them (it knows where its output goes).
    void ShowCheckStatus(const std::vector<CheckStatusRow>& rows) override { m_statusRows = rows; }
    void CloseCheckStatus() override {}
    void SetProgress(int) override {}
    void RefreshViews() override {}
    // Asked as a yes/no question (with --yes: confirmed).
    bool ConfirmDeleteEmails(bool& dontAskAgain) override;
    // From PHCTL_STORE_PASSWORD, else asked on the terminal.
    bool AskStorePassword(std::string& entered) override;

    // The command line has answered the question `text` already: it is shown, not asked.
    void PresetAnswer(std::string text, Answer answer) { m_presetAnswers[std::move(text)] = answer; }

    const std::vector<CheckStatusRow>& StatusRows() const { return m_statusRows; }
    const std::string& TrayTooltip() const { return m_trayTooltip; }

private:
    bool Interactive() const;
    // One line from `in`, without its line end; nothing at the end of input.
    std::optional<std::string> ReadLine();
    // A yes/no question; nothing when the input ends (taken as Cancel).
    std::optional<bool> AskYesNo(std::string_view question, bool byDefault);

    Options m_options;
    std::FILE* m_in;
    std::FILE* m_err;
    std::map<std::string, Answer, std::less<>> m_presetAnswers;
    std::vector<CheckStatusRow> m_statusRows;
    std::string m_trayTooltip;
};

}  // namespace ph::cli
