// Both live windows open at once, as the program opens them, on one spooler (one change
// feed): "Printer Activities" on 20 printers and the "Print Spooler" job window, with
// 1,000 held jobs on a private cupsd whose notifier signals on the system bus.
// - the CPU of this process and of cupsd per minute while nothing changes, from a 30 s
//   sample, and the IPP requests per minute;
// - the delay from a hold or release of a job over IPP until both windows show it (the
//   monitor's status line and the job window's row), p50 and p95 over 100 changes.
#include "CupsLoad.h"
#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "admin/TMain.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorDialog.h"
#include "spooler/CupsSpooler.h"

#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPrinters = 20;
constexpr int kJobs = 1000;
constexpr int kIdleSeconds = 30;
constexpr int kChanges = 100;

int Count(const std::string& text) {
    int count = 0;
    const std::string log = quill::monitor::LogText();
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

QTreeWidgetItem* RowOf(const quill::admin::TMain& window, int jobId) {
    for (int i = 0; i < window.lvMain->topLevelItemCount(); ++i)
        if (window.lvMain->topLevelItem(i)->data(0, Qt::UserRole).toInt() == jobId)
            return window.lvMain->topLevelItem(i);
    return nullptr;
}

int Run() {
    if (!quill::test::CupsSandbox::Possible()) {
        std::fprintf(stderr, "livewindows: a private cupsd needs /usr/sbin/cupsd\n");
        return 1;
    }
    quill::test::CupsSandbox cups;
    quill::bench::AllowAnyNumberOfJobs(cups);
    const std::vector<std::string> queues = quill::bench::AddQueues(cups, kPrinters);
    quill::bench::SetQueuePaused(queues[0], true); // a released job waits there
    const std::vector<int> jobIds = quill::bench::SubmitHeldJobs(queues, kJobs);
    quill::bench::LetServerSettle(cups);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", cups.busAddress().c_str(), 1);

    const auto spooler = std::make_shared<quill::spooler::CupsSpooler>();
    quill::test::FakeDialogs dialogs;
    const int startedBefore = Count("Starting notification loop");
    quill::monitor::MonitorDialog monitor(spooler);
    monitor.show();
    monitor.Start();
    quill::admin::TMain jobs(*spooler, dialogs);
    jobs.show();
    const int changedJob = jobIds.front();
    QTreeWidgetItem* row = nullptr;
    if (!quill::bench::RunEventsUntil(
            [&] {
                return Count("Starting notification loop") >= startedBefore + kPrinters &&
                       (row = RowOf(jobs, changedJob)) != nullptr;
            },
            120000)) {
        std::fprintf(stderr, "livewindows: the windows did not start\n");
        return 1;
    }
    quill::bench::RunEventsFor(1000);
    const auto idle = quill::bench::MeasureIdle(cups, kIdleSeconds);

    QTextDocument& document = *monitor.TextBox->document();
    int mark = 0;
    const auto latency = quill::bench::TimeChanges(
        kChanges,
        [&](int i) {
            mark = document.characterCount() - 1;
            quill::bench::SetJobHeld(changedJob, i % 2 == 1);
        },
        [&](int i) {
            const bool held = i % 2 == 1;
            if (row->text(3) != (held ? QStringLiteral("Paused ") : QString())) return false;
            const QString line = held ? QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PAUSED )")
                                      : QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ()");
            return !document.find(line, mark).isNull();
        },
        jobs.Timer1->interval());
    std::printf("both live windows, %d printers, %d held jobs, signals; per minute idle (%d s sampled): CPU of this "
                "process + cupsd, IPP requests;\nchange (over IPP) until both windows show it, p50 / p95 over %d "
                "changes\n",
                kPrinters, kJobs, kIdleSeconds, kChanges);
    quill::bench::PrintFigures("monitor + job window", idle, latency);
    return 0;
}

} // namespace

int main(int argc, char** argv) { return quill::bench::RunOffscreen(argc, argv, Run); }
