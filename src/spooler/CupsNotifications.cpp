// Change notifications on CUPS. All registrations share one server-wide pull
// subscription (ippget, every event): a subscription on one queue misses the cancel of
// a job that never started, and the server allows only a few subscriptions. Its events
// and their sequence numbers say what changed and whether events were lost. One poller
// thread asks for new events when CUPS' D-Bus notifier signals that something happened
// (a second subscription, dbus://, makes the server send them), and else every 5 s in
// case a signal went missing: another program's notifier may hold the one notifier
// lock of the server, and then none of ours are sent. A poll that finds events no signal
// announced, or a computer without a system bus, makes it ask every 100 ms
// (Get-Notifications answers at once and cannot wait). Each registration's descriptor
// becomes readable when an event names its printer (a job feed's on every job event).
// A fetch then reads the current values of the printer and of the jobs that changed
// since the last fetch (of every job after a gap in the events).
#include "spooler/CupsSpooler.h"

#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsRequest.h"
#include "spooler/CupsShareNames.h"
#include "spooler/EndedJobs.h"
#include "spooler/LastError.h"
#include "spooler/NotifierSignals.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <optional>
#include <system_error>
#include <thread>

namespace quill::spooler {
namespace {

// Without signals; and after events that no signal announced, for a while.
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::seconds kFastPollFor{60};
// With signals: only in case one was lost.
constexpr std::chrono::milliseconds kFallbackPoll{5000};
// The least time between two polls that signals asked for.
constexpr std::chrono::milliseconds kSignalGap{10};
// After a server that did not answer.
constexpr std::chrono::milliseconds kRetryAfterFailure{1000};
constexpr int kLeaseSeconds = 120;
// Renewed well before the lease ends, so a busy server does not end it first.
constexpr std::chrono::seconds kRenewEvery{40};
// The signal subscription costs the server a notifier process only, and is renewed rarely.
constexpr int kSignalLeaseSeconds = 600;
constexpr std::chrono::seconds kSignalRenewEvery{200};
// A system bus that is missing or went is looked for again after this.
constexpr std::chrono::seconds kBusRetry{60};
constexpr int kBusAnswerMs = 1000;
// How long one listing of the open jobs serves registrations made together, at most.
constexpr std::chrono::seconds kSnapshotFor{2};
// How long a spooler that goes waits for its poller to cancel the subscriptions.
constexpr std::chrono::milliseconds kCancelBound{1000};

// CUPS compares queue names ignoring case.
std::string QueueKey(std::string queue) {
    std::transform(queue.begin(), queue.end(), queue.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return queue;
}

void Signal(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(fd, &count, sizeof count);
}

} // namespace

// One registration at the poller: its descriptor becomes readable when an event names
// its queue (any queue when the key is empty). It leaves the hub when it goes.
struct CupsSpooler::Watched {
    Watched(std::shared_ptr<NotificationHub> watchedBy, std::string queueKey)
        : key(std::move(queueKey)), fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), hub(std::move(watchedBy)) {}
    ~Watched();
    // Registers at the hub and waits until every change from now on is seen; false, with
    // the reason as the thread's last error, when the registration could not be made or
    // the subscriptions were not in place within the bounded request time.
    bool Join();
    // What the poller saw since the last call: whether events were lost, and the jobs
    // that events named (added to `named`); `printers` is set when the printers changed.
    bool Take(std::set<std::uint32_t>& named, bool* printersChanged = nullptr);

    const std::string key;
    const int fd;
    const std::shared_ptr<NotificationHub> hub;
    bool joined = false;
    // Guarded by the hub's mutex.
    bool discarded = false;       // events were lost since the last fetch
    std::set<std::uint32_t> jobs; // jobs named by events since the last fetch
    bool printers = false;        // (a job feed) printers or classes were added, deleted or changed
};

// A registration: its printer, its readable-when-changed descriptor, and what the poller
// has seen for it since the last fetch.
class CupsChangeNotification final : public ChangeNotification {
public:
    CupsChangeNotification(std::shared_ptr<CupsSpooler::NotificationHub> hub, std::string name, std::string queue)
        : m_name(std::move(name)), m_queue(std::move(queue)), m_watched(std::move(hub), QueueKey(m_queue)) {}
    int fd() const override { return m_watched.fd; }

