#include "SuppliesTab.h"

#include "Supplies.h"

#include <QColor>
#include <QFormLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// The first colour of "#RRGGBB" or "#RRGGBB#RRGGBB..." (a supply of several colours);
// invalid for "none" and anything else.
QColor ColourOf(const std::string& colors) {
    if (colors.size() < 7 || colors[0] != '#') return {};
    return QColor(QString::fromLatin1(colors.substr(0, 7).c_str()));
}

struct Asked {
    std::optional<std::vector<Marker>> markers;
    std::string error;
};

} // namespace

SuppliesTab::SuppliesTab(QWidget* parent) : QWidget(parent) { new QVBoxLayout(this); }

SuppliesTab::~SuppliesTab() = default;

void SuppliesTab::Show(const std::vector<Marker>& markers, const std::string& device) {
    m_queueMarkers = markers;
    // The server passes on a printer's supplies only through some drivers: a driverless
    // queue reports none of its printer's.
    const bool ipp = device.rfind("ipp://", 0) == 0 || device.rfind("ipps://", 0) == 0;
    const std::string ask = markers.empty() && ipp ? device : std::string();
    if (ask != m_device) {
        m_worker.reset();
        m_device = ask;
        m_asked = false;
        m_deviceMarkers.clear();
    }
    Draw(markers.empty() ? m_deviceMarkers : markers);
    if (!m_device.empty() && !m_asked && isVisible()) AskDevice();
}

void SuppliesTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_device.empty() && !m_asked) AskDevice();
}

void SuppliesTab::AskDevice() {
    m_asked = true;
    m_worker = std::make_unique<widgets::SpoolerWorker>(this);
    m_worker->Post(
        [device = m_device] {
            Asked asked;
            asked.markers = ReadDeviceSupplies(device, asked.error);
            return asked;
        },
        [this](Asked asked) {
            // A printer that cannot be asked has not reported any.
            if (!asked.markers || !m_queueMarkers.empty()) return;
            m_deviceMarkers = std::move(*asked.markers);
            Draw(m_deviceMarkers);
        });
}

QString SuppliesTab::LevelText(const Marker& m) {
    // Negative levels: the printer cannot tell (-1, -2), or knows only that some is left (-3).
    if (m.level < 0) return QStringLiteral("unknown");
    QString text = QString::number(m.level) + QLatin1Char('%');
    // A waste receptacle fills up; everything else runs low.
    const bool waste = m.type.rfind("waste-", 0) == 0;
    if (waste && m.high >= 0 && m.level >= m.high) text += QStringLiteral(" (nearly full)");
    else if (!waste && m.low >= 0 && m.level <= m.low) text += QStringLiteral(" (low)");
    return text;
}

void SuppliesTab::Draw(const std::vector<Marker>& markers) {
    delete m_content;
    m_content = new QWidget(this);
    layout()->addWidget(m_content);
    auto* form = new QFormLayout(m_content);
    form->setContentsMargins(0, 0, 0, 0);
    if (markers.empty()) {
        auto* none = new QLabel(QStringLiteral("not reported"), m_content);
        none->setObjectName(QStringLiteral("suppliesNotReported"));
        form->addRow(QStringLiteral("Supplies:"), none);
        return;
    }
    for (const Marker& m : markers) {
        auto* bar = new QProgressBar(m_content);
        bar->setObjectName(QStringLiteral("supply"));
        bar->setRange(0, 100);
        bar->setValue(m.level < 0 ? 0 : std::min(m.level, 100));
        bar->setFormat(LevelText(m));
        bar->setTextVisible(true);
        bar->setAccessibleName(Shown(m.name) + QStringLiteral(": ") + LevelText(m));
        if (const QColor colour = ColourOf(m.color); colour.isValid()) {
            QPalette palette = bar->palette();
            palette.setColor(QPalette::Highlight, colour);
            // The level written over the filled part stays readable on light colours too.
            const double luminance = 0.299 * colour.redF() + 0.587 * colour.greenF() + 0.114 * colour.blueF();
            palette.setColor(QPalette::HighlightedText, luminance > 0.55 ? Qt::black : Qt::white);
            bar->setPalette(palette);
        }
        auto* label = new QLabel(Shown(m.name) + QLatin1Char(':'), m_content);
        label->setTextFormat(Qt::PlainText);
        label->setBuddy(bar);
        form->addRow(label, bar);
    }
}

} // namespace quill::printui
