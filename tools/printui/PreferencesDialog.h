#pragma once

#include "PrinterOptions.h"

#include <QDialog>

#include <vector>

class QLabel;
class QWidget;

namespace quill::printui {

// "<printer> Printing Preferences": the user's default options for the printer, each
// preset to the saved choice or the printer's default. OK saves the options the user
// changed to lpoptions; Cancel saves nothing.
class PreferencesDialog : public QDialog {
public:
    PreferencesDialog(const std::string& printerName, PrinterAddress address, std::vector<PrinterOption> options,
                      QWidget* parent = nullptr);

    // Closing is refused while changes are on their way to CUPS.
    void reject() override;

private:
    // The value an option's control shows now.
    std::string ValueOf(std::size_t index) const;
    bool Save();

    PrinterAddress m_address;
    std::vector<PrinterOption> m_options;
    std::vector<QWidget*> m_controls;
    std::vector<std::string> m_initial;
    QLabel* m_error;
    bool m_busy = false;
};

} // namespace quill::printui