    const std::string m_name;
    const std::string m_queue;
    CupsSpooler::Watched m_watched;
    // The fetching thread's own: the jobs named by events and not yet reported, whether
    // the next fetch reports everything, and the jobs seen open.
    std::set<std::uint32_t> m_named;
    bool m_refresh = false;
    EndedJobs m_ended;
};

// The job changes of every queue, and a connection of its own to read the jobs on.
class CupsJobFeed final : public JobFeed {
public:
    explicit CupsJobFeed(std::shared_ptr<CupsSpooler::NotificationHub> hub) : m_watched(std::move(hub), "") {}
    int fd() const override { return m_watched.fd; }
    JobChanges Take() override;
    std::optional<std::vector<JobInfo2>> ReadJobs(const std::set<std::uint32_t>& ids) override;

    CupsSpooler::Watched m_watched;

private:
    bool m_first = true;
    std::unique_ptr<CupsConnection> m_connection; // kept open from one read to the next
    // Jobs whose document had not arrived when they were read: read again at the next look.
    std::mutex m_mutex;
    std::set<std::uint32_t> m_incomplete;
};

// The one poller of a spooler's registrations. Its thread is started with the first
// registration and lives until the hub goes, which stops and joins it: a poller never
// runs beside another on the same subscription. While no registration is left it
// cancels the subscriptions and then sleeps without polling; a registration that comes
// meanwhile is served by the same thread, on new subscriptions.
class CupsSpooler::NotificationHub {
public:
    NotificationHub() : m_poke(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~NotificationHub();
    bool Usable() const { return m_poke >= 0; }
    // False when the poller's thread could not be started.
    bool Add(Watched* registration) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { Run(); });
            } catch (const std::system_error&) {
                return false;
            }
        }
        m_registrations.insert(registration);
        Poke();
        return true;
    }
    // Waits until the subscriptions that serve the registrations are in place, so that
    // every change from now on is seen; gives up after the bounded request time, or at
    // once when the calling thread's requests are to give up. Whether they are in place.
    bool WaitUntilSubscribed() {
        const auto until = std::chrono::steady_clock::now() + CupsConnection::kAnswerTimeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_live && !AbortScope::Requested() && std::chrono::steady_clock::now() < until)
            m_wake.wait_for(lock, kPollInterval);
        return m_live;
    }
    void Remove(Watched* registration) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_registrations.erase(registration);
        if (m_registrations.empty()) {
            // The subscriptions go with the last registration; a later one waits for its own.
            m_stale = true;
            m_live = false;
        }
        Poke();
    }
    // The jobs open now on a queue (by its key), from one listing of every queue's jobs that
    // registrations made together share: it stays exact while no event has come since it
    // was read, as the events tell every change after it. nullopt when it cannot be read.
    std::optional<std::vector<JobInfo2>> OpenJobs(const std::string& key) {
        std::unique_lock<std::mutex> lock(m_snapshotMutex);
        std::uint64_t delivered;
        {
            const std::lock_guard<std::mutex> guard(m_mutex);
            delivered = m_delivered;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!m_openJobs || m_openJobsDelivered != delivered || now - m_openJobsAt > kSnapshotFor) {
            m_openJobs.reset();
            const auto connection = CupsConnection::Open("");
            if (!connection) return std::nullopt;
            auto jobs = AskForJobs(*connection, kServerUri, "not-completed", 0);
            if (!jobs) return std::nullopt;
            m_openJobs.emplace();
            for (JobInfo2& job : *jobs) (*m_openJobs)[QueueKey(job.pPrinterName)].push_back(std::move(job));
            m_openJobsDelivered = delivered;
            m_openJobsAt = now;
        }
        auto found = m_openJobs->find(key);
        return found == m_openJobs->end() ? std::vector<JobInfo2>() : found->second;
    }
    // What the poller saw for a registration since the last call; cleared.
    void TakeSeen(Watched& registration, bool& discarded, std::set<std::uint32_t>& jobs, bool& printers) {
        std::lock_guard<std::mutex> guard(m_mutex);
        discarded = registration.discarded;
        registration.discarded = false;
        printers = registration.printers;
        registration.printers = false;
        jobs.merge(registration.jobs);
        registration.jobs.clear();
    }

