#include "PropertiesDialog.h"

#include "AccessTab.h"
#include "DefaultsTab.h"
#include "DeviceList.h"
#include "DialogSupport.h"
#include "DriverDialog.h"
#include "SuppliesTab.h"
#include "TestPage.h"

#include "widgets/SpoolerWorker.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string Bytes(const QString& text) { return text.toLocal8Bit().toStdString(); }

QLabel* PlainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString ErrorPolicyCaption(const std::string& policy) {
    if (policy == "stop-printer") return QStringLiteral("Stop printer");
    if (policy == "retry-job") return QStringLiteral("Retry job");
    if (policy == "retry-current-job") return QStringLiteral("Retry current job");
    if (policy == "abort-job") return QStringLiteral("Abort job");
    return Shown(policy);
}

QString BannerCaption(const std::string& banner) { return banner == "none" ? QStringLiteral("None") : Shown(banner); }

QComboBox* Choices(QWidget* parent, const char* name) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    return combo;
}

// The server's choices, with the current one selected (listed too when the server does
// not offer it, so that what is set is what is shown).
void Fill(QComboBox* combo, std::vector<std::string> choices, const std::string& current,
          QString (*caption)(const std::string&)) {
    combo->clear();
    if (std::find(choices.begin(), choices.end(), current) == choices.end()) choices.insert(choices.begin(), current);
    for (const std::string& choice : choices) combo->addItem(caption(choice), QByteArray::fromStdString(choice));
    combo->setCurrentIndex(combo->findData(QByteArray::fromStdString(current)));
}

std::string Chosen(const QComboBox* combo) { return combo->currentData().toByteArray().toStdString(); }

struct Outcome {
    bool ok = false;
    std::string error;
    std::optional<PrinterProperties> now;
};

} // namespace

PropertiesDialog::PropertiesDialog(const std::string& printerName, PrinterAddress address, PrinterProperties properties,
                                   widgets::Dialogs& passwords, QWidget* parent)
    : QDialog(parent), m_address(std::move(address)), m_current(std::move(properties)), m_passwords(passwords) {
    setWindowTitle(Shown(printerName) + QStringLiteral(" Properties"));
    auto* layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabs"));
    // Every tab's title in view: the dialog is as wide as its tab bar.
    m_tabs->setUsesScrollButtons(false);
    m_tabs->addTab(GeneralTab(), QStringLiteral("&General"));
    m_tabs->addTab(PoliciesTab(), QStringLiteral("&Policies"));
    m_access = new AccessTab(this);
    m_access->setObjectName(QStringLiteral("access"));
    m_tabs->addTab(m_access, QStringLiteral("A&ccess"));
    m_defaults = new DefaultsTab(m_address, m_current.connection, &m_passwords, this);
    m_defaults->setObjectName(QStringLiteral("defaultsTab"));
    m_tabs->addTab(m_defaults, QStringLiteral("Defa&ults for everyone"));
    m_supplies = new SuppliesTab(this);
    m_supplies->setObjectName(QStringLiteral("supplies"));
    m_tabs->addTab(m_supplies, QStringLiteral("Suppl&ies"));
    layout->addWidget(m_tabs);

    if (m_current.connection) {
        auto* note = PlainLabel(this);
        note->setText(QStringLiteral("This printer belongs to another computer: its settings are shown, not changed."));
        layout->addWidget(note);
    }
    m_error = PlainLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setStyleSheet(QStringLiteral("color: #b00000"));
    m_error->hide();
    layout->addWidget(m_error);

    m_buttons = new QDialogButtonBox(this);
    if (m_current.connection) {
        m_buttons->setStandardButtons(QDialogButtonBox::Close);
        connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        for (QLineEdit* edit : {m_description, m_location, m_device}) edit->setReadOnly(true);
        for (QCheckBox* box : {m_enabled, m_accepting, m_shared}) box->setEnabled(false);
        for (QComboBox* combo : {m_errorPolicy, m_opPolicy, m_bannerStart, m_bannerEnd}) combo->setEnabled(false);
        m_access->SetReadOnly(true);
        m_devices->hide();
        m_changeDriver->setEnabled(false);
    } else {
        m_buttons->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
        connect(m_buttons, &QDialogButtonBox::accepted, this, [this] {
            if (Apply()) accept();
        });
        connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(m_buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] { Apply(); });
    }
    layout->addWidget(m_buttons);
    Show(m_current);
    FitAndCentre(this);
}

