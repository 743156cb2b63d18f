#include "admin/TMain.h"

#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QKeyEvent>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QResizeEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quill::admin {
namespace {

enum Column { Computer, Printer, Document, Status, Owner, Size, Printed, StartAt, ColumnCount };
constexpr int kJobIdRole = Qt::UserRole;

QString Shown(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }

// A time format without its time zone: the zone field goes with the brackets around it
// ("H:mm:ss (t)", "APh:mm:ss [t]") and the blanks and comma that part it from the rest
// ("HH:mm:ss, t"); quoted text ('Klock', 'h') is kept as it is.
QString WithoutTimeZone(const QString& format) {
    // The format in pieces: a run of one pattern letter, a quoted text, or one other character.
    QStringList pieces;
    for (qsizetype i = 0; i < format.size();) {
        qsizetype end = i + 1;
        if (format[i] == QLatin1Char('\'')) {
            while (end < format.size() && format[end] != QLatin1Char('\'')) ++end;
            end = std::min(end + 1, format.size());
        } else if (format[i].isLetter()) {
            while (end < format.size() && format[end] == format[i]) ++end;
        }
        pieces << format.mid(i, end - i);
        i = end;
    }
    const auto zone = std::find_if(pieces.begin(), pieces.end(), [](const QString& p) { return p.startsWith('t'); });
    if (zone == pieces.end()) return format;
    qsizetype first = zone - pieces.begin(), last = first;
    static const QString kOpen = QStringLiteral("([{"), kClose = QStringLiteral(")]}");
    while (first > 0 && last + 1 < pieces.size() && pieces[first - 1].size() == 1 && pieces[last + 1].size() == 1 &&
           kOpen.indexOf(pieces[first - 1]) >= 0 &&
           kOpen.indexOf(pieces[first - 1]) == kClose.indexOf(pieces[last + 1])) {
        --first;
        ++last;
    }
    const auto parting = [&](qsizetype i) {
        return i >= 0 && i < pieces.size() && pieces[i].size() == 1 &&
               (pieces[i][0].isSpace() || pieces[i][0] == QLatin1Char(',') || pieces[i][0] == QChar(0x060C));
    };
    // The parting characters on the side of the rest (after a zone that comes first).
    if (first == 0)
        while (parting(last + 1)) ++last;
    else
        while (parting(first - 1)) --first;
    pieces.erase(pieces.begin() + first, pieces.begin() + last + 1);
    return pieces.join(QString()).trimmed();
}

// What a job command does, as a past participle.
std::string CommandDone(std::uint32_t command) {
    switch (command) {
    case spooler::JOB_CONTROL_PAUSE: return "paused";
    case spooler::JOB_CONTROL_RESUME: return "resumed";
    case spooler::JOB_CONTROL_RESTART: return "restarted";
    default: return "cancelled";
    }
}

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

// The submission time (UTC) in the user's local time.
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
        // The long time format without the time zone's name.
        formats.time = WithoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    }
    const QDateTime local =
        QDateTime(QDate(t.wYear, t.wMonth, t.wDay), QTime(t.wHour, t.wMinute, t.wSecond), Qt::UTC).toLocalTime();
    return (locale.toString(local.date(), formats.date) + QLatin1Char(' ') +
            locale.toString(local.time(), formats.time))
        .toStdString();
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
    QMenu* jobs = MainMenu1->addMenu(QStringLiteral("&Jobs"));
    DeleteSelectedItem1 = jobs->addAction(QStringLiteral("&Delete Selected Item"));
    DeleteSelectedItem1->setShortcut(QKeySequence(Qt::Key_Delete));
    DeleteAllItems1 = jobs->addAction(QStringLiteral("Delete &All Items"));
    DeleteAllItems1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
    jobs->addSeparator();
    CancelJob1 = jobs->addAction(QStringLiteral("&Cancel Job"));
    PauseJob1 = jobs->addAction(QStringLiteral("&Pause Job"));
    RestartJob1 = jobs->addAction(QStringLiteral("Res&tart Job"));
    ResumeJob1 = jobs->addAction(QStringLiteral("R&esume Job"));

    lvMain = new QTreeWidget(this);
    lvMain->setObjectName(QStringLiteral("lvMain"));
    lvMain->setRootIsDecorated(false);
    lvMain->setSelectionMode(QAbstractItemView::SingleSelection);
    lvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMain->setColumnCount(ColumnCount);
    lvMain->setHeaderLabels({QStringLiteral("Computer"), QStringLiteral("Printer"), QStringLiteral("Document"),
                             QStringLiteral("Status"), QStringLiteral("Owner"), QStringLiteral("Size"),
                             QStringLiteral("Printed"), QStringLiteral("Start At")});
    // The last column takes the width that the others leave.
    lvMain->header()->setStretchLastSection(true);
    lvMain->setColumnWidth(Computer, 70);
    // A fitted column measures the visible rows and a hundred more, not every row: a window
    // of thousands of jobs would spend tens of milliseconds on each fit.
    lvMain->header()->setResizeContentsPrecision(100);
    FitColumns();
    // The default width of "Start At" holds a whole date and time of the user's locale.
    const QString widest = Shown(StartAtText({2028, 12, 3, 28, 23, 58, 58, 0}));
    lvMain->setColumnWidth(
        StartAt, std::max(lvMain->columnWidth(StartAt), lvMain->fontMetrics().horizontalAdvance(widest) + 16));

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
    WatchJobs();
    Timer1->start();
}

