#include "admin/TMain.h"

#include "spooler/PrinterName.h"

#include <QAction>
#include <QCloseEvent>
#include <QDate>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace quill::admin {
namespace {

enum Column { Computer, Printer, Document, Status, Owner, Size, Printed, StartAt, ColumnCount };
constexpr int kJobIdRole = Qt::UserRole;

QString Q(const std::string& s) { return QString::fromStdString(s); }

} // namespace

std::string TMain::JobStatusText(std::uint32_t status) {
    static const std::pair<std::uint32_t, const char*> kWords[] = {
        {spooler::JOB_STATUS_ERROR, "Error "},       {spooler::JOB_STATUS_PAUSED, "Paused "},
        {spooler::JOB_STATUS_DELETING, "Deleting "}, {spooler::JOB_STATUS_SPOOLING, "Spooling "},
        {spooler::JOB_STATUS_PRINTING, "Printing "}, {spooler::JOB_STATUS_OFFLINE, "Offline "},
        {spooler::JOB_STATUS_PAPEROUT, "Paperout "}, {spooler::JOB_STATUS_PRINTED, "Printed "},
    };
    std::string text;
    for (const auto& [bit, word] : kWords)
        if (status & bit) text += word;
    return text;
}

std::string TMain::SizeText(std::uint32_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%10.2f KB", static_cast<double>(bytes) / 1000.0);
    std::string result = text;
    const QString point = QLocale().decimalPoint();
    if (const auto dot = result.find('.'); dot != std::string::npos) result.replace(dot, 1, point.toStdString());
    return result;
}

std::string TMain::StartAtText(const spooler::SystemTime& t) {
    // The locale's formats, looked up again only when the locale changes.
    struct Formats {
        QString locale, date, time;
    };
    thread_local Formats formats;
    const QLocale locale;
    if (formats.locale != locale.name() || formats.date.isEmpty()) {
        formats.locale = locale.name();
        formats.date = locale.dateFormat(QLocale::ShortFormat);
        // The long time format without a time zone: the time is shown as the spooler gives it.
        formats.time = locale.timeFormat(QLocale::LongFormat).remove(QLatin1Char('t')).trimmed();
    }
    const QDate date(t.wYear, t.wMonth, t.wDay);
    const QTime time(t.wHour, t.wMinute, t.wSecond);
    return (locale.toString(date, formats.date) + QLatin1Char(' ') + locale.toString(time, formats.time)).toStdString();
}

TMain::TMain(spooler::Spooler& spooler, widgets::Dialogs& dialogs, QWidget* owner)
    : QDialog(owner), m_spooler(spooler), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("Main"));
    setWindowTitle(QStringLiteral("Print Spooler"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(240, 240, 240));
    setPalette(palette);

    MainMenu1 = new QMenuBar(this);
    QMenu* process = MainMenu1->addMenu(QStringLiteral("&Process"));
    RefreshPrinters1 = process->addAction(QStringLiteral("&Refresh Printers"));
    RefreshPrinters1->setShortcut(QKeySequence(Qt::Key_F5));
    Monitoring1 = process->addAction(QStringLiteral("&Monitoring"));
    Monitoring1->setCheckable(true);
    Monitoring1->setChecked(true);
    MonitorSharedPrinters1 = process->addAction(QStringLiteral("Monitor Shared Printers Only"));
    MonitorSharedPrinters1->setCheckable(true);
    process->addSeparator();
    Exit1 = process->addAction(QStringLiteral("E&xit"));
    QMenu* jobs = MainMenu1->addMenu(QStringLiteral("Jobs"));
    DeleteSelectedItem1 = jobs->addAction(QStringLiteral("Delete Selected Item"));
    DeleteSelectedItem1->setShortcut(QKeySequence(Qt::Key_Delete));
    DeleteAllItems1 = jobs->addAction(QStringLiteral("Delete All Items"));
    DeleteAllItems1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
    jobs->addSeparator();
    CancelJob1 = jobs->addAction(QStringLiteral("Cancel Job"));
    PauseJob1 = jobs->addAction(QStringLiteral("Pause Job"));
    RestartJob1 = jobs->addAction(QStringLiteral("Restart Job"));
    ResumeJob1 = jobs->addAction(QStringLiteral("Resume Job"));

    lvMain = new QTreeWidget(this);
    lvMain->setObjectName(QStringLiteral("lvMain"));
    lvMain->setRootIsDecorated(false);
    lvMain->setSelectionMode(QAbstractItemView::SingleSelection);
    lvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMain->setColumnCount(ColumnCount);
    lvMain->setHeaderLabels({QStringLiteral("Computer"), QStringLiteral("Printer"), QStringLiteral("Document"),
                             QStringLiteral("Status"), QStringLiteral("Owner"), QStringLiteral("Size"),
                             QStringLiteral("Printed"), QStringLiteral("Start At")});
    lvMain->header()->setStretchLastSection(false);
    lvMain->setColumnWidth(Computer, 70);
    for (int column : {Printer, Document, Status, Owner, Size})
        lvMain->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(MainMenu1);
    layout->addWidget(lvMain);
    resize(631, 141 + MainMenu1->sizeHint().height());

    Timer1 = new QTimer(this);
    Timer1->setInterval(200);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(RefreshPrinters1, &QAction::triggered, this, [this] { ReloadPrinterNames(); });
    connect(Monitoring1, &QAction::triggered, this, [this] { Monitoring1Click(); });
    connect(MonitorSharedPrinters1, &QAction::triggered, this, [this] { MonitorSharedPrinters1Click(); });
    connect(Exit1, &QAction::triggered, this, [this] { close(); });
    connect(DeleteSelectedItem1, &QAction::triggered, this, [this] { DeleteSelectedItem1Click(); });
    connect(DeleteAllItems1, &QAction::triggered, this, [this] { DeleteAllItems1Click(); });
    connect(CancelJob1, &QAction::triggered, this, [this] { ControlSelectedJob(spooler::JOB_CONTROL_CANCEL); });
    connect(PauseJob1, &QAction::triggered, this, [this] { ControlSelectedJob(spooler::JOB_CONTROL_PAUSE); });
    connect(RestartJob1, &QAction::triggered, this, [this] { ControlSelectedJob(spooler::JOB_CONTROL_RESTART); });
    connect(ResumeJob1, &QAction::triggered, this, [this] { ControlSelectedJob(spooler::JOB_CONTROL_RESUME); });

    FormCreate();
    Timer1->start();
}