private:
    void Run();
    // Wakes the poller (the caller holds the mutex).
    void Poke() {
        m_wake.notify_all();
        Signal(m_poke);
    }
    enum class Woken { Stop, Time, Poke, Signal };
    // Sleeps for up to `period`, or until a signal of the server's notifier comes or the
    // poller is poked.
    Woken Pause(std::chrono::milliseconds period);
    void SetLive(bool live) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_live = live;
        m_wake.notify_all();
    }
    // A new server-wide subscription to every event, read with Get-Notifications or
    // (signals) signalled on the system bus; its id, 0 when the server made none.
    int Subscribe(CupsConnection& connection, bool signals);
    // False when the server refused: it no longer knows the subscription.
    bool Renew(CupsConnection& connection, int subscription, int leaseSeconds);
    // Cancels a subscription; false when the server did not answer.
    bool Cancel(CupsConnection& connection, int& subscription);
    bool CancelBoth(CupsConnection& connection) {
        const bool signals = Cancel(connection, m_signalSubscription);
        return Cancel(connection, m_subscription) && signals;
    }
    enum class Events { Read, NoAnswer, Gone };
    // Reads the new events; `any` tells whether there were some. Gone: the subscription
    // has ended (the server restarted without it, or dropped it).
    Events ReadEvents(CupsConnection& connection, bool& any);
    // An event as the registrations are told of it: its queue's key, its job (0: none),
    // and whether it added, deleted or changed a printer or class.
    struct Event {
        std::string queue;
        std::uint32_t job = 0;
        bool printers = false;
    };
    void Deliver(const std::vector<Event>& events, bool gap);

    std::mutex m_snapshotMutex; // guards the open jobs' listing below
    std::optional<std::map<std::string, std::vector<JobInfo2>>> m_openJobs;
    std::uint64_t m_openJobsDelivered = 0;
    std::chrono::steady_clock::time_point m_openJobsAt;
    std::mutex m_mutex; // guards the members up to m_thread
    std::condition_variable m_wake;
    std::set<Watched*> m_registrations;
    std::uint64_t m_delivered = 0; // deliveries of events so far
    bool m_stop = false;
    bool m_done = false;
    bool m_live = false;  // the subscriptions serve the registrations
    bool m_stale = false; // the subscriptions, if any, belong to registrations that have all gone
    std::thread m_thread;
    const int m_poke;                 // readable when the poller is to look at its registrations again
    std::atomic<bool> m_abort{false}; // the poller's requests give up at once
    // The poller thread's own.
    int m_subscription = 0;
    int m_signalSubscription = 0;
    int m_nextSequence = 1;
    std::unique_ptr<NotifierSignals> m_bus;
};

bool CupsSpooler::Watched::Join() {
    if (fd < 0 || !hub->Usable() || !hub->Add(this)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY, "No thread or descriptor is left to watch the print server with.");
        return false;
    }
    joined = true;
    if (hub->WaitUntilSubscribed()) return true;
    // The server did not take the subscription in time (or the caller gave up): asked again later.
    SetLastError(ERROR_TIMEOUT, "The print server did not answer in time.");
    return false;
}

CupsSpooler::Watched::~Watched() {
    if (joined) hub->Remove(this);
    if (fd >= 0) ::close(fd);
}

bool CupsSpooler::Watched::Take(std::set<std::uint32_t>& named, bool* printersChanged) {
    Drain(fd);
    bool lost = false, changed = false;
    hub->TakeSeen(*this, lost, named, changed);
    if (printersChanged) *printersChanged = changed;
    return lost;
}