TMain::~TMain() {
    // The rows and their job records go with the list view; the names with the window.
    DeleteAllItems1Click();
}

void TMain::FormCreate() {
    SharedOnly = false;
    PrinterNames.clear();
    // The first look at the jobs follows the printers' names at once, not the timer's
    // next tick: the rows come as soon as the server has answered.
    EnumPrinterNames([this] {
        if (Timer1->isActive()) Timer1Timer();
    });
}

void TMain::EnumPrinterNames(std::function<void()> then) {
    // Classes too: they hold the jobs sent to them, the jobs of a printer's share name
    // among them.
    std::uint32_t flags = spooler::PRINTER_ENUM_LOCAL | spooler::PRINTER_ENUM_CONNECTIONS | spooler::kEnumClasses;
    if (SharedOnly) flags |= spooler::PRINTER_ENUM_SHARED;
    const unsigned asked = ++m_namesAsked;
    m_worker.Post([&spooler = m_spooler, flags] { return spooler.EnumPrintersA(flags); },
                  [this, asked, then = std::move(then)](std::optional<std::vector<spooler::PrinterInfo4>> printers) {
                      // An answer that a later reload has overtaken would poll printers
                      // of a choice the user has left.
                      if (asked == m_namesAsked) {
                          // Other printers: the jobs the feed has not named are read too.
                          m_asked.reload = true;
                          PrinterNames.clear();
                          if (!printers) m_dialogs.ShowErrorMessage("Error Enum Printers!");
                          else
                              for (const auto& printer : *printers) PrinterNames.push_back(printer.pPrinterName);
                      }
                      if (then) then();
                  });
}

void TMain::SetTimerState() {
    if (Monitoring1->isChecked() && !m_closed && m_timerHolds == 0) {
        if (!Timer1->isActive()) Timer1->start();
    } else {
        Timer1->stop();
    }
}

void TMain::ReloadPrinterNames() {
    ++m_timerHolds;
    SetTimerState();
    PrinterNames.clear();
    EnumPrinterNames([this] {
        --m_timerHolds;
        SetTimerState();
    });
}

void TMain::WatchJobs() {
    m_worker.Post([&spooler = m_spooler] { return spooler.WatchJobs(); },
                  [this](std::unique_ptr<spooler::JobFeed> feed) {
                      // The first look at the jobs, if the printers' names came first.
                      const auto firstLook = [this] {
                          if (Timer1->isActive() && !PrinterNames.empty()) Timer1Timer();
                      };
                      if (!feed) return firstLook();
                      m_feed = std::move(feed);
                      m_feedNews = std::make_unique<QSocketNotifier>(m_feed->fd(), QSocketNotifier::Read);
                      connect(m_feedNews.get(), &QSocketNotifier::activated, this, [this] {
                          // Quiet until the tick has taken the news.
                          m_feedNews->setEnabled(false);
                          if (Timer1->isActive()) Timer1Timer();
                      });
                      firstLook();
                  });
}

