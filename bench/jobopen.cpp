// The "Print Spooler" window's open on a print server with many queues: the time from
// opening the window to its rows shown, with 200, 2,000 and 5,000 queues and 1,000 jobs
// spread over them, from a scripted spooler (the server's own answer time is not in it).
// Beside it, the pairing of every printer with every job that a tick used to do
// (5 million name comparisons at 5,000 queues), so that the two stand side by side.
// Then the same against a private cupsd with 5,000 queues and 1,000 held jobs: the open
// to rows on screen beside `lpstat -o` for the same jobs.
#include "admin/TMain.h"

#include "CupsLoad.h"
#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "FakeSpooler.h"
#include "spooler/CupsSpooler.h"
#include "spooler/PrinterName.h"

#include <QApplication>
#include <QTreeWidget>

#include <chrono>
#include <memory>
#include <utility>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

double CpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

// Seconds from start to done() on the event loop, and this process's CPU seconds meanwhile.
template <typename Start, typename Done> std::pair<double, double> Timed(Start start, Done done) {
    const auto started = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    start();
    while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), CpuSeconds() - cpu};
}

void AgainstCups(int queues, int jobs) {
    quill::test::CupsSandbox cups;
    std::vector<std::string> names;
    for (int i = 0; i < queues; ++i) names.push_back("Printer_" + std::to_string(i));
    cups.ReplaceQueues(names);
    quill::bench::SubmitHeldJobs(names, jobs);
    quill::bench::LetServerSettle(cups);
    const auto lpstat = Timed([&] { cups.Run("lpstat -o >/dev/null"); }, [] { return true; });
    quill::spooler::CupsSpooler spooler;
    quill::test::FakeDialogs dialogs;
    std::unique_ptr<quill::admin::TMain> window;
    const auto open = Timed(
        [&] {
            window = std::make_unique<quill::admin::TMain>(spooler, dialogs);
            window->show();
        },
        [&] { return window->lvMain->topLevelItemCount() >= jobs; });
    std::printf("\nprivate cupsd, %d queues, %d held jobs:\n", queues, jobs);
    std::printf("  lpstat -o:                   %6.0f ms\n", lpstat.first * 1000);
    std::printf("  job window open to rows:     %6.0f ms (%.0f ms CPU of this process), %.2f x lpstat -o\n",
                open.first * 1000, open.second * 1000, open.first / lpstat.first);
}

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    constexpr int kJobs = 1000;
    std::printf("%-8s %-6s %14s %14s %22s\n", "queues", "jobs", "open to rows", "of it CPU", "pairwise (old) CPU");
    for (int queues : {200, 2000, 5000}) {
        quill::test::FakeSpooler spooler;
        quill::test::FakeDialogs dialogs;
        for (int i = 0; i < queues; ++i) spooler.AddPrinter("Printer_" + std::to_string(i));
        for (int id = 1; id <= kJobs; ++id) {
            quill::spooler::JobInfo2 job;
            job.JobId = static_cast<std::uint32_t>(id);
            job.pPrinterName = "Printer_" + std::to_string((id * 7919) % queues);
            job.pDocument = "document " + std::to_string(id);
            job.pUserName = "anna";
            spooler.printers[static_cast<std::size_t>((id * 7919) % queues)].jobs.push_back(job);
        }
        const auto started = std::chrono::steady_clock::now();
        const double cpu = CpuSeconds();
        quill::admin::TMain window(spooler, dialogs);
        window.show();
        while (window.lvMain->topLevelItemCount() < kJobs) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double cpuOpen = CpuSeconds() - cpu;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // What each tick did before: every printer name against every job's.
        std::vector<quill::spooler::JobInfo2> all;
        for (const auto& printer : spooler.printers) all.insert(all.end(), printer.jobs.begin(), printer.jobs.end());
        const double before = CpuSeconds();
        std::size_t matched = 0;
        for (const auto& printer : spooler.printers)
            for (const auto& job : all)
                matched += quill::spooler::SameQueue(job.pPrinterName, printer.info.pPrinterName);
        const double pairwise = CpuSeconds() - before;
        std::printf("%-8d %-6d %12.0f ms %12.0f ms %20.0f ms%s\n", queues, kJobs, wall * 1000, cpuOpen * 1000,
                    pairwise * 1000, matched == kJobs ? "" : " (mismatch)");
    }
    if (quill::test::CupsSandbox::Possible()) AgainstCups(5000, kJobs);
    return 0;
}
