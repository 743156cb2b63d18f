#pragma once

#include "widgets/Dialogs.h"

#include <deque>
#include <string>
#include <vector>

namespace quill::test {

// Boxes that never block: messages are recorded, answers come from a script
// (nullopt, as a cancel, when the script is empty).
class FakeDialogs final : public widgets::Dialogs {
public:
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ShowErrorMessage(const std::string& text) override { errors.push_back(text); }
    std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                        const std::string&) override {
        inputPrompts.push_back(caption + "|" + prompt);
        return Next(inputAnswers);
    }
    std::optional<std::pair<std::string, std::string>> AskPassword(const std::string& prompt,
                                                                   const std::string&) override {
        passwordPrompts.push_back(prompt);
        return std::nullopt; // cancelled
    }
    std::optional<std::string> OpenFile(const widgets::FileDialogSettings& settings) override {
        fileDialogs.push_back(settings);
        return Next(openAnswers);
    }
    std::optional<std::string> SaveFile(const widgets::FileDialogSettings& settings) override {
        fileDialogs.push_back(settings);
        return Next(saveAnswers);
    }

    std::vector<std::string> messages;
    std::vector<std::string> errors;
    std::vector<std::string> inputPrompts;
    std::vector<std::string> passwordPrompts;
    std::vector<widgets::FileDialogSettings> fileDialogs;
    std::deque<std::optional<std::string>> inputAnswers, openAnswers, saveAnswers;

private:
    static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace quill::test
