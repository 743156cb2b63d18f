#pragma once

#include "CupsConnection.h"
#include "widgets/Dialogs.h"
#include "widgets/SpoolerWorker.h"

#include <QWidget>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quill::printui {

// The devices the print server finds, to pick the queue's device from: "Find devices"
// asks the server (which takes seconds) beside the window; picking one puts its URI into
// the device field. Cancel (the dialog closing) makes the server's answer no longer
// awaited: the request gives up within a moment.
class DeviceList : public QWidget {
public:
    DeviceList(PrinterAddress address, QLineEdit* device, widgets::Dialogs* passwords, QWidget* parent);
    ~DeviceList() override;

    void Search();
    void Cancel();
    // Backends the search leaves out (the tests' way to keep a search off the network).
    void ExcludeSchemes(std::vector<std::string> schemes) { m_exclude = std::move(schemes); }

    // How the last search ended, as its request saw it.
    enum class Ending { NotYet, Answered, Failed, GivenUp };
    Ending LastEnding() const { return *m_ending; }

private:
    PrinterAddress m_address;
    QLineEdit* m_device;
    widgets::Dialogs* m_passwords;
    QPushButton* m_find;
    QLabel* m_status;
    QComboBox* m_list;
    std::vector<std::string> m_exclude;
    std::shared_ptr<std::atomic<Ending>> m_ending = std::make_shared<std::atomic<Ending>>(Ending::NotYet);
    std::unique_ptr<widgets::SpoolerWorker> m_worker;
};

} // namespace quill::printui
