#pragma once

#include "PrinterProperties.h"
#include "widgets/Dialogs.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QTabWidget;

namespace quill::printui {

class AccessTab;
class SuppliesTab;

// "<printer> Properties": the queue's description, location, device, driver and state
// (General), whether it prints, takes jobs and is shared, its error and operation policies
// and banners (Policies), who may print on it (Access) and its supply levels (Supplies). OK and Apply send the changes
// to CUPS; a refusal is shown with CUPS' reason and the dialog stays open; CUPS' question for a password is asked
// through passwords. A connection's properties are shown read-only.
class PropertiesDialog : public QDialog {
public:
    PropertiesDialog(const std::string& printerName, PrinterAddress address, PrinterProperties properties,
                     widgets::Dialogs& passwords, QWidget* parent = nullptr);

    // Closing is refused while changes are on their way to CUPS.
    void reject() override;

private:
    QWidget* GeneralTab();
    QWidget* PoliciesTab();
    PrinterProperties Edited() const;
    void Show(const PrinterProperties& properties);
    bool Apply();

    PrinterAddress m_address;
    PrinterProperties m_current;
    widgets::Dialogs& m_passwords;
    QTabWidget* m_tabs;
    QLineEdit* m_description;
    QLineEdit* m_location;
    QLineEdit* m_device;
    QLabel* m_driver;
    QLabel* m_state;
    QCheckBox* m_enabled;
    QCheckBox* m_accepting;
    QCheckBox* m_shared;
    QLabel* m_shareName;
    QComboBox* m_errorPolicy;
    QComboBox* m_opPolicy;
    QComboBox* m_bannerStart;
    QComboBox* m_bannerEnd;
    AccessTab* m_access;
    SuppliesTab* m_supplies;
    QLabel* m_error;
    bool m_busy = false;
    QDialogButtonBox* m_buttons;
};

} // namespace quill::printui