void TMain::Timer1Timer() {
    // The previous tick, a reload or a command still waits for the spooler.
    if (m_worker.Busy() || PrinterNames.empty()) return;
    if (m_feed && UseSnapshot) {
        spooler::JobChanges news = m_feed->Take();
        m_feedNews->setEnabled(true);
        // Printers or classes came or went: their names are read again, and with them
        // every job (EnumPrinterNames asks for that).
        if (news.printers) EnumPrinterNames();
        m_due.reload = m_due.reload || news.reload || m_asked.reload;
        m_due.jobs.merge(news.jobs);
        m_due.jobs.merge(m_asked.jobs);
        m_asked = {};
        if (m_due.empty()) return; // nothing has changed
        m_worker.Post(
            [&spooler = m_spooler, &seen = m_seen, &feed = *m_feed, due = m_due, names = PrinterNames] {
                std::optional<std::vector<std::vector<spooler::JobInfo2>>> jobs;
                std::optional<std::vector<spooler::JobInfo2>> changed;
                if (due.reload) {
                    changed = feed.ReadJobs({});
                    if (changed) AddEndedJobs(spooler, nullptr, *changed, seen[""]);
                } else {
                    changed = feed.ReadJobs(due.jobs);
                    if (changed) seen[""].Seen(*changed);
                }
                if (!changed) return jobs; // read again at the next tick
                jobs.emplace();
                const JobsByQueue byQueue = ByQueue(*changed);
                for (const auto& name : names) jobs->push_back(PollPrinterJobs(spooler, name, &byQueue, seen));
                return jobs;
            },
            [this, names = PrinterNames](std::optional<std::vector<std::vector<spooler::JobInfo2>>> jobs) {
                if (!jobs) return;
                const bool reloaded = m_due.reload;
                m_due = {};
                UpdateJobRows(names, *jobs, reloaded);
                // News that came while the worker was busy.
                if (!m_feedNews->isEnabled() && Timer1->isActive()) Timer1Timer();
            });
        return;
    }
    m_worker.Post(
        [&spooler = m_spooler, &seen = m_seen, names = PrinterNames, snapshot = UseSnapshot] {
            std::vector<std::vector<spooler::JobInfo2>> jobs;
            std::optional<JobsByQueue> byQueue;
            if (snapshot) {
                auto all = spooler.EnumAllJobs();
                if (!all) return jobs; // nothing could be listed this tick
                AddEndedJobs(spooler, nullptr, *all, seen[""]);
                byQueue = ByQueue(*all);
            }
            for (const auto& name : names)
                jobs.push_back(PollPrinterJobs(spooler, name, byQueue ? &*byQueue : nullptr, seen));
            return jobs;
        },
        [this, names = PrinterNames](std::vector<std::vector<spooler::JobInfo2>> jobs) {
            UpdateJobRows(names, jobs, false);
        });
}

void TMain::FitColumns() {
    // Each fitted column as wide as its widest cell near the view, never narrower than
    // its caption; the user may still drag them.
    for (int column : {Printer, Document, Status, Owner, Size}) lvMain->resizeColumnToContents(column);
}

void TMain::UpdateJobRows(const std::vector<std::string>& names,
                          const std::vector<std::vector<spooler::JobInfo2>>& jobs, bool reloaded) {
    // The columns are fitted when rows come or the list is read anew, not at every
    // changed cell: columns that change width while the user reads them are hard to read.
    const std::size_t rows = m_rowsById.size();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        // The printer's server: its jobs live there, whichever computer sent them.
        const std::string server = spooler::SplitPrinterPath(names[i]).host;
        for (const auto& job : jobs[i]) UpdateJobRow(job, server);
    }
    if (reloaded || m_rowsById.size() != rows) FitColumns();
}

void TMain::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitColumns();
}

void TMain::AddEndedJobs(spooler::Spooler& spooler, spooler::PrinterHandle* printer,
                         std::vector<spooler::JobInfo2>& jobs, spooler::EndedJobs& seen) {
    const std::vector<std::uint32_t> ended = seen.Next(jobs);
    if (ended.empty()) return;
    if (auto finished = spooler.EnumEndedJobs(printer, ended))
        jobs.insert(jobs.end(), finished->begin(), finished->end());
    else seen.Unreported(ended); // asked for again at the next tick
}

