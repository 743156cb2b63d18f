#pragma once

#include "PrinterProperties.h"
#include "widgets/Dialogs.h"

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace quill::widgets {
class SpoolerWorker;
}

namespace quill::printui {

class AccessTab;
class DefaultsTab;
class DeviceList;
class SuppliesTab;

// "<printer> Properties": the queue's description, location, device (with the devices the
// server finds), driver (with "Change…"), state and a test page (General), whether it prints,
// takes jobs and is shared, its error and operation policies and banners (Policies), who may
// print on it (Access), its defaults for everyone (Defaults) and its supply levels
// (Supplies). OK and Apply send the changes to CUPS; a refusal is shown with CUPS' reason
// and the dialog stays open; CUPS' question for a password is asked through passwords. A
// connection's properties are shown read-only.
class PropertiesDialog : public QDialog {
public:
    PropertiesDialog(const std::string& printerName, PrinterAddress address, PrinterProperties properties,
                     widgets::Dialogs& passwords, QWidget* parent = nullptr);

    ~PropertiesDialog() override;

    // Closing is refused while changes are on their way to CUPS.
    void reject() override;
    // Closing gives up the device search and a test page still on its way.
    void done(int result) override;

private:
    QWidget* GeneralTab();
    QWidget* PoliciesTab();
    PrinterProperties Edited() const;
    void Show(const PrinterProperties& properties);
    bool Apply();
    void ChangeDriver();
    void PrintTestPage();

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
    QLabel* m_reasons;
    DeviceList* m_devices;
    QPushButton* m_changeDriver;
    QPushButton* m_testPage;
    QLabel* m_testPageResult;
    DefaultsTab* m_defaults;
    // The driver chosen with "Change…", sent with OK or Apply.
    std::string m_newDriver;
    std::string m_newDriverLabel;
    std::unique_ptr<widgets::SpoolerWorker> m_testPageWorker;
    QLabel* m_error;
    bool m_busy = false;
    QDialogButtonBox* m_buttons;
};

} // namespace quill::printui
