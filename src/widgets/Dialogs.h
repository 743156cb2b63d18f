#pragma once

#include <optional>
#include <string>
#include <utility>

class QMessageBox;
class QWidget;

namespace quill::widgets {

// What a file dialog is set up with. The filter is "Description|pattern".
struct FileDialogSettings {
    std::string Title;
    std::string InitialDir; // the folder the dialog opens in; empty: the current one
    std::string DefaultExt;
    std::string FileName;
    std::string Filter;
    bool OverwritePrompt = false;
    bool HideReadOnly = false;
    bool EnableSizing = false;
};

// The program's modal boxes. A box returns only when the user has answered it.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // The message box: the program's title as caption, the text, one OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    // The error message box: error icon, the text, one OK button.
    virtual void ShowErrorMessage(const std::string& text) = 0;
    // A single-line input box; nullopt when cancelled.
    virtual std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                                const std::string& defaultText) = 0;
    // The password box for a print server's question: (user, password) as typed, the
    // user preset; nullopt when cancelled.
    virtual std::optional<std::pair<std::string, std::string>> AskPassword(const std::string& prompt,
                                                                           const std::string& user) = 0;
    // The chosen file name; nullopt when cancelled.
    virtual std::optional<std::string> OpenFile(const FileDialogSettings& settings) = 0;
    virtual std::optional<std::string> SaveFile(const FileDialogSettings& settings) = 0;
};

// The boxes as Qt dialogs, modal to the program.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget* owner = nullptr) : m_owner(owner) {}
    void setOwner(QWidget* owner) { m_owner = owner; }

    void ShowMessage(const std::string& text) override;
    void ShowErrorMessage(const std::string& text) override;
    std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                        const std::string& defaultText) override;
    std::optional<std::pair<std::string, std::string>> AskPassword(const std::string& prompt,
                                                                   const std::string& user) override;
    std::optional<std::string> OpenFile(const FileDialogSettings& settings) override;
    std::optional<std::string> SaveFile(const FileDialogSettings& settings) override;

private:
    QWidget* m_owner;
};

// Widens a message box so that its title bar shows the whole caption.
void FitCaption(QMessageBox& box);

inline constexpr const char* kApplicationTitle = "QUILL Server Management";

} // namespace quill::widgets
