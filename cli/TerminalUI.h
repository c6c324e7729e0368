#pragma once
// What the core asks of a front end, answered on the terminal. Everything it shows goes to
// stderr, so that stdout carries only a command's result and stays fit for a pipe.
#include <cstdio>
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

private:
    bool Interactive() const;
    // One line from `in`, without its line end; nothing at the end of input.
    std::optional<std::string> ReadLine();
    // A yes/no question; nothing when the input ends (taken as Cancel).
    std::optional<bool> AskYesNo(std::string_view question, bool byDefault);

    Options m_options;
    std::FILE* m_in;
    std::FILE* m_err;
};

}  // namespace ph::cli
