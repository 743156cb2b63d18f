#pragma once

// What the live-window benchmarks share: a private cupsd loaded with many held jobs, the
// changes they time, and the figures they take while nothing changes.
#include "CupsSandbox.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quill::bench {

// Runs a benchmark's body in an application on the offscreen platform (unless another
// is named); a failure it throws is printed and ends the run with status 1, after the
// body's private cupsd has been stopped on the way out.
int RunOffscreen(int argc, char** argv, const std::function<int()>& body);

// User and system time of this process, and of another one (from /proc), in seconds.
double OwnCpuSeconds();
double CpuSecondsOf(int pid);

// The IPP requests the server has logged so far (POST lines of its access_log; the
// sandbox logs every request).
long IppRequests(const test::CupsSandbox& cups);

// Lets the server keep any number of jobs (the sandbox keeps 5,000) and its whole access
// log, has it write its state files a second after a change, and starts it again with
// that; do it before any client watches it.
void AllowAnyNumberOfJobs(test::CupsSandbox& cups);

// Adds queues Queue_0 ... Queue_<count - 1>; their names.
std::vector<std::string> AddQueues(test::CupsSandbox& cups, int count);

// Submits count held jobs (job-hold-until indefinite), spread evenly over the queues in
// turn, over one connection; their ids in submission order.
std::vector<int> SubmitHeldJobs(const std::vector<std::string>& queues, int count);

// Waits until the server has written what the submissions left to write (10,000 jobs
// cost it seconds) and is quiet for a second; at most a minute. Only while no client
// keeps it busy.
void LetServerSettle(const test::CupsSandbox& cups);

// Holds or releases a job, and stops or starts a queue, over IPP as another client would.
void SetJobHeld(int jobId, bool held);
void SetQueuePaused(const std::string& queue, bool paused);

// Another program's subscription whose notifier signals every event on the system bus (as
// a desktop's print notifications do); its id. Once an event has come, its notifier holds
// the server's one notifier lock, and a later subscriber's notifier sends nothing.
int SubscribeOtherNotifier();
void CancelSubscription(int id);

// Runs the event loop for that long without spinning.
void RunEventsFor(int milliseconds);
// Runs the event loop until done() holds, looking every millisecond, or until timeoutMs
// has passed; whether done() held.
bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs);

// The value below which a share p of the values lies (nearest rank).
double Percentile(std::vector<double> values, double p);

// Per minute, from a sample of a few seconds with nothing changing: CPU of this process
// and of cupsd, and requests the server answered. The sample starts two seconds after
// the call, when the server has written what earlier changes left to write.
struct IdleLoad {
    double ownSeconds = 0;
    double serverSeconds = 0;
    double requests = 0;
};
IdleLoad MeasureIdle(const test::CupsSandbox& cups, int seconds);

// The delay from a change in the server to what shows it, in milliseconds.
struct Latency {
    double p50 = 0;
    double p95 = 0;
    int late = 0; // changes not shown within 10 s (counted with 10 s)
};

// Times changes: change(i) makes the i-th change and returns once the server has
// answered, shown(i) tells whether the window shows it; the event loop runs meanwhile.
// Each delay runs from the server's answer until the change shows. The changes are
// spread at random over periodMs, the period of the window's timer or poll: changes in
// step with it would all meet it at the same point.
Latency TimeChanges(int changes, const std::function<void(int)>& change, const std::function<bool(int)>& shown,
                    int periodMs);

// One line of the comparison; without what was not measured.
void PrintFigures(const std::string& what, const std::optional<IdleLoad>& idle, const std::optional<Latency>& latency);

} // namespace quill::bench
