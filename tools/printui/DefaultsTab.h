#pragma once

#include "PrinterOptions.h"
#include "widgets/Dialogs.h"
#include "widgets/SpoolerWorker.h"

#include <QWidget>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class QFormLayout;
class QLabel;
class QVBoxLayout;

namespace quill::printui {

// "Defaults for everyone": the queue's own default options on the server, which every user
// who has not chosen otherwise in Printing Preferences prints with. Read beside the window
// the first time the tab is shown, so the dialog opens without them.
class DefaultsTab : public QWidget {
public:
    DefaultsTab(PrinterAddress address, bool readOnly, widgets::Dialogs* passwords, QWidget* parent);
    ~DefaultsTab() override;

    // The options whose control shows another value than the server's default, with the value
    // shown, and with the server's.
    std::vector<std::pair<std::string, std::string>> Changed() const;
    std::vector<std::pair<std::string, std::string>>
    ServerValuesOf(const std::vector<std::pair<std::string, std::string>>& changed) const;
    // The values shown are now the server's.
    void Applied();
    // Reads the defaults again (after a new driver) when they have been read.
    void Reload();
    // Whether the options are shown (or could not be read).
    bool loaded() const { return m_loaded; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Load();
    void Fill(std::vector<PrinterOption> options);

    PrinterAddress m_address;
    bool m_readOnly;
    widgets::Dialogs* m_passwords;
    bool m_requested = false;
    bool m_loaded = false;
    bool m_failed = false; // the last reading failed: the tab reads again when shown again
    QVBoxLayout* m_layout;
    QLabel* m_status;
    QWidget* m_content = nullptr;
    std::vector<PrinterOption> m_options;
    std::vector<QWidget*> m_controls;
    std::vector<std::string> m_initial;
    std::unique_ptr<widgets::SpoolerWorker> m_worker;
};

} // namespace quill::printui
