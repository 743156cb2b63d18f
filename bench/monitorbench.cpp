// The activity monitor against a private cupsd with 20 printers, through the real window,
// with 1,000 and with 10,000 held jobs on them; its watchers woken by the server's
// signals on the system bus against the same watchers on a computer without a bus (they
// then ask the server for events every 100 ms):
// - the CPU the watchers use while nothing happens, per minute (this process, whose
//   interface thread is idle, and cupsd, which answers the polls), from a 15 s sample,
//   and the IPP requests per minute;
// - the delay from a change in CUPS (hold or release of a job, and with signals at 1,000
//   jobs pause or resume of a printer, sent over IPP) to its status line in the window's
//   text box, p50 and p95 over 100 changes;
// - the same with the server's one notifier lock held by another program's notifier
//   (its signals wake the watchers);
// - the time to write 100,000 lines to the log with the window open until the text box
//   shows them all.
#include "CupsLoad.h"
#include "CupsSandbox.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorDialog.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kIdleSeconds = 15;
constexpr int kChanges = 100;
// How often the watchers ask for events without a bus.
constexpr int kPollPeriodMs = 100;

using quill::monitor::MonitorDialog;

// How often the log holds a text.
int Count(const std::string& text) {
    int count = 0;
    const std::string log = quill::monitor::LogText();
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

// The monitor's window on every printer, started and showing it; nullptr when its
// watchers did not start within a minute.
std::unique_ptr<MonitorDialog> OpenMonitor(int printers) {
    static const std::string kStarted = "Starting notification loop";
    const int before = Count(kStarted);
    auto window = std::make_unique<MonitorDialog>(std::make_shared<quill::spooler::CupsSpooler>());
    window->show();
    window->Start();
    if (!QTest::qWaitFor([&] { return Count(kStarted) >= before + printers; }, 60000)) return nullptr;
    QTest::qWait(500); // the lines are shown, the watchers wait
    return window;
}

// Times changes until a line with the text shows after what the text box held before
// each change; text(i) is the line the i-th change brings.
quill::bench::Latency TimeLines(MonitorDialog& window, const std::function<void(int)>& change,
                                const std::function<QString(int)>& text) {
    QTextDocument& document = *window.TextBox->document();
    int mark = 0, looked = 0;
    return quill::bench::TimeChanges(
        kChanges,
        [&](int i) {
            mark = looked = document.characterCount() - 1;
            change(i);
        },
        [&](int i) {
            // Searched only when lines have come since the last look.
            if (document.characterCount() - 1 == looked) return false;
            looked = document.characterCount() - 1;
            return !document.find(text(i), mark).isNull();
        },
        kPollPeriodMs);
}

int Run() {
    if (!quill::test::CupsSandbox::Possible()) {
        std::fprintf(stderr, "monitorbench: a private cupsd needs /usr/sbin/cupsd\n");
        return 1;
    }
    constexpr int kPrinters = 20;
    quill::test::CupsSandbox cups;
    quill::bench::AllowAnyNumberOfJobs(cups);
    const std::vector<std::string> queues = quill::bench::AddQueues(cups, kPrinters);
    // The changed job waits on a stopped queue once released; another queue is paused
    // and resumed.
    std::vector<int> jobIds;
    quill::bench::SetQueuePaused(queues[0], true);
    const std::string& pausedQueue = queues[1];
    // Where nothing listens: the watchers find no system bus.
    const std::string noBus = "unix:path=" + cups.dir() + "/run/no-bus";

    std::printf("the monitor's window, %d printers; per minute idle (%d s sampled): CPU of this process + cupsd, "
                "IPP requests;\nchange (over IPP) to line, p50 / p95 over %d changes\n",
                kPrinters, kIdleSeconds, kChanges);
    for (int jobs : {1000, 10000}) {
        const auto more = quill::bench::SubmitHeldJobs(queues, jobs - static_cast<int>(jobIds.size()));
        jobIds.insert(jobIds.end(), more.begin(), more.end());
        quill::bench::LetServerSettle(cups);
        const int changedJob = jobIds.front(); // on Queue_0
        const std::string held = std::to_string(jobs) + " held jobs, ";
        for (bool bus : {false, true}) {
            // The watchers' poller looks for the bus when it starts (and again a minute
            // after it found none).
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus ? cups.busAddress().c_str() : noBus.c_str(), 1);
            const std::string how = bus ? "woken by signals" : "no bus, polling";
            auto window = OpenMonitor(kPrinters);
            if (!window) {
                std::fprintf(stderr, "monitorbench: the watchers did not start\n");
                return 1;
            }
            const auto idle = quill::bench::MeasureIdle(cups, kIdleSeconds);
            // The job starts held: released first, held again, and so on.
            const auto jobLines = TimeLines(
                *window, [&](int i) { quill::bench::SetJobHeld(changedJob, i % 2 == 1); },
                [](int i) {
                    return i % 2 == 1 ? QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PAUSED )")
                                      : QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ()");
                });
            quill::bench::PrintFigures(held + how + ", job", idle, jobLines);
            if (jobs == 1000 && bus) {
                const auto printerLines = TimeLines(
                    *window, [&](int i) { quill::bench::SetQueuePaused(pausedQueue, i % 2 == 0); },
                    [](int i) {
                        return i % 2 == 0
                                   ? QStringLiteral("[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_PAUSED )")
                                   : QStringLiteral("[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ()");
                    });
                std::printf("%-44s %43s%7.1f / %7.1f ms%s\n", (held + how + ", printer").c_str(), "", printerLines.p50,
                            printerLines.p95, printerLines.late ? " (late ones)" : "");
            }
        }
    }

    // The server's one notifier lock held by another program's notifier: its signals of
    // every event wake the watchers as their own would.
    {
        const int other = quill::bench::SubscribeOtherNotifier();
        quill::bench::RunEventsFor(2000);                // the last window's notifier has ended
        quill::bench::SetQueuePaused(pausedQueue, true); // the other notifier takes the lock
        quill::bench::SetQueuePaused(pausedQueue, false);
        quill::bench::RunEventsFor(500);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", cups.busAddress().c_str(), 1);
        auto window = OpenMonitor(kPrinters);
        if (!window) return 1;
        const auto idle = quill::bench::MeasureIdle(cups, kIdleSeconds);
        const int changedJob = jobIds.front();
        const auto jobLines = TimeLines(
            *window, [&](int i) { quill::bench::SetJobHeld(changedJob, i % 2 == 1); },
            [](int i) {
                return i % 2 == 1 ? QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PAUSED )")
                                  : QStringLiteral("[*] [T] JOB_NOTIFY_FIELD_STATUS = ()");
            });
        quill::bench::PrintFigures(std::to_string(jobIds.size()) + " held jobs, another's notifier, job", idle,
                                   jobLines);
        window.reset();
        quill::bench::CancelSubscription(other);
    }

    // 100,000 lines into the open window.
    auto window = OpenMonitor(kPrinters);
    if (!window) return 1;
    const int blocksBefore = window->TextBox->blockCount();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100000; ++i)
        quill::monitor::WriteLog("[T] JOB_NOTIFY_FIELD_PAGES_PRINTED: NotifyData.adwData[0] = 7");
    if (!QTest::qWaitFor([&] { return window->TextBox->blockCount() >= blocksBefore + 100000; }, 600000))
        std::fprintf(stderr, "monitorbench: not all lines were shown\n");
    std::printf("100,000 lines appended to the open window until shown: %.2f s\n",
                static_cast<double>(timer.elapsed()) / 1000.0);
    window.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv) { return quill::bench::RunOffscreen(argc, argv, Run); }
