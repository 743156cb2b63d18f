// The managed printer across two private cupsd servers (the second, "another computer",
// also listening on 127.0.0.2): the time from "Enable Printer" in the real window to its
// message, and, once the printer is shared as QUILL and connected from the first with the
// printer helper, the time from `lp` on the first to the PDF on the second. Median,
// minimum and maximum of 10 runs each. Needs root for the cupsd servers.
//
//   build/bench/sharepdf [HELPER]
#include "app/TForm1.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "spooler/CupsSpooler.h"

#include <QApplication>

#include <cups/cups.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
constexpr int kRuns = 10;

void Settle(const quill::app::TForm1& form) {
    while (form.SpoolerBusy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-46s median %8.1f ms   min %8.1f   max %8.1f   (%zu runs)\n", what, ms[ms.size() / 2], ms.front(),
                ms.back(), ms.size());
}

// The newest job of the server and whether it has ended; {0, false} when it has none.
std::pair<int, bool> NewestJob(http_t* http) {
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
    std::pair<int, bool> newest{0, false};
    for (int i = 0; i < count; ++i)
        if (jobs[i].id > newest.first) newest = {jobs[i].id, jobs[i].state >= IPP_JSTATE_STOPPED};
    cupsFreeJobs(count, jobs);
    return newest;
}

} // namespace

int main(int argc, char** argv) {
    if (!quill::test::CupsSandbox::Possible()) {
        std::fprintf(stderr, "sharepdf: a private cupsd needs /usr/sbin/cupsd\n");
        return 1;
    }
    const std::string helper = argc > 1 ? argv[1] : QUILL_PRINTUI;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    quill::test::CupsSandbox first;
    quill::test::CupsSandbox second(false, "127.0.0.2"); // last: the window talks to it
    second.InstallManagedPrinterDriver();
    const std::string program = second.dir() + "/program";
    fs::create_directories(program);
    std::ofstream(program + "/SetupAid.exe") << "";

    quill::spooler::CupsSpooler spooler;
    quill::test::FakeDialogs dialogs;
    quill::test::FakeLauncher launcher;
    quill::app::TForm1 form(spooler, dialogs, launcher, [] { return 2026; });
    form.ProgramFolder = program;
    form.show();
    Settle(form);

    std::vector<double> enable;
    for (int run = 0; run < kRuns; ++run) {
        form.SpeedButton4Click();
        Settle(form);
        dialogs.messages.clear();
        const auto start = Clock::now();
        form.SpeedButton3Click();
        while (dialogs.messages.empty()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        enable.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        Settle(form);
    }
    Report("Enable Printer to its message", enable);

    dialogs.inputAnswers.push_back("QUILL");
    form.SpeedButton7Click();
    Settle(form);
    const std::string path = "\\\\127.0.0.2:" + std::to_string(second.port()) + "\\QUILL";
    first.Run(helper + " " + quill::test::ShellQuote("printui.dll,PrintUIEntry /in /n" + path) + " 0");
    const std::string connection = "remote-QUILL@127.0.0.2:" + std::to_string(second.port());

    http_t* http = httpConnect2(second.server().c_str(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                5000, nullptr);
    if (!http) return 1;
    std::vector<double> print;
    for (int run = 0; run < kRuns; ++run) {
        const int before = NewestJob(http).first;
        const auto start = Clock::now();
        first.Run("echo 'Printed on the first computer.' | lp -d " + quill::test::ShellQuote(connection));
        // The PDF is complete when the second's job has ended (the backend writes it
        // under its final name); a job from another server, whose user the second did not
        // authenticate, goes to the backend's own folder.
        bool done = false;
        while (!done && Clock::now() - start < std::chrono::seconds(60)) {
            const auto [job, ended] = NewestJob(http);
            done = job > before && ended;
            if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!done || second.JobPdf(NewestJob(http).first, second.UnclaimedPdfFolder()).empty()) {
            std::fprintf(stderr, "sharepdf: no PDF on the second server after 60 s\n");
            return 1;
        }
        print.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    httpClose(http);
    Report("lp on the first to the PDF on the second", print);
    return 0;
}