JobChanges CupsJobFeed::Take() {
    JobChanges changes;
    const bool discarded = m_watched.Take(changes.jobs, &changes.printers);
    changes.reload = m_first || discarded;
    m_first = false;
    const std::lock_guard<std::mutex> guard(m_mutex);
    changes.jobs.merge(m_incomplete);
    m_incomplete.clear();
    return changes;
}

std::optional<std::vector<JobInfo2>> CupsJobFeed::ReadJobs(const std::set<std::uint32_t>& ids) {
    if (!m_connection) m_connection = CupsConnection::Open("");
    if (!m_connection) return std::nullopt;
    std::set<std::uint32_t> incomplete;
    auto jobs = ids.empty() ? AskForJobs(*m_connection, kServerUri, "not-completed", 0, &incomplete)
                            : AskForJobsById(*m_connection, ids, kServerUri, &incomplete);
    if (!jobs) m_connection.reset(); // a new one next time
    const std::lock_guard<std::mutex> guard(m_mutex);
    m_incomplete.merge(incomplete);
    return jobs;
}

CupsSpooler::NotificationHub::~NotificationHub() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    Poke();
    if (m_thread.joinable()) {
        // The poller cancels the subscriptions on its way out, if the server answers soon;
        // otherwise their leases end them.
        m_wake.wait_for(lock, kCancelBound, [this] { return m_done; });
        m_abort = true;
        lock.unlock();
        m_thread.join();
    }
    if (m_poke >= 0) ::close(m_poke);
}

CupsSpooler::NotificationHub::Woken CupsSpooler::NotificationHub::Pause(std::chrono::milliseconds period) {
    const auto until = std::chrono::steady_clock::now() + period;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_stop) return Woken::Stop;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Woken::Time;
        pollfd ready[2] = {{m_poke, POLLIN, 0}, {m_bus ? m_bus->fd() : -1, POLLIN, 0}};
        const int result = ::poll(ready, 2, static_cast<int>(left.count()) + 1);
        if (result < 0 && errno != EINTR) return Woken::Time;
        if (result <= 0) continue;
        if (ready[0].revents) {
            Drain(m_poke);
            std::lock_guard<std::mutex> guard(m_mutex);
            return m_stop ? Woken::Stop : Woken::Poke;
        }
        if (ready[1].revents) {
            const bool heard = m_bus->Read();
            // A bus that went is looked for again later; until then the poller polls.
            if (!m_bus->Connected()) m_bus.reset();
            if (heard) return Woken::Signal;
        }
    }
}

