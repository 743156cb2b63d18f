#include "PreferencesDialog.h"

#include "DialogSupport.h"
#include "OptionControls.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

struct Outcome {
    bool ok = false;
    std::string error;
};

} // namespace

PreferencesDialog::PreferencesDialog(const std::string& printerName, PrinterAddress address,
                                     std::vector<PrinterOption> options, QWidget* parent)
    : QDialog(parent), m_address(std::move(address)), m_options(std::move(options)) {
    setWindowTitle(Shown(printerName) + QStringLiteral(" Printing Preferences"));
    auto* layout = new QVBoxLayout(this);
    auto* content = new QWidget;
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    auto* standard = new QFormLayout;
    contentLayout->addLayout(standard);
    QFormLayout* own = nullptr;

    for (const PrinterOption& option : m_options) {
        QWidget* control = NewOptionControl(option, content);
        const std::string initial = OptionValue(control);
        const QString label = Shown(option.label) + QStringLiteral(":");
        if (option.fromPpd) {
            if (!own) {
                auto* group = new QGroupBox(QStringLiteral("Options of this printer"), content);
                own = new QFormLayout(group);
                contentLayout->addWidget(group);
            }
            own->addRow(label, control);
        } else {
            standard->addRow(label, control);
        }
        m_controls.push_back(control);
        m_initial.push_back(initial);
    }
    if (m_options.empty()) {
        auto* none = new QLabel(QStringLiteral("This printer offers no options to choose."), content);
        standard->addRow(none);
    }

    auto* scroll = new QScrollArea(this);
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // All of the content shows when the screen has room for it; a long PPD scrolls.
    const QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    const int room = where ? where->availableGeometry().height() * 7 / 10 : 600;
    scroll->setMinimumWidth(content->sizeHint().width() + scroll->verticalScrollBar()->sizeHint().width());
    scroll->setMinimumHeight(std::min(content->sizeHint().height(), room));
    layout->addWidget(scroll, 1);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setTextFormat(Qt::PlainText);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #b00000"));
    m_error->hide();
    layout->addWidget(m_error);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (Save()) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    FitAndCentre(this);
}

std::string PreferencesDialog::ValueOf(std::size_t index) const { return OptionValue(m_controls[index]); }

bool PreferencesDialog::Save() {
    std::vector<std::pair<std::string, std::string>> changed;
    for (std::size_t i = 0; i < m_options.size(); ++i)
        if (ValueOf(i) != m_initial[i]) changed.emplace_back(m_options[i].name, ValueOf(i));
    if (changed.empty()) return true;
    setEnabled(false);
    m_busy = true;
    const Outcome outcome = RunBesideTheWindow([&] {
        Outcome o;
        o.ok = SaveOptions(m_address, changed, o.error);
        return o;
    });
    m_busy = false;
    setEnabled(true);
    if (outcome.ok) return true;
    m_error->setText(QStringLiteral("The preferences could not be saved: ") + Shown(outcome.error));
    m_error->show();
    adjustSize(); // room for the reason, which wraps
    return false;
}

void PreferencesDialog::reject() {
    if (!m_busy) QDialog::reject();
}

} // namespace quill::printui