QWidget* PropertiesDialog::GeneralTab() {
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    m_description = new QLineEdit(page);
    m_description->setObjectName(QStringLiteral("description"));
    m_location = new QLineEdit(page);
    m_location->setObjectName(QStringLiteral("location"));
    m_device = new QLineEdit(page);
    m_device->setObjectName(QStringLiteral("device"));
    m_device->setMinimumWidth(320);
    m_driver = PlainLabel(page);
    m_driver->setObjectName(QStringLiteral("driver"));
    m_state = PlainLabel(page);
    m_reasons = PlainLabel(page);
    m_reasons->setObjectName(QStringLiteral("stateReasons"));
    form->addRow(QStringLiteral("&Description:"), m_description);
    form->addRow(QStringLiteral("&Location:"), m_location);

    auto* device = new QWidget(page);
    auto* deviceLayout = new QVBoxLayout(device);
    deviceLayout->setContentsMargins(0, 0, 0, 0);
    deviceLayout->addWidget(m_device);
    m_devices = new DeviceList(m_address, m_device, &m_passwords, device);
    m_devices->setObjectName(QStringLiteral("deviceList"));
    deviceLayout->addWidget(m_devices);
    device->setFocusProxy(m_device);
    // The label's mnemonic and a screen reader reach the field itself, not the box
    // around it with the device search.
    auto* deviceLabel = new QLabel(QStringLiteral("De&vice:"), page);
    deviceLabel->setBuddy(m_device);
    m_device->setAccessibleName(QStringLiteral("Device"));
    form->addRow(deviceLabel, device);

    auto* driver = new QWidget(page);
    auto* driverLayout = new QHBoxLayout(driver);
    driverLayout->setContentsMargins(0, 0, 0, 0);
    driverLayout->addWidget(m_driver, 1);
    m_changeDriver = new QPushButton(QStringLiteral("C&hange…"), driver);
    m_changeDriver->setObjectName(QStringLiteral("changeDriver"));
    m_changeDriver->setAccessibleName(QStringLiteral("Change driver"));
    driverLayout->addWidget(m_changeDriver);
    connect(m_changeDriver, &QPushButton::clicked, this, [this] { ChangeDriver(); });
    form->addRow(QStringLiteral("Driver:"), driver);
    form->addRow(QStringLiteral("State:"), m_state);
    form->addRow(QStringLiteral("Reasons:"), m_reasons);

    auto* testPage = new QWidget(page);
    auto* testPageLayout = new QHBoxLayout(testPage);
    testPageLayout->setContentsMargins(0, 0, 0, 0);
    m_testPage = new QPushButton(QStringLiteral("Print &Test Page"), testPage);
    m_testPage->setObjectName(QStringLiteral("printTestPage"));
    m_testPageResult = PlainLabel(testPage);
    m_testPageResult->setObjectName(QStringLiteral("testPageResult"));
    testPageLayout->addWidget(m_testPage);
    testPageLayout->addWidget(m_testPageResult, 1);
    connect(m_testPage, &QPushButton::clicked, this, [this] { PrintTestPage(); });
    form->addRow(QString(), testPage);
    return page;
}

void PropertiesDialog::ChangeDriver() {
    const std::string device = m_device->isModified() ? Bytes(m_device->text()) : m_current.device;
    auto* dialog = new DriverDialog(m_address, device, &m_passwords, this);
    dialog->setObjectName(QStringLiteral("driverDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        m_newDriver = dialog->chosenName();
        m_newDriverLabel = dialog->chosenLabel();
        m_driver->setText(Shown(m_newDriverLabel) + QStringLiteral(" (set with OK or Apply)"));
    });
    dialog->open();
}

void PropertiesDialog::PrintTestPage() {
    m_testPage->setEnabled(false);
    m_testPageResult->setText(QStringLiteral("Sending the test page…"));
    if (!m_testPageWorker) m_testPageWorker = std::make_unique<widgets::SpoolerWorker>(this, &m_passwords);
    struct Sent {
        std::optional<int> job;
        std::string error;
    };
    m_testPageWorker->Post(
        [address = m_address] {
            Sent sent;
            sent.job = printui::PrintTestPage(address, sent.error);
            return sent;
        },
        [this](Sent sent) {
            m_testPage->setEnabled(true);
            m_testPageResult->setText(sent.job ? QStringLiteral("Test page sent as job %1.").arg(*sent.job)
                                               : QStringLiteral("The test page was not printed: ") + Shown(sent.error));
            GrowToFit(this);
        });
}

QWidget* PropertiesDialog::PoliciesTab() {
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    m_enabled = new QCheckBox(QStringLiteral("&Enabled (prints its jobs)"), page);
    m_enabled->setObjectName(QStringLiteral("enabled"));
    m_accepting = new QCheckBox(QStringLiteral("&Accepting jobs"), page);
    m_accepting->setObjectName(QStringLiteral("accepting"));
    m_shared = new QCheckBox(QStringLiteral("&Shared with other computers"), page);
    m_shared->setObjectName(QStringLiteral("shared"));
    m_shareName = PlainLabel(page);
    m_shareName->setObjectName(QStringLiteral("shareName"));
    form->addRow(QString(), m_enabled);
    form->addRow(QString(), m_accepting);
    form->addRow(QString(), m_shared);
    form->addRow(QStringLiteral("Share name:"), m_shareName);
    m_errorPolicy = Choices(page, "errorPolicy");
    m_opPolicy = Choices(page, "opPolicy");
    m_bannerStart = Choices(page, "bannerStart");
    m_bannerEnd = Choices(page, "bannerEnd");
    form->addRow(QStringLiteral("E&rror policy:"), m_errorPolicy);
    form->addRow(QStringLiteral("Operation polic&y:"), m_opPolicy);
    form->addRow(QStringLiteral("Banner at s&tart of each job:"), m_bannerStart);
    form->addRow(QStringLiteral("Banner at e&nd of each job:"), m_bannerEnd);
    return page;
}

