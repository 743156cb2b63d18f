// "Printer Activities" on a print server with many queues: a private cupsd whose
// printers.conf holds N queues before it starts (200, 2,000 and 5,000, or the counts given
// as arguments), and the real window started on it. For each size:
// - the watcher threads and this process's resident memory with the monitor open (the
//   threads and memory the program had before the window are left out of neither);
// - the time from the start until every watcher has opened its printer and entered its
//   loop (or written why not), and the CPU cupsd spent and the IPP requests it answered
//   meanwhile;
// - the most sockets this process had open at once beyond those it had before (its
//   connections to cupsd), and the "Openprinter() failed" lines;
// - the time from the close request until the window has ended.
#include "CupsLoad.h"
#include "CupsSandbox.h"
#include "OpenSockets.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorDialog.h"
#include "platform/DebugOutput.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QTest>

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// A field of /proc/self/status (its number: kB for VmRSS).
long Status(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return 0;
}

// Counts the watcher lines of the log as they come, as the log's debug copy: the log text
// itself is not copied again and again.
class LineCounter final : public quill::platform::DebugOutput {
public:
    std::atomic<int> loops{0}, failed{0}, ended{0};
    void write(std::string_view line) override {
        if (line.find("Starting notification loop") != std::string_view::npos) ++loops;
        else if (line.find("Openprinter() failed") != std::string_view::npos) ++failed;
        else if (line.find("Invalid notification handle") != std::string_view::npos) ++ended;
    }
};

void Measure(int queues) {
    quill::test::CupsSandbox cups;
    std::vector<std::string> names;
    for (int i = 0; i < queues; ++i) names.push_back("Queue_" + std::to_string(i));
    QElapsedTimer build;
    build.start();
    // Every request stays in the access log, where they are counted.
    std::ofstream(cups.dir() + "/policy.conf") << "MaxLogSize 0\n";
    cups.ReplaceQueues(names);
    const double built = static_cast<double>(build.elapsed()) / 1000.0;
    quill::bench::RunEventsFor(1000); // the server has settled after its start

    const auto lines = std::make_shared<LineCounter>();
    quill::monitor::activityLog().setDebugOutput(lines);
    const int socketsBefore = quill::test::OpenSockets();
    const double serverBefore = quill::bench::CpuSecondsOf(cups.pid());
    const long requestsBefore = quill::bench::IppRequests(cups);
    auto window = std::make_unique<quill::monitor::MonitorDialog>(std::make_shared<quill::spooler::CupsSpooler>());
    window->show();
    QElapsedTimer timer;
    timer.start();
    window->Start();
    double startReturned = 0;
    int mostSockets = 0;
    long mostThreads = 0;
    bool settled = false;
    while (!settled && timer.elapsed() < 120000) {
        quill::bench::RunEventsFor(10);
        mostSockets = std::max(mostSockets, quill::test::OpenSockets() - socketsBefore);
        mostThreads = std::max(mostThreads, Status("Threads"));
        if (!startReturned && window->Started()) startReturned = static_cast<double>(timer.elapsed()) / 1000.0;
        settled = window->Started() && lines->loops + lines->failed + lines->ended >= queues;
    }
    const double settledAfter = static_cast<double>(timer.elapsed()) / 1000.0;
    const double serverCpu = quill::bench::CpuSecondsOf(cups.pid()) - serverBefore;
    const long requests = quill::bench::IppRequests(cups) - requestsBefore;
    quill::bench::RunEventsFor(1000);
    const long rssKb = Status("VmRSS");
    const long threads = Status("Threads");

    QElapsedTimer closing;
    closing.start();
    window->close();
    quill::bench::RunEventsUntil([&] { return !window->isVisible(); }, 30000);
    const double closed = static_cast<double>(closing.elapsed()) / 1000.0;
    window.reset();

    std::printf("%6d %8.1f s %8ld %8ld %9.1f MiB %8.2f s%s %8.2f s %9ld %8d %8d %8.2f s\n", queues, built, threads,
                mostThreads, static_cast<double>(rssKb) / 1024.0, settledAfter, settled ? "" : "!", serverCpu, requests,
                mostSockets, lines->failed.load(), closed);
    std::printf("       (the start itself returned after %.2f s)\n", startReturned);
    quill::monitor::activityLog().setDebugOutput(nullptr);
    std::fflush(stdout);
}

int Run(int argc, char** argv) {
    if (!quill::test::CupsSandbox::Possible()) {
        std::fprintf(stderr, "monitorscale: a private cupsd needs /usr/sbin/cupsd\n");
        return 1;
    }
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {200, 2000, 5000};
    std::printf(
        "queues    built  threads  (most)   RSS open  settled   cupsd CPU  requests  sockets  failed   closed\n");
    for (int queues : sizes) Measure(queues);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return quill::bench::RunOffscreen(1, argv, [&] { return Run(argc, argv); });
}
