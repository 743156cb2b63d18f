// The activity monitor against a private cupsd, through the real window:
// - the delay from a printer change in CUPS (pause or resume, sent over IPP) to its
//   status line in the window's text box, p50 and p95 over 100 changes;
// - the CPU the watchers use while nothing happens, per minute (this process, whose
//   interface thread is idle, and cupsd, which answers the polls), from a 15 s sample;
// - the time to write 100,000 lines to the log with the window open until the text box
//   shows them all.
#include "CupsSandbox.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorDialog.h"
#include "spooler/CupsSpooler.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>

#include <cups/cups.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds(rusage usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

// User and system time of another process, from /proc.
double OtherCpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += line[i];
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void SetPaused(const std::string& queue, bool paused) {
    ipp_t* request = ippNewRequest(paused ? IPP_OP_PAUSE_PRINTER : IPP_OP_RESUME_PRINTER);
    const std::string uri = "ipp://localhost/printers/" + queue;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    if (!quill::test::CupsSandbox::Possible()) {
        std::fprintf(stderr, "monitorbench: a private cupsd needs /usr/sbin/cupsd\n");
        return 1;
    }
    quill::test::CupsSandbox cups;
    for (const char* queue : {"Laser_1", "Laser_2", "Plotter", "Labels", "Office"}) cups.AddQueue(queue);

    auto window = std::make_unique<quill::monitor::MonitorDialog>(std::make_shared<quill::spooler::CupsSpooler>());
    window->show();
    window->Start();
    const auto text = [&] { return window->TextBox->toPlainText(); };
    if (!QTest::qWaitFor([&] { return text().count("Starting notification loop") == 5; }, 20000)) {
        std::fprintf(stderr, "monitorbench: the watchers did not start\n");
        return 1;
    }
    QTest::qWait(500);

    // Latency: each change, then the event loop runs until the line shows.
    std::vector<double> delays;
    for (int i = 0; i < 100; ++i) {
        const bool pause = i % 2 == 0;
        const QString line = pause ? "[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_PAUSED )\n"
                                   : "[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ()\n";
        const qsizetype mark = text().size();
        SetPaused("Laser_1", pause);
        const auto changed = Clock::now();
        while (!text().mid(mark).contains(line)) {
            QApplication::processEvents(QEventLoop::AllEvents, 1);
            if (Clock::now() - changed > std::chrono::seconds(10)) break;
        }
        delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - changed).count());
        QTest::qWait(30);
    }
    std::printf("change to line in the window: p50 %.1f ms, p95 %.1f ms (100 changes)\n", Percentile(delays, 0.5),
                Percentile(delays, 0.95));

    // Idle CPU: nothing changes for the sample.
    constexpr int kSampleSeconds = 15;
    const double ownBefore = ProcessCpuSeconds();
    const double serverBefore = OtherCpuSeconds(cups.pid());
    QTest::qWait(kSampleSeconds * 1000);
    const double scale = 60.0 / kSampleSeconds;
    std::printf("idle CPU per minute, 5 watchers: this process %.0f ms, cupsd %.0f ms\n",
                (ProcessCpuSeconds() - ownBefore) * 1000 * scale,
                (OtherCpuSeconds(cups.pid()) - serverBefore) * 1000 * scale);

    // 100,000 lines into the open window.
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
