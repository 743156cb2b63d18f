#pragma once

#include "PrinterProperties.h"
#include "widgets/Dialogs.h"

#include <QDialog>

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace quill::printui {

// "<printer> Properties": the queue's description, location, device, driver, state and
// sharing. OK and Apply send the changes to CUPS; a refusal is shown with CUPS' reason
// and the dialog stays open; CUPS' question for a password is asked through passwords.
// A connection's properties are shown read-only.
class PropertiesDialog : public QDialog {
public:
    PropertiesDialog(const std::string& printerName, PrinterAddress address, PrinterProperties properties,
                     widgets::Dialogs& passwords, QWidget* parent = nullptr);

    // Closing is refused while changes are on their way to CUPS.
    void reject() override;

private:
    PrinterProperties Edited() const;
    void Show(const PrinterProperties& properties);
    bool Apply();

    PrinterAddress m_address;
    PrinterProperties m_current;
    widgets::Dialogs& m_passwords;
    QLineEdit* m_description;
    QLineEdit* m_location;
    QLineEdit* m_device;
    QLabel* m_driver;
    QLabel* m_state;
    QCheckBox* m_enabled;
    QCheckBox* m_accepting;
    QCheckBox* m_shared;
    QLabel* m_shareName;
    QLabel* m_error;
    bool m_busy = false;
    QDialogButtonBox* m_buttons;
};

} // namespace quill::printui
