// Cost of one poll tick of the "Print Spooler" window with 20 printers x 50 held jobs on
// a private cupsd: per-printer polling (Get-Printer-Attributes and Get-Jobs for every
// printer) against one Get-Jobs for all printers, and `lpstat -o` as an anchor. Prints
// CPU time per tick of this process and of cupsd, and IPP requests per tick. Then the
// time from stopping cupsd (SIGSTOP) to the window being gone after its close button.
#include "admin/TMain.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"

#include <QApplication>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double ProcessCpu(int who) {
    rusage u{};
    ::getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double CupsdCpu(const std::string& dir) {
    std::ifstream pidFile(dir + "/run/cupsd.pid");
    int pid = 0;
    pidFile >> pid;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// One tick, its answer shown.
void Tick(quill::admin::TMain& window) {
    window.Timer1Timer();
    while (window.SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

long Requests(const std::string& dir) {
    std::ifstream log(dir + "/log/access_log");
    long lines = 0;
    for (std::string line; std::getline(log, line);)
        if (line.find("POST") != std::string::npos) ++lines;
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    if (!quill::test::CupsSandbox::Possible()) {
        std::puts("a private cupsd needs /usr/sbin/cupsd");
        return 1;
    }
    constexpr int kPrinters = 20, kJobs = 50, kTicks = 50;
    quill::test::CupsSandbox cups;
    for (int p = 0; p < kPrinters; ++p) {
        const std::string queue = "Queue_" + std::to_string(p);
        cups.AddQueue(queue);
        cups.Run("sh -c 'for i in $(seq " + std::to_string(kJobs) + "); do printf x | lp -d " + queue +
                 " -H hold >/dev/null; done'");
    }
    std::printf("%d printers x %d held jobs, %d ticks per mode\n", kPrinters, kJobs, kTicks);
    quill::spooler::CupsSpooler spooler;
    quill::test::FakeDialogs dialogs;
    for (bool snapshot : {false, true}) {
        quill::admin::TMain window(spooler, dialogs);
        window.Timer1->stop();
        window.UseSnapshot = snapshot;
        while (window.SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        Tick(window); // the rows exist; later ticks only compare
        const double cpu = ProcessCpu(RUSAGE_SELF), server = CupsdCpu(cups.dir());
        const long requests = Requests(cups.dir());
        const auto started = std::chrono::steady_clock::now();
        for (int t = 0; t < kTicks; ++t) Tick(window);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf(
            "%-12s per tick: %6.2f ms CPU here, %6.2f ms CPU in cupsd, %5.1f ms wall, %5.1f IPP requests (%d rows)\n",
            snapshot ? "one request" : "per printer", (ProcessCpu(RUSAGE_SELF) - cpu) * 1000 / kTicks,
            (CupsdCpu(cups.dir()) - server) * 1000 / kTicks, wall * 1000 / kTicks,
            static_cast<double>(Requests(cups.dir()) - requests) / kTicks, window.lvMain->topLevelItemCount());
    }
    {
        const double cpu = ProcessCpu(RUSAGE_SELF);
        for (int t = 0; t < kTicks; ++t) spooler.EnumAllJobs();
        std::printf("Get-Jobs alone per tick: %6.2f ms CPU here\n", (ProcessCpu(RUSAGE_SELF) - cpu) * 1000 / kTicks);
    }
    const double children = ProcessCpu(RUSAGE_CHILDREN), server = CupsdCpu(cups.dir());
    const long requests = Requests(cups.dir());
    for (int t = 0; t < 10; ++t) cups.Run("lpstat -o > /dev/null");
    std::printf("lpstat -o     per run:  %6.2f ms CPU (whole process), %6.2f ms CPU in cupsd, %5.1f IPP requests\n",
                (ProcessCpu(RUSAGE_CHILDREN) - children) * 1000 / 10, (CupsdCpu(cups.dir()) - server) * 1000 / 10,
                static_cast<double>(Requests(cups.dir()) - requests) / 10);
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
    return 0;
}
