#include "DriverDialog.h"

#include "DialogSupport.h"
#include "Drivers.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include <set>

namespace quill::printui {
namespace {

QString Shown(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

constexpr int kNameRole = Qt::UserRole;
constexpr int kMakeRole = Qt::UserRole + 1;
const QString kEverywhereMake = QStringLiteral("IPP Everywhere");

// Rows of the chosen make (all for an empty make) whose text holds the filter's words.
class DriverFilter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void Set(const QString& make, const QString& text) {
        m_make = make;
        m_words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        const QModelIndex index = sourceModel()->index(row, 0, parent);
        if (!m_make.isEmpty() && index.data(kMakeRole).toString() != m_make) return false;
        const QString text = index.data(Qt::DisplayRole).toString();
        for (const QString& word : m_words)
            if (!text.contains(word, Qt::CaseInsensitive)) return false;
        return true;
    }

private:
    QString m_make;
    QStringList m_words;
};

struct Listing {
    std::optional<std::vector<Driver>> drivers;
    std::string error;
    bool everywhere = false;
    std::string everywhereNote; // why it is not offered
};

} // namespace

DriverDialog::DriverDialog(PrinterAddress address, std::string deviceUri, widgets::Dialogs* passwords, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Change Driver"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_make = new QComboBox(this);
    m_make->setObjectName(QStringLiteral("make"));
    m_make->addItem(QStringLiteral("All makes"), QString());
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("filter"));
    m_filter->setClearButtonEnabled(true);
    form->addRow(QStringLiteral("&Make:"), m_make);
    form->addRow(QStringLiteral("&Search:"), m_filter);
    layout->addLayout(form);
    m_model = new QStandardItemModel(this);
    auto* shown = new DriverFilter(this);
    shown->setSourceModel(m_model);
    m_shown = shown;
    m_view = new QListView(this);
    m_view->setObjectName(QStringLiteral("drivers"));
    m_view->setAccessibleName(QStringLiteral("Drivers"));
    m_view->setModel(m_shown);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setUniformItemSizes(true); // thousands of rows lay out at once
    m_view->setMinimumSize(420, 300);
    layout->addWidget(m_view, 1);
    m_status = new QLabel(QStringLiteral("Reading the print server's drivers…"), this);
    m_status->setObjectName(QStringLiteral("driverStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_view, &QListView::doubleClicked, this, &QDialog::accept);
    connect(m_make, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] { Filter(); });
    connect(m_filter, &QLineEdit::textChanged, this, [this] { Filter(); });
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this, ok](const QModelIndex& current) { ok->setEnabled(current.isValid()); });

    m_worker = std::make_unique<widgets::SpoolerWorker>(this, passwords);
    m_worker->Post(
        [address = std::move(address), deviceUri = std::move(deviceUri)] {
            Listing l;
            l.drivers = ReadDrivers(address, l.error);
            if (IsIppDevice(deviceUri)) {
                std::string why;
                const auto speaks = SpeaksIppEverywhere(deviceUri, why);
                // A DNS-SD name is resolved by the server, which asks the device itself.
                l.everywhere = speaks.value_or(deviceUri.rfind("dnssd:", 0) == 0);
                if (!speaks && !l.everywhere) l.everywhereNote = "IPP Everywhere needs the device's answer: " + why;
                else if (speaks && !*speaks) l.everywhereNote = "The device does not offer IPP Everywhere.";
            }
            return l;
        },
        [this](Listing l) {
            m_loaded = true;
            QString status;
            if (l.everywhere) {
                auto* item = new QStandardItem(QStringLiteral("IPP Everywhere (driverless)"));
                item->setData(QString::fromLatin1(kEverywhere), kNameRole);
                item->setData(kEverywhereMake, kMakeRole);
                m_model->appendRow(item);
                m_make->addItem(kEverywhereMake, kEverywhereMake);
            }
            if (l.drivers) {
                std::set<QString> makes;
                QList<QStandardItem*> items;
                items.reserve(static_cast<qsizetype>(l.drivers->size()));
                for (const Driver& d : *l.drivers) {
                    auto* item = new QStandardItem(Shown(d.makeAndModel.empty() ? d.name : d.makeAndModel));
                    item->setData(QByteArray::fromStdString(d.name), kNameRole);
                    item->setData(Shown(d.make), kMakeRole);
                    item->setToolTip(Shown(d.name));
                    items.append(item);
                    makes.insert(Shown(d.make));
                }
                for (QStandardItem* item : items) m_model->appendRow(item);
                for (const QString& make : makes)
                    if (!make.isEmpty()) m_make->addItem(make, make);
                status = QStringLiteral("%1 drivers.").arg(l.drivers->size());
            } else {
                status = QStringLiteral("The print server's drivers could not be read: ") + Shown(l.error);
            }
            if (!l.everywhereNote.empty()) status += QStringLiteral(" ") + Shown(l.everywhereNote);
            m_status->setText(status);
            GrowToFit(this);
        });
    FitAndCentre(this);
}

DriverDialog::~DriverDialog() = default;

void DriverDialog::Filter() {
    static_cast<DriverFilter*>(m_shown)->Set(m_make->currentData().toString(), m_filter->text());
}

void DriverDialog::accept() {
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid()) return;
    const QVariant name = current.data(kNameRole);
    m_chosenName =
        name.typeId() == QMetaType::QByteArray ? name.toByteArray().toStdString() : name.toString().toStdString();
    m_chosenLabel = current.data(Qt::DisplayRole).toString().toLocal8Bit().toStdString();
    QDialog::accept();
}

void DriverDialog::done(int result) {
    m_worker.reset(); // a reading still under way is given up
    QDialog::done(result);
}

} // namespace quill::printui
