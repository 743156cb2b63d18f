#include "DefaultsTab.h"

#include "DialogSupport.h"
#include "OptionControls.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

struct Read {
    std::optional<std::vector<PrinterOption>> options;
    std::string error;
};

} // namespace

DefaultsTab::DefaultsTab(PrinterAddress address, bool readOnly, widgets::Dialogs* passwords, QWidget* parent)
    : QWidget(parent), m_address(std::move(address)), m_readOnly(readOnly), m_passwords(passwords) {
    m_layout = new QVBoxLayout(this);
    auto* whose = new QLabel(QStringLiteral("These defaults apply to everyone who prints to this printer. Your own "
                                            "choices are in Printing Preferences."),
                             this);
    whose->setWordWrap(true);
    m_layout->addWidget(whose);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("defaultsStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_layout->addWidget(m_status);
    m_layout->addStretch(1);
}

DefaultsTab::~DefaultsTab() = default;

void DefaultsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_requested || m_failed) Load();
}

void DefaultsTab::Load() {
    m_requested = true;
    m_loaded = false;
    m_failed = false;
    m_status->setText(QStringLiteral("Reading the printer's defaults…"));
    m_status->show();
    m_worker = std::make_unique<widgets::SpoolerWorker>(this, m_passwords);
    m_worker->Post(
        [address = m_address] {
            Read r;
            r.options = ReadOptions(address, r.error, Presets::Server);
            return r;
        },
        [this](Read r) {
            m_loaded = true;
            if (!r.options) {
                m_failed = true;
                m_status->setText(QStringLiteral("The printer's defaults could not be read: ") + Shown(r.error));
                return;
            }
            m_status->hide();
            Fill(std::move(*r.options));
        });
}

void DefaultsTab::Fill(std::vector<PrinterOption> options) {
    delete m_content;
    m_options = std::move(options);
    m_controls.clear();
    m_initial.clear();
    m_content = new QScrollArea(this);
    auto* scroll = static_cast<QScrollArea*>(m_content);
    scroll->setObjectName(QStringLiteral("defaults"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* inner = new QWidget;
    auto* innerLayout = new QVBoxLayout(inner);
    innerLayout->setContentsMargins(0, 0, 0, 0);
    auto* standard = new QFormLayout;
    innerLayout->addLayout(standard);
    QFormLayout* own = nullptr;
    for (const PrinterOption& option : m_options) {
        QWidget* control = NewOptionControl(option, inner);
        // A default the driver does not list is shown as it is set: otherwise the first
        // choice would pass for the default, and choosing it would change nothing.
        if (auto* combo = qobject_cast<QComboBox*>(control);
            combo && !option.preset.empty() && combo->findData(QByteArray::fromStdString(option.preset)) < 0) {
            combo->insertItem(0, Shown(option.preset), QByteArray::fromStdString(option.preset));
            combo->setCurrentIndex(0);
        }
        control->setEnabled(!m_readOnly);
        const QString label = Shown(option.label) + QStringLiteral(":");
        if (option.fromPpd) {
            if (!own) {
                auto* group = new QGroupBox(QStringLiteral("Options of this printer"), inner);
                own = new QFormLayout(group);
                innerLayout->addWidget(group);
            }
            own->addRow(label, control);
        } else {
            standard->addRow(label, control);
        }
        m_controls.push_back(control);
        m_initial.push_back(OptionValue(control));
    }
    if (m_options.empty()) standard->addRow(new QLabel(QStringLiteral("This printer offers no options to choose.")));
    innerLayout->addStretch(1);
    scroll->setWidget(inner);
    // The tab's own background, not the scroll area's.
    scroll->viewport()->setAutoFillBackground(false);
    inner->setAutoFillBackground(false);
    m_layout->insertWidget(m_layout->count() - 1, scroll, 100);
    m_layout->activate();
    // The window grows to show the options, up to most of the screen; a long list scrolls.
    QWidget* top = window();
    const QScreen* where = top->screen() ? top->screen() : QGuiApplication::primaryScreen();
    const int room = where ? where->availableGeometry().height() * 7 / 10 : 600;
    const int wanted = std::min(top->height() + inner->sizeHint().height() - scroll->height(), room);
    if (wanted > top->height()) top->resize(top->width(), wanted);
    KeepOnScreen(top);
}

std::vector<std::pair<std::string, std::string>> DefaultsTab::Changed() const {
    std::vector<std::pair<std::string, std::string>> changed;
    for (std::size_t i = 0; i < m_controls.size(); ++i)
        if (const std::string value = OptionValue(m_controls[i]); value != m_initial[i])
            changed.emplace_back(m_options[i].name, value);
    return changed;
}

std::vector<std::pair<std::string, std::string>>
DefaultsTab::ServerValuesOf(const std::vector<std::pair<std::string, std::string>>& changed) const {
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& [name, value] : changed)
        for (std::size_t i = 0; i < m_options.size(); ++i)
            if (m_options[i].name == name) values.emplace_back(name, m_initial[i]);
    return values;
}

void DefaultsTab::Applied() {
    for (std::size_t i = 0; i < m_controls.size(); ++i) m_initial[i] = OptionValue(m_controls[i]);
}

void DefaultsTab::Reload() {
    if (m_requested) Load();
}

} // namespace quill::printui