TMain::~TMain() {
    // The rows and their job records go with the list view; the names with the window.
    DeleteAllItems1Click();
}

void TMain::FormCreate() {
    SharedOnly = false;
    PrinterNames.clear();
    EnumPrinterNames();
}

void TMain::EnumPrinterNames() {
    std::uint32_t flags = spooler::PRINTER_ENUM_LOCAL | spooler::PRINTER_ENUM_CONNECTIONS;
    if (SharedOnly) flags |= spooler::PRINTER_ENUM_SHARED;
    const auto printers = m_spooler.EnumPrintersA(flags);
    if (!printers) {
        m_dialogs.ShowErrorMessage("Error Enum Printers!");
        return;
    }
    for (const auto& printer : *printers) PrinterNames.push_back(printer.pPrinterName);
}

void TMain::ReloadPrinterNames() {
    const bool running = Timer1->isActive();
    Timer1->stop();
    PrinterNames.clear();
    EnumPrinterNames();
    if (running) Timer1->start();
}

void TMain::Timer1Timer() {
    m_snapshot.reset();
    if (UseSnapshot && !PrinterNames.empty()) {
        m_snapshot = m_spooler.EnumAllJobs();
        if (!m_snapshot) return; // nothing could be listed this tick
    }
    for (const auto& name : PrinterNames) PollPrinterJobs(name);
    m_snapshot.reset();
}

void TMain::PollPrinterJobs(const std::string& printerName) {
    if (m_snapshot) {
        for (const auto& job : *m_snapshot)
            if (spooler::SameQueue(job.pPrinterName, printerName)) UpdateJobRow(job);
        return;
    }
    std::optional<std::vector<spooler::JobInfo2>> jobs;
    {
        auto handle = m_spooler.OpenPrinterA(printerName);
        if (!handle) return; // skipped for this tick
        jobs = m_spooler.EnumJobsA(*handle);
    } // the printer is closed before the rows are updated
    if (!jobs) return;
    for (const auto& job : *jobs) UpdateJobRow(job);
}

void TMain::UpdateRow(QTreeWidgetItem* row, const spooler::JobInfo2& job) {
    const std::string texts[ColumnCount] = {job.pMachineName,
                                            job.pPrinterName,
                                            job.pDocument,
                                            JobStatusText(job.Status),
                                            job.pUserName,
                                            SizeText(job.Size),
                                            std::to_string(job.PagesPrinted),
                                            StartAtText(job.Submitted)};
    for (int column = 0; column < ColumnCount; ++column) {
        const QString text = Q(texts[column]);
        if (row->text(column) != text) row->setText(column, text);
    }
}

void TMain::UpdateJobRow(const spooler::JobInfo2& job) {
    // Each job id has at most one row, so the row found by id is the first one.
    if (const auto found = m_rowsById.find(job.JobId); found != m_rowsById.end()) {
        UpdateRow(found->second, job);
        return;
    }
    auto* row = new QTreeWidgetItem(lvMain);
    row->setData(Computer, kJobIdRole, job.JobId);
    m_rowsById[job.JobId] = row;
    UpdateRow(row, job);
}

void TMain::ControlSelectedJob(std::uint32_t command) {
    QTreeWidgetItem* row = lvMain->currentItem();
    if (!row || !row->isSelected()) return;
    const bool running = Timer1->isActive();
    Timer1->stop();
    const std::uint32_t jobId = row->data(Computer, kJobIdRole).toUInt();
    const std::string printer = row->text(Printer).toStdString();
    const std::string path = row->text(Computer).toStdString() + "\\" + printer;
    if (auto handle = m_spooler.OpenPrinterA(path)) {
        m_spooler.SetJobA(*handle, jobId, command); // the outcome is not shown
    } else {
        m_dialogs.ShowMessage("Error OpenPrinter() : " + std::to_string(jobId) + " " + printer);
    }
    if (running) Timer1->start();
}

void TMain::Monitoring1Click() {
    // The item is checkable, so the click has flipped it already.
    if (Monitoring1->isChecked()) Timer1->start();
    else Timer1->stop();
}

void TMain::MonitorSharedPrinters1Click() {
    SharedOnly = !SharedOnly;
    MonitorSharedPrinters1->setChecked(SharedOnly);
    ReloadPrinterNames();
}

void TMain::DeleteSelectedItem1Click() {
    QTreeWidgetItem* row = lvMain->currentItem();
    if (!row || !row->isSelected()) return;
    m_rowsById.erase(row->data(Computer, kJobIdRole).toUInt());
    delete row;
}

void TMain::DeleteAllItems1Click() {
    m_rowsById.clear();
    lvMain->clear();
}

void TMain::closeEvent(QCloseEvent* event) {
    if (Timer1->isActive()) Timer1->stop();
    QDialog::closeEvent(event);
}

} // namespace quill::admin
