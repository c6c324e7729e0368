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
};

}  // namespace ph::test
