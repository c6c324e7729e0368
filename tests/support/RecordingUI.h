#pragma once
// A user interface for tests: it records what the core shows and answers with what the test
// set up beforehand.
#include <deque>
#include <string>
#include <vector>

#include "common/IUserInterface.h"

namespace ph::test {

class RecordingUI : public IUserInterface {
public:
    struct Box {
        std::string text;
        std::string caption;
    };
    std::vector<Box> boxes;
    std::vector<std::string> statusTexts;
    int beeps = 0;
    // Answers for the next message boxes, in order; Ok (or Yes) when none is left.
    std::deque<Answer> answers;
    // The import options dialog: whether it is confirmed, and what it returns.
    bool importConfirmed = true;
    ImportOptions importChoice;
    bool importDontAsk = false;
    int importDialogs = 0;

    Answer MessageBox(std::string_view text, std::string_view caption, Buttons buttons) override {
        boxes.push_back({std::string(text), std::string(caption)});
        if (!answers.empty()) {
            const Answer a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == Buttons::YesNo || buttons == Buttons::YesNoCancel ? Answer::Yes : Answer::Ok;
    }
    void SetStatusText(std::string_view text) override { statusTexts.emplace_back(text); }
    bool AskImportOptions(ImportOptions& options, bool& dontAskAgain) override {
        ++importDialogs;
        if (!importConfirmed) return false;
        options = importChoice;
        dontAskAgain = importDontAsk;
        return true;
    }
    void Beep() override { ++beeps; }

    struct Tray {
        TrayIcon icon;
        std::string tooltip;
    };
    std::vector<Tray> trays;
    std::vector<std::vector<CheckStatusRow>> statusWindows;  // every showing, in order
    int statusWindowCloses = 0;
    std::vector<int> progress;
    int refreshes = 0;
    bool waitCursor = false;
    // Answers for the store password prompt, in order; a cancel when none is left.
    std::deque<std::string> passwords;
    int passwordPrompts = 0;

    void SetTrayIcon(TrayIcon icon, std::string_view tooltip) override {
        trays.push_back({icon, std::string(tooltip)});
    }
    void SetWaitCursor(bool waiting) override { waitCursor = waiting; }
    void ShowCheckStatus(const std::vector<CheckStatusRow>& rows) override { statusWindows.push_back(rows); }
    void CloseCheckStatus() override { ++statusWindowCloses; }
    void SetProgress(int percent) override { progress.push_back(percent); }
    void RefreshViews() override { ++refreshes; }
    // The delete confirmation: its answer and the "don't ask again" box.
    bool deleteConfirmed = true;
    bool deleteDontAsk = false;
    int deleteConfirmations = 0;
    bool ConfirmDeleteEmails(bool& dontAskAgain) override {
        ++deleteConfirmations;
        dontAskAgain = deleteDontAsk;
        return deleteConfirmed;
    }
    bool AskStorePassword(std::string& entered) override {
        ++passwordPrompts;
        if (passwords.empty()) return false;
        entered = passwords.front();
        passwords.pop_front();
        return true;
    }
};

}  // namespace ph::test