void CupsSpooler::NotificationHub::Run() {
    const AbortScope abort(m_abort);
    // Nobody is there to ask for a password: a request the server wants one for fails.
    const PasswordScope refuse(nullptr);
    using Clock = std::chrono::steady_clock;
    std::unique_ptr<CupsConnection> connection;
    auto renewAt = Clock::now() + kRenewEvery;
    auto signalRenewAt = Clock::now() + kSignalRenewEvery;
    auto busAt = Clock::now();     // when to look for the system bus
    auto fastUntil = Clock::now(); // polled every kPollInterval until then
    bool heard = false;            // a signal has come since the last poll
    bool failing = false;          // the last round found no server, or no subscription
    bool lost = false;             // a subscription ended while watched: events may have been missed
    bool stale = false;            // the subscriptions are to be cancelled
    auto leaseEnd = Clock::now();
    for (;;) {
        bool wanted;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Nothing to poll for and nothing to cancel: sleep until there is.
            m_wake.wait(
                lock, [this] { return m_stop || !m_registrations.empty() || m_subscription || m_signalSubscription; });
            if (m_stop) break;
            wanted = !m_registrations.empty();
            if (m_stale) {
                m_stale = false;
                lost = false; // the watchers that could have missed events have gone
                if ((m_subscription || m_signalSubscription) && !stale) {
                    stale = true;
                    leaseEnd = Clock::now() + std::chrono::seconds(kLeaseSeconds);
                }
            }
        }
        if (stale) {
            // Cancelled before anything else, also when new registrations came meanwhile:
            // they get subscriptions of their own, whose events start with them. A server
            // that does not answer is asked again until the lease would have ended it.
            if (!connection) connection = CupsConnection::Open("");
            if (connection && CancelBoth(*connection)) {
                stale = false;
            } else {
                connection.reset();
                if (Clock::now() >= leaseEnd) {
                    m_subscription = 0;
                    m_signalSubscription = 0;
                    stale = false;
                } else if (Pause(wanted ? kPollInterval : std::chrono::milliseconds(1000)) == Woken::Stop) {
                    break;
                }
            }
            continue;
        }
        if (!wanted) continue;
        if (!m_bus && Clock::now() >= busAt) {
            m_bus = NotifierSignals::Connect(kBusAnswerMs);
            busAt = Clock::now() + kBusRetry;
        }
        bool failed = false;
        if (!connection) connection = CupsConnection::Open("");
        if (connection && !m_subscription) {
            if ((m_subscription = Subscribe(*connection, false))) {
                m_nextSequence = 1;
                renewAt = Clock::now() + kRenewEvery;
                if (m_bus && !m_signalSubscription) m_signalSubscription = Subscribe(*connection, true);
                signalRenewAt = Clock::now() + kSignalRenewEvery;
                if (lost) Deliver({}, true);
                lost = false;
                SetLive(true);
            } else {
                connection.reset();
            }
        } else if (connection && m_bus && !m_signalSubscription && Clock::now() >= signalRenewAt) {
            // A bus found later, or a server that refused the first time.
            m_signalSubscription = Subscribe(*connection, true);
            signalRenewAt = Clock::now() + kSignalRenewEvery;
        }
        bool any = false;
        const auto polled = Clock::now();
        if (connection && m_subscription) {
            const Events read = ReadEvents(*connection, any);
            if (read == Events::Gone) {
                // Cancelled as well, in case the server only refused to answer for it:
                // no subscription of the monitor's is ever left behind. The signal
                // subscription has gone with the server, or goes now.
                if (!CancelBoth(*connection)) m_subscription = m_signalSubscription = 0;
                SetLive(false);
                lost = true;
            } else if (read == Events::NoAnswer) {
                // The server is busy, stopped or gone: a new connection on the next round.
                connection.reset();
            } else {
                if (Clock::now() >= renewAt) {
                    Renew(*connection, m_subscription, kLeaseSeconds);
                    renewAt = Clock::now() + kRenewEvery;
                }
                if (m_signalSubscription && Clock::now() >= signalRenewAt) {
                    // One the server no longer knows is made again at the next renewal.
                    if (!Renew(*connection, m_signalSubscription, kSignalLeaseSeconds)) m_signalSubscription = 0;
                    signalRenewAt = Clock::now() + kSignalRenewEvery;
                }
            }
        }
        failed = !connection || !m_subscription;
        // Events that no signal announced: the signals are not coming (another program's
        // notifier holds the server's notifier lock, say), so poll often for a while. Not
        // the events found once a server answers again: its notifier may not run yet.
        if (any && !heard && !failing) fastUntil = Clock::now() + kFastPollFor;
        failing = failed;
        const bool signalled = m_bus && m_signalSubscription && Clock::now() >= fastUntil;
        std::chrono::milliseconds period = signalled ? kFallbackPoll : kPollInterval;
        // A server that does not answer or refuses is asked again, not flooded.
        if (failed) period = kRetryAfterFailure;
        heard = false;
        Woken woken = Pause(period);
        heard = woken == Woken::Signal;
        // A burst of signals (or a program that floods the bus with them) costs the server
        // one request per kSignalGap at most: the signals that come meanwhile are merged.
        while (heard && woken != Woken::Stop && Clock::now() < polled + kSignalGap)
            woken = Pause(std::chrono::duration_cast<std::chrono::milliseconds>(polled + kSignalGap - Clock::now()));
        if (woken == Woken::Stop) break;
    }
    // The hub is going: one last try to leave no subscription behind.
    if (m_subscription || m_signalSubscription) {
        if (!connection) connection = CupsConnection::Open("");
        if (connection) CancelBoth(*connection);
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_done = true;
    m_wake.notify_all();
}

