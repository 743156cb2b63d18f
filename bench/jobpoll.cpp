// Cost of one poll tick of the "Print Spooler" window with 20 printers x 50 held jobs on
// a private cupsd: per-printer polling (Get-Printer-Attributes and Get-Jobs for every
// printer) against one Get-Jobs for all printers, and `lpstat -o` as an anchor. Prints
// CPU time per tick of this process and of cupsd, and IPP requests per tick. Then the
// time from stopping cupsd (SIGSTOP) to the window being gone after its close button.
//
// Then the open window with 1,000 and with 10,000 held jobs on the 20 printers, polling
// every job at each tick (a spooler without a job feed) against the job feed: CPU of this
// process and of cupsd and IPP requests per minute while nothing changes, and the delay
// from a hold or release of a job (over IPP, as another client would) to its row's status.
#include "admin/TMain.h"

#include "CupsLoad.h"
#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"

#include <QApplication>
#include <QHeaderView>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Per configuration: the idle sample, and the changes timed (fewer where each takes a
// second, so that the whole run stays within a few minutes).
constexpr int kIdleSeconds = 15;
constexpr int kChanges = 100;
constexpr int kSlowChanges = 30;

using quill::bench::CpuSecondsOf;
using quill::bench::IppRequests;
namespace spooler = quill::spooler;