void PropertiesDialog::Show(const PrinterProperties& p) {
    m_description->setText(Shown(p.description));
    m_location->setText(Shown(p.location));
    m_device->setText(Shown(p.device));
    m_driver->setText(Shown(p.driver));
    QString state = p.enabled ? QStringLiteral("Enabled") : QStringLiteral("Stopped");
    state += p.accepting ? QStringLiteral(", accepting jobs") : QStringLiteral(", rejecting jobs");
    if (!p.stateMessage.empty()) state += QStringLiteral(" (") + Shown(p.stateMessage) + QStringLiteral(")");
    m_state->setText(state);
    QStringList reasons;
    for (const std::string& reason : p.stateReasons) reasons << Shown(reason);
    m_reasons->setText(reasons.isEmpty() ? QStringLiteral("None") : reasons.join(QStringLiteral(", ")));
    m_enabled->setChecked(p.enabled);
    m_accepting->setChecked(p.accepting);
    m_shared->setChecked(p.shared);
    // Other computers reach a shared printer under its share-name class, else its queue.
    const std::string shareName = p.shareClass.empty() ? m_address.queue : p.shareClass;
    m_shareName->setText(p.shared || !p.shareClass.empty() ? Shown(shareName) : QStringLiteral("(not shared)"));
    Fill(m_errorPolicy, p.errorPolicies, p.errorPolicy, ErrorPolicyCaption);
    Fill(m_opPolicy, p.opPolicies, p.opPolicy, Shown);
    Fill(m_bannerStart, p.banners, p.bannerStart, BannerCaption);
    Fill(m_bannerEnd, p.banners, p.bannerEnd, BannerCaption);
    m_access->Show(p);
    // A connection reads what its server reports; the printer is asked only for a queue here.
    m_supplies->Show(p.markers, p.connection ? std::string() : p.device);
}

PrinterProperties PropertiesDialog::Edited() const {
    PrinterProperties p = m_current;
    // Fields the user left alone keep their bytes: only an edited text is converted.
    if (m_description->isModified()) p.description = Bytes(m_description->text());
    if (m_location->isModified()) p.location = Bytes(m_location->text());
    if (m_device->isModified()) p.device = Bytes(m_device->text());
    p.enabled = m_enabled->isChecked();
    p.accepting = m_accepting->isChecked();
    p.shared = m_shared->isChecked();
    p.errorPolicy = Chosen(m_errorPolicy);
    p.opPolicy = Chosen(m_opPolicy);
    p.bannerStart = Chosen(m_bannerStart);
    p.bannerEnd = Chosen(m_bannerEnd);
    p.newDriver = m_newDriver;
    p.newDriverLabel = m_newDriverLabel;
    p.serverDefaults = m_defaults->Changed();
    return p;
}

bool PropertiesDialog::Apply() {
    PrinterProperties edited = Edited();
    if (QString why; !m_access->Edit(edited, why)) {
        m_error->setText(why);
        m_error->show();
        m_tabs->setCurrentWidget(m_access);
        GrowToFit(this);
        return false;
    }
    PrinterProperties before = m_current;
    before.serverDefaults = m_defaults->ServerValuesOf(edited.serverDefaults);
    setEnabled(false);
    m_busy = true;
    const Outcome outcome = RunBesideTheWindow(
        [&] {
            Outcome o;
            o.ok = ApplyProperties(m_address, before, edited, o.error);
            // What CUPS made of the change (it may normalise a device, say); a refused
            // change left the queue as it was.
            std::string ignored;
            if (o.ok) o.now = ReadProperties(m_address, ignored);
            return o;
        },
        &m_passwords);
    m_busy = false;
    setEnabled(true);
    if (outcome.now) m_current = *outcome.now;
    else if (outcome.ok) m_current = edited;
    if (outcome.ok) {
        m_current.newDriver.clear();
        m_current.newDriverLabel.clear();
        m_current.serverDefaults.clear();
        m_defaults->Applied();
        if (!m_newDriver.empty()) {
            // The new driver has defaults of its own.
            m_newDriver.clear();
            m_newDriverLabel.clear();
            m_defaults->Reload();
        }
        Show(m_current);
        for (QLineEdit* edit : {m_description, m_location, m_device}) edit->setModified(false);
        m_error->hide();
        return true;
    }
    // The user's edits stay in the fields, to be corrected or cancelled.
    m_error->setText(QStringLiteral("CUPS did not take the changes: ") + Shown(outcome.error));
    m_error->show();
    GrowToFit(this);
    return false;
}

void PropertiesDialog::reject() {
    if (!m_busy) QDialog::reject();
}

void PropertiesDialog::done(int result) {
    m_devices->Cancel();
    m_supplies->Cancel();
    m_testPageWorker.reset();
    QDialog::done(result);
}

PropertiesDialog::~PropertiesDialog() = default;

} // namespace quill::printui