bool CupsSpooler::NotificationHub::Renew(CupsConnection& connection, int subscription, int leaseSeconds) {
    ipp_t* renew = NewRequest(IPP_OP_RENEW_SUBSCRIPTION);
    ippAddInteger(renew, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", subscription);
    ippAddInteger(renew, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", leaseSeconds);
    const Ipp answer = connection.Request(renew);
    return !answer || Refusal(answer.get()).empty();
}

bool CupsSpooler::NotificationHub::Cancel(CupsConnection& connection, int& subscription) {
    if (!subscription) return true;
    ipp_t* cancel = NewRequest(IPP_OP_CANCEL_SUBSCRIPTION);
    ippAddInteger(cancel, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", subscription);
    // Any answer ends it: a subscription the server no longer knows is gone as well.
    if (!connection.Request(cancel)) return false;
    subscription = 0;
    return true;
}

int CupsSpooler::NotificationHub::Subscribe(CupsConnection& connection, bool signals) {
    ipp_t* request = NewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    if (signals) ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_URI, "notify-recipient-uri", nullptr, "dbus://");
    else ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "all");
    ippAddInteger(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  signals ? kSignalLeaseSeconds : kLeaseSeconds);
    const Ipp answer = connection.Send(request);
    if (!answer) return 0;
    ipp_attribute_t* id = ippFindAttribute(answer.get(), "notify-subscription-id", IPP_TAG_INTEGER);
    if (!id) {
        SetLastError(ERROR_NOT_SUPPORTED);
        RecordFailure("Create-Printer-Subscriptions", "The server gave no subscription.");
        return 0;
    }
    return ippGetInteger(id, 0);
}

CupsSpooler::NotificationHub::Events CupsSpooler::NotificationHub::ReadEvents(CupsConnection& connection, bool& any) {
    ipp_t* request = NewRequest(IPP_OP_GET_NOTIFICATIONS);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids", m_subscription);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers", m_nextSequence);
    const Ipp answer = connection.Request(request);
    if (!answer) return Events::NoAnswer;
    if (ippGetStatusCode(answer.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        SetLastError(ERROR_INVALID_HANDLE);
        RecordFailure("Get-Notifications", Refusal(answer.get()));
        return Events::Gone;
    }

    std::vector<Event> events;
    bool gap = false;
    int sequence = 0;
    std::string printer;
    std::uint32_t job = 0;
    bool printers = false;
    auto flush = [&] {
        if (sequence) {
            any = true;
            // The server keeps only the last events of a subscription: a jump in the
            // numbers means that some were dropped.
            if (sequence > m_nextSequence) gap = true;
            m_nextSequence = std::max(m_nextSequence, sequence + 1);
            if (!printer.empty()) events.push_back({QueueKey(printer), job, printers});
        }
        sequence = 0;
        printer.clear();
        job = 0;
        printers = false;
    };
    ForEachObject(
        answer.get(), IPP_TAG_EVENT_NOTIFICATION,
        [&](const std::string& name, ipp_attribute_t* attr) {
            if (name == "notify-sequence-number") sequence = ippGetInteger(attr, 0);
            // A server that has started again kept the subscription, but what happened
            // while it was away (jobs it aborted on its way down, say) has no events.
            else if (name == "notify-subscribed-event") {
                const std::string event = TextOf(attr);
                if (event.rfind("server-", 0) == 0 && event != "server-audit") gap = true;
                // The lists of printers change with these (a class is announced as a printer).
                printers = event == "printer-added" || event == "printer-deleted" || event == "printer-modified";
            } else if (name == "printer-name") printer = TextOf(attr);
            else if (name == "notify-printer-uri" && printer.empty()) printer = QueueOfUri(TextOf(attr));
            else if (name == "notify-job-id") job = static_cast<std::uint32_t>(ippGetInteger(attr, 0));
        },
        flush);
    if (!events.empty() || gap) Deliver(events, gap);
    return Events::Read;
}

void CupsSpooler::NotificationHub::Deliver(const std::vector<Event>& events, bool gap) {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_delivered;
    for (Watched* registration : m_registrations) {
        // A printer's registration hears of every event of its queue; a job feed of the
        // events of every job, and of printers that come, go or change.
        bool named = false;
        for (const Event& event : events) {
            if (registration->key.empty()) {
                if (event.printers) named = registration->printers = true;
                if (event.job == 0) continue;
            } else if (event.queue != registration->key) {
                continue;
            }
            named = true;
            if (event.job) registration->jobs.insert(event.job);
        }
        if (gap) registration->discarded = true;
        if (named || gap) Signal(registration->fd);
    }
}

std::unique_ptr<JobFeed> CupsSpooler::WatchJobs() {
    auto feed = std::make_unique<CupsJobFeed>(Hub());
    if (!feed->m_watched.Join()) return nullptr;
    return feed;
}

std::shared_ptr<CupsSpooler::NotificationHub> CupsSpooler::Hub() {
    const std::lock_guard lock(m_watchMutex);
    if (!m_notifications) m_notifications = std::make_shared<NotificationHub>();
    return m_notifications;
}

std::unique_ptr<ChangeNotification>
CupsSpooler::FindFirstPrinterChangeNotification(PrinterHandle& printer, std::uint32_t, const NotifyOptions&) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    // Only the printers of this computer are watched.
    if (!handle.host().empty()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto registration = std::make_unique<CupsChangeNotification>(Hub(), handle.printerName(), handle.queue());
    if (!registration->m_watched.Join()) return nullptr;
    // The jobs open now: one that ends later is reported even when the events that
    // named it were dropped. Without an answer only the events tell.
    if (const auto open = registration->m_watched.hub->OpenJobs(registration->m_watched.key))
        registration->m_ended.Next(*open);
    return registration;
}

bool CupsSpooler::WaitForSingleObject(ChangeNotification& notification, int timeoutMs) {
    pollfd ready{notification.fd(), POLLIN, 0};
    int result;
    while ((result = ::poll(&ready, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (result < 0) SetLastError(ERROR_INVALID_HANDLE);
    else if (result == 0) SetLastError(ERROR_TIMEOUT);
    return result > 0;
}

std::optional<NotifyInfo> CupsSpooler::FindNextPrinterChangeNotification(ChangeNotification& notification,
                                                                         std::uint32_t& change,
                                                                         const NotifyOptions& options) {
    auto& registration = static_cast<CupsChangeNotification&>(notification);
    const bool discarded = registration.m_watched.Take(registration.m_named);
    change = PRINTER_CHANGE_ALL;
    if (discarded) {
        // Events were lost: this block says so only, and the next fetch reports the
        // printer and every job, as a refresh does.
        registration.m_refresh = true;
        NotifyInfo block;
        block.Flags = PRINTER_NOTIFY_INFO_DISCARDED;
        return block;
    }

    // What the events named stays for the next fetch until this one has succeeded.
    const auto connection = CupsConnection::Open("");
    if (!connection) return std::nullopt;
    const std::string uri = PrinterUri(registration.m_queue);
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
    static const char* const kWanted[] = {"printer-state", "printer-state-reasons", "queued-job-count",
                                          "printer-is-shared"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    const Ipp printer = connection->Send(request);
    if (!printer) return std::nullopt;
    std::vector<JobInfo2> jobs;
    if (!registration.m_refresh) {
        // The jobs that events named, open or ended, with how they ended (also a job
        // cancelled before it ever started).
        auto named = AskForJobsById(*connection, registration.m_named);
        if (!named) return std::nullopt;
        jobs = std::move(*named);
        registration.m_ended.Seen(jobs);
        registration.m_named.clear();
    } else {
        // Every open job, and once more every job that has ended since the last fetch.
        // Ended jobs whose end cannot be read now are read by the next fetch.
        std::optional<std::vector<JobInfo2>> open = AskForJobs(*connection, uri, "not-completed", 0);
        if (!open) return std::nullopt;
        std::set<std::uint32_t> ended;
        for (std::uint32_t id : registration.m_ended.Next(*open)) ended.insert(id);
        std::set<std::uint32_t> openIds;
        for (const JobInfo2& job : *open) openIds.insert(job.JobId);
        for (std::uint32_t id : registration.m_named)
            if (!openIds.count(id)) ended.insert(id);
        jobs = std::move(*open);
        registration.m_named.clear();
        if (const auto finished = AskForJobsById(*connection, ended)) {
            jobs.insert(jobs.end(), finished->begin(), finished->end());
        } else {
            registration.m_named = std::move(ended);
        }
        registration.m_refresh = false;
    }

    ipp_attribute_t* state = ippFindAttribute(printer.get(), "printer-state", IPP_TAG_ENUM);
    ipp_attribute_t* reasons = ippFindAttribute(printer.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    ipp_attribute_t* queued = ippFindAttribute(printer.get(), "queued-job-count", IPP_TAG_INTEGER);
    ipp_attribute_t* shared = ippFindAttribute(printer.get(), "printer-is-shared", IPP_TAG_BOOLEAN);
    // The share name as the printer's full record gives it: none for a printer not shared.
    const std::string shareName =
        shared && ippGetBoolean(shared, 0) ? ShareName(*connection, registration.m_queue).value_or("") : std::string();

    NotifyInfo block;
    for (const NotifyOptionsType& type : options.Types) {
        if (type.Type == JOB_NOTIFY_TYPE) {
            for (const JobInfo2& job : jobs) {
                for (std::uint16_t field : type.Fields) {
                    NotifyData record{JOB_NOTIFY_TYPE, field, job.JobId, std::monostate()};
                    switch (field) {
                    case JOB_NOTIFY_FIELD_PRINTER_NAME: record.Data = registration.m_name; break;
                    case JOB_NOTIFY_FIELD_MACHINE_NAME: record.Data = job.pMachineName; break;
                    case JOB_NOTIFY_FIELD_USER_NAME: record.Data = job.pUserName; break;
                    case JOB_NOTIFY_FIELD_DOCUMENT: record.Data = job.pDocument; break;
                    case JOB_NOTIFY_FIELD_STATUS: record.Data = job.Status; break;
                    case JOB_NOTIFY_FIELD_PRIORITY: record.Data = job.Priority; break;
                    case JOB_NOTIFY_FIELD_TOTAL_PAGES: record.Data = job.TotalPages; break;
                    case JOB_NOTIFY_FIELD_PAGES_PRINTED: record.Data = job.PagesPrinted; break;
                    case JOB_NOTIFY_FIELD_TOTAL_BYTES: record.Data = job.Size; break;
                    case JOB_NOTIFY_FIELD_SUBMITTED: record.Data = job.Submitted; break;
                    default: continue; // a field CUPS does not know
                    }
                    block.aData.push_back(std::move(record));
                }
            }
        } else if (type.Type == PRINTER_NOTIFY_TYPE) {
            for (std::uint16_t field : type.Fields) {
                NotifyData record{PRINTER_NOTIFY_TYPE, field, 0, std::monostate()};
                switch (field) {
                case PRINTER_NOTIFY_FIELD_STATUS:
                    record.Data = PrinterStatus(state ? ippGetInteger(state, 0) : IPP_PSTATE_IDLE, reasons);
                    break;
                case PRINTER_NOTIFY_FIELD_CJOBS:
                    record.Data = static_cast<std::uint32_t>(queued ? ippGetInteger(queued, 0) : 0);
                    break;
                case PRINTER_NOTIFY_FIELD_PRINTER_NAME: record.Data = registration.m_name; break;
                // A printer of this computer has no server name.
                case PRINTER_NOTIFY_FIELD_SERVER_NAME: record.Data = std::string(); break;
                case PRINTER_NOTIFY_FIELD_SHARE_NAME: record.Data = shareName; break;
                default: continue;
                }
                block.aData.push_back(std::move(record));
            }
        }
    }
    return block;
}

} // namespace quill::spooler
