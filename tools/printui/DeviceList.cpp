#include "DeviceList.h"

#include "DialogSupport.h"
#include "Devices.h"

#include "spooler/RequestAbort.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

struct Found {
    std::optional<std::vector<Device>> devices;
    std::string error;
};

} // namespace

DeviceList::DeviceList(PrinterAddress address, QLineEdit* device, widgets::Dialogs* passwords, QWidget* parent)
    : QWidget(parent), m_address(std::move(address)), m_device(device), m_passwords(passwords) {
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_find = new QPushButton(QStringLiteral("&Find devices"), this);
    m_find->setObjectName(QStringLiteral("findDevices"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("deviceSearch"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_list = new QComboBox(this);
    m_list->setObjectName(QStringLiteral("devices"));
    m_list->setAccessibleName(QStringLiteral("Devices found"));
    m_list->hide();
    layout->addWidget(m_find, 0, 0);
    layout->addWidget(m_status, 0, 1);
    layout->addWidget(m_list, 1, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    connect(m_find, &QPushButton::clicked, this, [this] { Search(); });
    connect(m_list, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        const QByteArray uri = m_list->itemData(index).toByteArray();
        if (uri.isEmpty()) return;
        m_device->setText(QString::fromLocal8Bit(uri));
        m_device->setModified(true);
    });
}

DeviceList::~DeviceList() = default;

void DeviceList::Search() {
    Cancel();
    m_worker = std::make_unique<widgets::SpoolerWorker>(this, m_passwords);
    m_find->setEnabled(false);
    m_status->setText(QStringLiteral("Searching for devices…"));
    *m_ending = Ending::NotYet;
    m_worker->Post(
        [address = m_address, exclude = m_exclude, ending = m_ending] {
            Found found;
            found.devices = FindDevices(address, found.error, exclude);
            *ending = spooler::AbortScope::Requested() ? Ending::GivenUp
                      : found.devices                  ? Ending::Answered
                                                       : Ending::Failed;
            return found;
        },
        [this](Found found) {
            m_find->setEnabled(true);
            if (!found.devices) {
                m_status->setText(QStringLiteral("The devices could not be listed: ") + Shown(found.error));
                GrowToFit(window());
                return;
            }
            m_list->clear();
            m_list->addItem(QStringLiteral("Pick a device found…"));
            int complete = 0;
            for (const Device& d : *found.devices) {
                // A bare scheme is a kind of connection whose address the user types.
                const bool whole = d.uri.find(':') != std::string::npos;
                QString text = Shown(d.info.empty() ? d.makeAndModel : d.info);
                text += whole ? QStringLiteral(" — ") + Shown(d.uri) : QStringLiteral(" (%1:…)").arg(Shown(d.uri));
                m_list->addItem(text, whole ? QByteArray::fromStdString(d.uri) : QByteArray());
                complete += whole ? 1 : 0;
            }
            m_status->setText(QStringLiteral("%1 devices found.").arg(complete));
            m_list->show();
            GrowToFit(window());
        });
}

void DeviceList::Cancel() {
    // The worker gives up its request and goes: its answer is never applied.
    m_worker.reset();
    m_find->setEnabled(true);
    if (*m_ending == Ending::NotYet && m_status->text() == QStringLiteral("Searching for devices…")) m_status->clear();
}

} // namespace quill::printui