double ChildrenCpu() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One tick, its answer shown.
void Tick(quill::admin::TMain& window) {
    window.Timer1Timer();
    while (window.SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// A spooler without a job feed, so that the window polls every job at each tick, as it
// does where the spooler offers none; everything else is the real spooler's.
class PollingSpooler final : public spooler::Spooler {
public:
    explicit PollingSpooler(spooler::Spooler& real) : m_real(real) {}
    std::optional<std::vector<spooler::PrinterInfo4>> EnumPrintersA(std::uint32_t flags) override {
        return m_real.EnumPrintersA(flags);
    }
    std::unique_ptr<spooler::PrinterHandle> OpenPrinterA(const std::string& name, std::uint32_t access) override {
        return m_real.OpenPrinterA(name, access);
    }
    std::unique_ptr<spooler::PrinterHandle> AddPrinterA(const spooler::PrinterInfo2& printer) override {
        return m_real.AddPrinterA(printer);
    }
    bool DeletePrinter(spooler::PrinterHandle& printer) override { return m_real.DeletePrinter(printer); }
    std::optional<spooler::PrinterInfo2> GetPrinterA(spooler::PrinterHandle& printer) override {
        return m_real.GetPrinterA(printer);
    }
    bool SetPrinterA(spooler::PrinterHandle& printer, const spooler::PrinterInfo2& info) override {
        return m_real.SetPrinterA(printer, info);
    }
    std::optional<std::vector<spooler::JobInfo2>> EnumJobsA(spooler::PrinterHandle& printer) override {
        return m_real.EnumJobsA(printer);
    }
    std::optional<std::vector<spooler::JobInfo2>> EnumAllJobs() override { return m_real.EnumAllJobs(); }
    std::optional<std::vector<spooler::JobInfo2>> EnumEndedJobs(spooler::PrinterHandle* printer,
                                                                const std::vector<std::uint32_t>& ids) override {
        return m_real.EnumEndedJobs(printer, ids);
    }
    bool SetJobA(spooler::PrinterHandle& printer, std::uint32_t jobId, std::uint32_t command) override {
        return m_real.SetJobA(printer, jobId, command);
    }
    std::optional<bool> ServerSharesPrinters() override { return m_real.ServerSharesPrinters(); }
    std::unique_ptr<spooler::ChangeNotification>
    FindFirstPrinterChangeNotification(spooler::PrinterHandle& printer, std::uint32_t filter,
                                       const spooler::NotifyOptions& options) override {
        return m_real.FindFirstPrinterChangeNotification(printer, filter, options);
    }
    bool WaitForSingleObject(spooler::ChangeNotification& notification, int timeoutMs) override {
        return m_real.WaitForSingleObject(notification, timeoutMs);
    }
    std::optional<spooler::NotifyInfo>
    FindNextPrinterChangeNotification(spooler::ChangeNotification& notification, std::uint32_t& change,
                                      const spooler::NotifyOptions& options) override {
        return m_real.FindNextPrinterChangeNotification(notification, change, options);
    }

private:
    spooler::Spooler& m_real;
};

QTreeWidgetItem* RowOf(const quill::admin::TMain& window, int jobId) {
    for (int i = 0; i < window.lvMain->topLevelItemCount(); ++i)
        if (window.lvMain->topLevelItem(i)->data(0, Qt::UserRole).toInt() == jobId)
            return window.lvMain->topLevelItem(i);
    return nullptr;
}

// How the open window is measured.
struct Live {
    int changes = kChanges;
    bool idle = true;          // an idle sample is taken first
    bool fixedColumns = false; // no column is sized to its contents
};

// The open window on every job, polling or fed: its idle load, then the delay from
// holding or releasing the job (on a stopped queue, so that a released job waits) to its
// row's status.
void CompareLive(const quill::test::CupsSandbox& cups, spooler::Spooler& spooler, int jobs, int changedJob,
                 const Live& live, const std::string& what) {
    quill::test::FakeDialogs dialogs;
    quill::admin::TMain window(spooler, dialogs);
    if (live.fixedColumns) window.lvMain->header()->setSectionResizeMode(QHeaderView::Interactive);
    window.show();
    QTreeWidgetItem* row = nullptr;
    if (!quill::bench::RunEventsUntil(
            [&] { return window.lvMain->topLevelItemCount() >= jobs && (row = RowOf(window, changedJob)); }, 120000)) {
        std::printf("%s: the window did not show the jobs\n", what.c_str());
        return;
    }
    quill::bench::RunEventsFor(1000); // the first reads settle
    std::optional<quill::bench::IdleLoad> idle;
    if (live.idle) idle = quill::bench::MeasureIdle(cups, kIdleSeconds);
    // The job starts held: released first, held again, and so on.
    const auto latency = quill::bench::TimeChanges(
        live.changes, [&](int i) { quill::bench::SetJobHeld(changedJob, i % 2 == 1); },
        [&](int i) { return row->text(3) == (i % 2 == 1 ? QStringLiteral("Paused ") : QString()); },
        window.Timer1->interval());
    quill::bench::PrintFigures(what, idle, latency);
}

int Run() {
    if (!quill::test::CupsSandbox::Possible()) {
        std::puts("a private cupsd needs /usr/sbin/cupsd");
        return 1;
    }
    constexpr int kPrinters = 20, kJobs = 50, kTicks = 50;
    quill::test::CupsSandbox cups;
    quill::bench::AllowAnyNumberOfJobs(cups);
    const std::vector<std::string> queues = quill::bench::AddQueues(cups, kPrinters);
    std::vector<int> jobIds = quill::bench::SubmitHeldJobs(queues, kPrinters * kJobs);
    std::printf("%d printers x %d held jobs, %d ticks per mode\n", kPrinters, kJobs, kTicks);
    quill::spooler::CupsSpooler spooler;
    PollingSpooler polling(spooler);
    quill::test::FakeDialogs dialogs;
    // Polled per printer and in one request, and with the job feed, which has no news.
    for (const char* mode : {"per printer", "one request", "job feed"}) {
        const bool fed = mode == std::string("job feed");
        quill::admin::TMain window(fed ? static_cast<spooler::Spooler&>(spooler) : polling, dialogs);
        window.Timer1->stop();
        window.UseSnapshot = mode != std::string("per printer");
        while (window.SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        Tick(window); // the rows exist; later ticks only compare
        const double cpu = quill::bench::OwnCpuSeconds(), server = CpuSecondsOf(cups.pid());
        const long requests = IppRequests(cups);
        const auto started = std::chrono::steady_clock::now();
        for (int t = 0; t < kTicks; ++t) Tick(window);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf(
            "%-12s per tick: %6.2f ms CPU here, %6.2f ms CPU in cupsd, %5.1f ms wall, %5.1f IPP requests (%d rows)\n",
            mode, (quill::bench::OwnCpuSeconds() - cpu) * 1000 / kTicks,
            (CpuSecondsOf(cups.pid()) - server) * 1000 / kTicks, wall * 1000 / kTicks,
            static_cast<double>(IppRequests(cups) - requests) / kTicks, window.lvMain->topLevelItemCount());
    }
    {
        const double cpu = quill::bench::OwnCpuSeconds();
        for (int t = 0; t < kTicks; ++t) spooler.EnumAllJobs();
        std::printf("Get-Jobs alone per tick: %6.2f ms CPU here\n",
                    (quill::bench::OwnCpuSeconds() - cpu) * 1000 / kTicks);
    }
    const double children = ChildrenCpu(), server = CpuSecondsOf(cups.pid());
    const long requests = IppRequests(cups);
    for (int t = 0; t < 10; ++t) cups.Run("lpstat -o > /dev/null");
    std::printf("lpstat -o     per run:  %6.2f ms CPU (whole process), %6.2f ms CPU in cupsd, %5.1f IPP requests\n",
                (ChildrenCpu() - children) * 1000 / 10, (CpuSecondsOf(cups.pid()) - server) * 1000 / 10,
                static_cast<double>(IppRequests(cups) - requests) / 10);
    // A server that stops answering: the window, ticking on, is closed with its button.
    std::vector<double> closings;
    for (int run = 0; run < 10; ++run) {
        auto window = std::make_unique<quill::admin::TMain>(spooler, dialogs);
        window->show();
        while (window->SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        quill::test::StoppedServer stopped(cups);
        const auto stoppedAt = std::chrono::steady_clock::now();
        const auto until = stoppedAt + std::chrono::milliseconds(500); // ticks pile up meanwhile
        while (std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
        const auto pressed = std::chrono::steady_clock::now();
        window->close();
        window.reset();
        closings.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count() * 1000);
    }
    std::sort(closings.begin(), closings.end());
    std::printf("closing while cupsd is stopped: median %.1f ms, max %.1f ms (10 runs, 0.5 s after SIGSTOP)\n",
                closings[5], closings.back());

    // The open window, polling against fed, side by side.
    const int changedJob = jobIds.front(); // on Queue_0
    quill::bench::SetQueuePaused(queues.front(), true);
    std::printf(
        "\nthe open window, 20 printers; per minute idle (%d s sampled): CPU of this process + cupsd, IPP "
        "requests;\nchange (hold or release over IPP) to row status, p50 / p95 over %d changes (or as many as the line "
        "says)\n",
        kIdleSeconds, kChanges);
    for (int jobs : {1000, 10000}) {
        if (static_cast<int>(jobIds.size()) < jobs) {
            const auto more = quill::bench::SubmitHeldJobs(queues, jobs - static_cast<int>(jobIds.size()));
            jobIds.insert(jobIds.end(), more.begin(), more.end());
        }
        quill::bench::LetServerSettle(cups);
        const std::string held = std::to_string(jobs) + " held jobs, ";
        // What the server costs on its own (nothing at 1,000 jobs).
        if (jobs > 1000)
            quill::bench::PrintFigures(held + "no window (cupsd alone)", quill::bench::MeasureIdle(cups, kIdleSeconds),
                                       std::nullopt);
        {
            quill::spooler::CupsSpooler real;
            PollingSpooler polled(real);
            // Each change there waits for a tick that takes about a second.
            const int changes = jobs > 1000 ? kSlowChanges : kChanges;
            CompareLive(cups, polled, jobs, changedJob, {changes},
                        held + "polled every 200 ms" +
                            (changes == kChanges ? "" : " (" + std::to_string(changes) + " changes)"));
        }
        {
            quill::spooler::CupsSpooler fed;
            CompareLive(cups, fed, jobs, changedJob, {}, held + "job feed");
        }
        if (jobs > 1000) {
            // The share of the delay that goes to sizing the columns to their contents
            // again after a row has changed (about the same at 1,000 jobs).
            quill::spooler::CupsSpooler fed;
            CompareLive(cups, fed, jobs, changedJob, {kChanges, false, true}, held + "job feed, fixed column widths");
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) { return quill::bench::RunOffscreen(argc, argv, Run); }
