#pragma once

#include "widgets/SpoolerWorker.h"
#include "spooler/EndedJobs.h"
#include "spooler/Spooler.h"
#include "widgets/Dialogs.h"

#include <QDialog>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QAction;
class QKeyEvent;
class QMenuBar;
class QSocketNotifier;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace quill::admin {

// The "Print Spooler" window: the jobs of every printer, one row per job id; rows stay
// after their jobs have left the spooler. Five times a second a tick applies what has
// changed: where the spooler has a job feed, the jobs its events named (all jobs when the
// window opens, after lost events or a new server), read as soon as the feed has news and
// not at all when nothing changed; else every printer's jobs, polled. The spooler is asked
// on a worker thread (a tick is skipped while the previous one or a command still waits
// for its answer); the answers are applied here.
class TMain : public QDialog {
public:
    TMain(spooler::Spooler& spooler, widgets::Dialogs& dialogs, QWidget* owner = nullptr);
    ~TMain() override;

    QTreeWidget* lvMain = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* RefreshPrinters1 = nullptr;
    QAction* Monitoring1 = nullptr;
    QAction* MonitorSharedPrinters1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* DeleteSelectedItem1 = nullptr;
    QAction* DeleteAllItems1 = nullptr;
    QAction* CancelJob1 = nullptr;
    QAction* PauseJob1 = nullptr;
    QAction* RestartJob1 = nullptr;
    QAction* ResumeJob1 = nullptr;

    std::vector<std::string> PrinterNames;
    bool SharedOnly = false;
    // Each tick reads one answer with the jobs of all printers (or, with a job feed, the
    // jobs that changed) instead of asking every printer in turn; what the window shows
    // is the same.
    bool UseSnapshot = true;

    void FormCreate();
    // Sets the printers' names once the spooler has answered, unless a later request for
    // them has been made meanwhile (only the newest answer counts), then runs then().
    void EnumPrinterNames(std::function<void()> then = {});
    void ReloadPrinterNames();
    void Timer1Timer();
    // server: the host part of the polled printer's name (empty for this computer).
    void UpdateJobRow(const spooler::JobInfo2& job, const std::string& server = "");
    void ControlSelectedJob(std::uint32_t command);
    void Monitoring1Click();
    void MonitorSharedPrinters1Click();
    void DeleteSelectedItem1Click();
    void DeleteAllItems1Click();

    // Whether a request to the spooler is under way or its answer not yet shown.
    bool SpoolerBusy() const { return m_worker.Busy(); }

    // Cell texts.
    static std::string JobStatusText(std::uint32_t status);
    static std::string SizeText(std::uint32_t bytes);
    static std::string StartAtText(const spooler::SystemTime& submitted);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // What this window has seen open, by polled printer ("" for the snapshot of all);
    // the worker's alone.
    using SeenJobs = std::map<std::string, spooler::EndedJobs>;
    // The jobs of a listing of every printer by queue (QueueKey), each in the listing's order.
    using JobsByQueue = std::unordered_map<std::string, std::vector<spooler::JobInfo2>>;
    static std::string QueueKey(const std::string& printerName);
    static JobsByQueue ByQueue(const std::vector<spooler::JobInfo2>& jobs);
    // One printer's jobs for a tick (on the worker): from the listing of every printer
    // where there is one, else asked for; empty when it is skipped.
    static std::vector<spooler::JobInfo2> PollPrinterJobs(spooler::Spooler& spooler, const std::string& printerName,
                                                          const JobsByQueue* snapshot, SeenJobs& seen);
    // The open jobs of a listing, followed by the jobs seen open before that have ended
    // since, with how they ended.
    static void AddEndedJobs(spooler::Spooler& spooler, spooler::PrinterHandle* printer,
                             std::vector<spooler::JobInfo2>& jobs, spooler::EndedJobs& seen);
    // The timer runs exactly when "Monitoring" is checked, the window is open and no
    // reload or job command waits for its answer.
    void SetTimerState();
    // A row, and the record and server its cells were last written from: the names are
    // shown decoded, but a job command hands the spooler their bytes as they came.
    struct JobRow {
        QTreeWidgetItem* item;
        std::optional<spooler::JobInfo2> shown;
        std::string server;
    };
    void UpdateRow(JobRow& row, const spooler::JobInfo2& job, const std::string& server);
    // Starts the job feed on the worker; the window polls until it is there, or for good
    // when the spooler has none.
    void WatchJobs();
    // Fits the name, document, status, owner and size columns to their cells.
    void FitColumns();
    // reloaded: the rows of every job were read anew.
    void UpdateJobRows(const std::vector<std::string>& names, const std::vector<std::vector<spooler::JobInfo2>>& jobs,
                       bool reloaded);

    spooler::Spooler& m_spooler;
    widgets::Dialogs& m_dialogs;
    std::unordered_map<std::uint32_t, JobRow> m_rowsById; // the row of each job id
    bool m_closed = false;
    int m_timerHolds = 0;      // reloads and job commands whose answers have not come
    unsigned m_namesAsked = 0; // the newest request for the printers' names
    SeenJobs m_seen;
    std::unique_ptr<spooler::JobFeed> m_feed; // taken here, read on the worker
    spooler::JobChanges m_due;                // taken from the feed for the read under way, or not yet read
    spooler::JobChanges m_asked;              // asked for here since the last tick (rows deleted, other printers)
    std::unique_ptr<QSocketNotifier> m_feedNews;
    widgets::SpoolerWorker m_worker{this, &m_dialogs}; // last: it stops before anything it may touch goes
};

} // namespace quill::admin