std::string TMain::QueueKey(const std::string& printerName) {
    std::string key = spooler::QueueName(printerName);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

TMain::JobsByQueue TMain::ByQueue(const std::vector<spooler::JobInfo2>& jobs) {
    // The queue name is mapped once per job, and each printer finds its jobs by its key:
    // the work grows with the jobs and the printers, not with their product.
    JobsByQueue byQueue;
    for (const auto& job : jobs) byQueue[QueueKey(job.pPrinterName)].push_back(job);
    return byQueue;
}

std::vector<spooler::JobInfo2> TMain::PollPrinterJobs(spooler::Spooler& spooler, const std::string& printerName,
                                                      const JobsByQueue* snapshot, SeenJobs& seen) {
    std::vector<spooler::JobInfo2> jobs;
    if (snapshot) {
        // The spooler's order within the printer.
        if (const auto found = snapshot->find(QueueKey(printerName)); found != snapshot->end()) jobs = found->second;
    } else {
        auto handle = spooler.OpenPrinterA(printerName);
        if (!handle) return jobs; // skipped for this tick
        if (auto listed = spooler.EnumJobsA(*handle)) {
            jobs = std::move(*listed);
            AddEndedJobs(spooler, handle.get(), jobs, seen[printerName]);
        }
    } // the printer is closed before the rows are updated
    return jobs;
}

namespace {

// Whether two records give a row the same cells.
bool SameCells(const spooler::JobInfo2& a, const spooler::JobInfo2& b) {
    return a.Status == b.Status && a.Size == b.Size && a.PagesPrinted == b.PagesPrinted && a.Submitted == b.Submitted &&
           a.pMachineName == b.pMachineName && a.pPrinterName == b.pPrinterName && a.pDocument == b.pDocument &&
           a.pUserName == b.pUserName;
}

} // namespace

void TMain::UpdateRow(JobRow& row, const spooler::JobInfo2& job, const std::string& server) {
    // Most ticks find most jobs unchanged: their cells are not formatted again.
    if (row.shown && SameCells(*row.shown, job) && row.server == server) return;
    row.shown = job;
    row.server = server;
    const std::string texts[ColumnCount] = {job.pMachineName,
                                            job.pPrinterName,
                                            job.pDocument,
                                            JobStatusText(job.Status),
                                            job.pUserName,
                                            SizeText(job.Size),
                                            std::to_string(job.PagesPrinted),
                                            StartAtText(job.Submitted)};
    for (int column = 0; column < ColumnCount; ++column) {
        const QString text = Shown(texts[column]);
        if (row.item->text(column) != text) row.item->setText(column, text);
    }
}

void TMain::UpdateJobRow(const spooler::JobInfo2& job, const std::string& server) {
    // Each job id has at most one row, so the row found by id is the first one.
    auto found = m_rowsById.find(job.JobId);
    if (found == m_rowsById.end()) {
        auto* item = new QTreeWidgetItem(lvMain);
        item->setData(Computer, kJobIdRole, job.JobId);
        found = m_rowsById.emplace(job.JobId, JobRow{item, std::nullopt, {}}).first;
    }
    UpdateRow(found->second, job, server);
}

void TMain::ControlSelectedJob(std::uint32_t command) {
    QTreeWidgetItem* row = lvMain->currentItem();
    if (!row || !row->isSelected()) return;
    ++m_timerHolds;
    SetTimerState();
    const std::uint32_t jobId = row->data(Computer, kJobIdRole).toUInt();
    const JobRow& shown = m_rowsById.at(jobId);
    const std::string queue = shown.shown->pPrinterName, server = shown.server;
    // The job lives on the server of its queue, whichever computer sent it.
    const std::string path = server.empty() ? queue : server + "\\" + queue;
    struct Outcome {
        bool opened = false;
        bool done = false;
        std::string reason;
    };
    m_worker.Post(
        [&spooler = m_spooler, path, jobId, command] {
            Outcome outcome;
            auto handle = spooler.OpenPrinterA(path);
            outcome.opened = handle != nullptr;
            if (!handle) return outcome;
            spooler::SetLastError(spooler::ERROR_SUCCESS);
            outcome.done = spooler.SetJobA(*handle, jobId, command);
            if (!outcome.done) outcome.reason = spooler::GetLastErrorText();
            return outcome;
        },
        [this, jobId, queue, command](const Outcome& outcome) {
            if (!outcome.opened) m_dialogs.ShowMessage("Error OpenPrinter() : " + std::to_string(jobId) + " " + queue);
            // A refused command leaves the row as the job is, and says why.
            else if (!outcome.done)
                m_dialogs.ShowMessage("Job " + std::to_string(jobId) + " on " + queue + " could not be " +
                                      CommandDone(command) + ": " +
                                      (outcome.reason.empty() ? "The print server gave no reason." : outcome.reason));
            --m_timerHolds;
            SetTimerState();
        });
}

void TMain::Monitoring1Click() {
    // The item is checkable, so the click has flipped it already.
    SetTimerState();
}

void TMain::MonitorSharedPrinters1Click() {
    SharedOnly = !SharedOnly;
    MonitorSharedPrinters1->setChecked(SharedOnly);
    ReloadPrinterNames();
}

void TMain::DeleteSelectedItem1Click() {
    QTreeWidgetItem* row = lvMain->currentItem();
    if (!row || !row->isSelected()) return;
    const auto deleted = m_rowsById.find(row->data(Computer, kJobIdRole).toUInt());
    // The row of a job that has not ended comes back with the next look at it, and one
    // that has ended does not: the feed is asked for it as the poll would list it.
    if (deleted->second.shown && !spooler::HasEnded(*deleted->second.shown)) m_asked.jobs.insert(deleted->first);
    m_rowsById.erase(deleted);
    delete row;
    // Nothing is selected afterwards: a following command or Del must not reach a row
    // the user never picked.
    lvMain->clearSelection();
    lvMain->setCurrentItem(nullptr);
}

void TMain::DeleteAllItems1Click() {
    // The jobs that have not ended come back with the next tick.
    m_asked.reload = true;
    m_rowsById.clear();
    lvMain->clear();
    FitColumns();
}

void TMain::closeEvent(QCloseEvent* event) {
    m_closed = true;
    SetTimerState();
    QDialog::closeEvent(event);
}

void TMain::keyPressEvent(QKeyEvent* event) {
    // The window has no Escape key: only Exit and the window's close button close it, so
    // the job history is not thrown away by a stray key.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quill::admin
