#include "CupsLoad.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <cups/cups.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace quill::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};

// Sends a request about one job or queue and checks that the server did it.
void Ask(ipp_t* request, const char* resource) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* answer = cupsDoRequest(CUPS_HTTP_DEFAULT, request, resource);
    const bool done = answer && ippGetStatusCode(answer) <= IPP_STATUS_OK_CONFLICTING;
    ippDelete(answer);
    if (!done) throw std::runtime_error(std::string("the server refused a change: ") + cupsLastErrorString());
}

} // namespace

int RunOffscreen(int argc, char** argv, const std::function<int()>& body) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    try {
        return body();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", argv[0], failure.what());
        return 1;
    }
}

double OwnCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage);
}

double CpuSecondsOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The fields after the command name, which may hold spaces: utime and stime are the
    // 12th and 13th of them.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long IppRequests(const test::CupsSandbox& cups) {
    std::ifstream log(cups.dir() + "/log/access_log");
    long requests = 0;
    for (std::string line; std::getline(log, line);)
        if (line.find("\"POST ") != std::string::npos) ++requests;
    return requests;
}

std::vector<std::string> AddQueues(test::CupsSandbox& cups, int count) {
    std::vector<std::string> queues;
    for (int p = 0; p < count; ++p) {
        queues.push_back("Queue_" + std::to_string(p));
        cups.AddQueue(queues.back());
    }
    return queues;
}

void AllowAnyNumberOfJobs(test::CupsSandbox& cups) {
    // The sandbox adds this file to the cupsd.conf it writes at each start; a later
    // MaxJobs line wins over the sandbox's own. The access log, where the requests are
    // counted, is never rotated. The server writes its state files a second after a
    // change instead of 30 s: what the bench's own changes cost it falls before the next
    // idle sample, not into it.
    std::ofstream(cups.dir() + "/policy.conf") << "MaxJobs 0\nMaxLogSize 0\nDirtyCleanInterval 1\n";
    cups.Stop();
    cups.Start();
}

std::vector<int> SubmitHeldJobs(const std::vector<std::string>& queues, int count) {
    const std::unique_ptr<http_t, HttpClose> http(
        httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr));
    if (!http) throw std::runtime_error("no connection to the server");
    char document[] = "/tmp/quill-bench-XXXXXX";
    const int fd = ::mkstemp(document);
    if (fd >= 0) ::unlink(document);
    if (fd < 0 || ::write(fd, "held", 4) != 4) throw std::runtime_error("no document to print");
    // One Print-Job per job, on one connection.
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        const std::string resource = "/printers/" + queues[static_cast<std::size_t>(i) % queues.size()];
        const std::string uri = "ipp://localhost" + resource;
        ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "bench");
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
        ::lseek(fd, 0, SEEK_SET);
        ipp_t* answer = cupsDoIORequest(http.get(), request, resource.c_str(), fd, -1);
        ipp_attribute_t* id = answer ? ippFindAttribute(answer, "job-id", IPP_TAG_INTEGER) : nullptr;
        if (id) ids.push_back(ippGetInteger(id, 0));
        ippDelete(answer);
        if (!id) break;
    }
    ::close(fd);
    if (static_cast<int>(ids.size()) < count)
        throw std::runtime_error("job " + std::to_string(ids.size()) + " was refused: " + cupsLastErrorString());
    return ids;
}

void SetJobHeld(int jobId, bool held) {
    ipp_t* request = ippNewRequest(held ? IPP_OP_HOLD_JOB : IPP_OP_RELEASE_JOB);
    const std::string uri = "ipp://localhost/jobs/" + std::to_string(jobId);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    Ask(request, "/jobs/");
}

void SetQueuePaused(const std::string& queue, bool paused) {
    ipp_t* request = ippNewRequest(paused ? IPP_OP_PAUSE_PRINTER : IPP_OP_RESUME_PRINTER);
    const std::string uri = "ipp://localhost/printers/" + queue;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    Ask(request, "/admin/");
}

int SubscribeOtherNotifier() {
    ipp_t* request = ippNewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_URI, "notify-recipient-uri", nullptr, "dbus://");
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "all");
    ippAddInteger(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", 0);
    ipp_t* answer = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    ipp_attribute_t* id = answer ? ippFindAttribute(answer, "notify-subscription-id", IPP_TAG_INTEGER) : nullptr;
    const int subscription = id ? ippGetInteger(id, 0) : 0;
    ippDelete(answer);
    if (!subscription) throw std::runtime_error(std::string("no subscription: ") + cupsLastErrorString());
    return subscription;
}

void CancelSubscription(int id) {
    ipp_t* request = ippNewRequest(IPP_OP_CANCEL_SUBSCRIPTION);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", id);
    Ask(request, "/");
}

void RunEventsFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    bool held = false; // done() is asked once per look: it may keep state of its own
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if ((held = done())) loop.quit();
    });
    look.start(1);
    QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return held;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)))];
}

void LetServerSettle(const test::CupsSandbox& cups) {
    RunEventsFor(2000);
    for (int second = 0; second < 60; ++second) {
        const double before = CpuSecondsOf(cups.pid());
        RunEventsFor(1000);
        if (CpuSecondsOf(cups.pid()) - before < 0.02) return;
    }
}

IdleLoad MeasureIdle(const test::CupsSandbox& cups, int seconds) {
    RunEventsFor(2000); // the server's writes for earlier changes are done
    const long requests = IppRequests(cups);
    const double own = OwnCpuSeconds(), server = CpuSecondsOf(cups.pid());
    RunEventsFor(seconds * 1000);
    const double scale = 60.0 / seconds;
    IdleLoad load;
    load.ownSeconds = (OwnCpuSeconds() - own) * scale;
    load.serverSeconds = (CpuSecondsOf(cups.pid()) - server) * scale;
    load.requests = static_cast<double>(IppRequests(cups) - requests) * scale;
    return load;
}

Latency TimeChanges(int changes, const std::function<void(int)>& change, const std::function<bool(int)>& shown,
                    int periodMs) {
    constexpr int kBoundMs = 10000;
    std::mt19937 random(19);
    std::uniform_int_distribution<int> phase(0, periodMs - 1);
    std::vector<double> delays;
    Latency latency;
    for (int i = 0; i < changes; ++i) {
        change(i);
        const auto changed = Clock::now();
        if (!RunEventsUntil([&] { return shown(i); }, kBoundMs)) ++latency.late;
        delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - changed).count());
        // What the change set off (the window's own reads) settles before the next, which
        // comes at any point of the window's period, not always at the same.
        RunEventsFor(20 + phase(random));
    }
    latency.p50 = Percentile(delays, 0.5);
    latency.p95 = Percentile(delays, 0.95);
    return latency;
}

void PrintFigures(const std::string& what, const std::optional<IdleLoad>& idle, const std::optional<Latency>& latency) {
    char load[64] = "", delay[64] = "";
    if (idle)
        std::snprintf(load, sizeof load, "%6.2f + %6.2f s/min %6.0f req/min", idle->ownSeconds, idle->serverSeconds,
                      idle->requests);
    if (latency) std::snprintf(delay, sizeof delay, "%7.1f / %7.1f ms", latency->p50, latency->p95);
    if (latency && latency->late)
        std::snprintf(delay + std::strlen(delay), sizeof delay - std::strlen(delay), " (%d late)", latency->late);
    std::printf("%-48s %-38s %s\n", what.c_str(), load, delay);
    std::fflush(stdout);
}

} // namespace quill::bench
