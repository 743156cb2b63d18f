#include "spooler/NotificationHub.h"

#include "spooler/CupsConnection.h"
#include "spooler/CupsJobQueries.h"
#include "spooler/LastError.h"
#include "spooler/NotifierSignals.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <system_error>

namespace quill::spooler {
namespace {

constexpr int kBusAnswerMs = 1000;
// How long one listing of the open jobs serves registrations made together, at most.
constexpr std::chrono::seconds kSnapshotFor{2};
// How long a spooler that goes waits for its poller to cancel the subscriptions.
constexpr std::chrono::milliseconds kCancelBound{1000};

void Signal(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(fd, &count, sizeof count);
}

} // namespace

std::string QueueKey(std::string queue) {
    std::transform(queue.begin(), queue.end(), queue.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return queue;
}

CupsSpooler::Watched::Watched(std::shared_ptr<NotificationHub> watchedBy, std::string queueKey)
    : key(std::move(queueKey)), fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), hub(std::move(watchedBy)) {}

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

std::shared_ptr<CupsSpooler::NotificationHub> CupsSpooler::Hub() {
    const std::lock_guard lock(m_watchMutex);
    if (!m_notifications) m_notifications = std::make_shared<NotificationHub>();
    return m_notifications;
}

CupsSpooler::NotificationHub::NotificationHub() : m_poke(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

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

bool CupsSpooler::NotificationHub::Add(Watched* registration) {
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

bool CupsSpooler::NotificationHub::WaitUntilSubscribed() {
    const auto until = Clock::now() + CupsConnection::kAnswerTimeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_live && !AbortScope::Requested() && Clock::now() < until) m_wake.wait_for(lock, PollSchedule::kFastPoll);
    return m_live;
}

void CupsSpooler::NotificationHub::Remove(Watched* registration) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_registrations.erase(registration);
    if (m_registrations.empty()) {
        // The subscriptions go with the last registration; a later one waits for its own.
        m_stale = true;
        m_live = false;
    }
    Poke();
}

std::optional<std::vector<JobInfo2>> CupsSpooler::NotificationHub::OpenJobs(const std::string& key) {
    std::unique_lock<std::mutex> lock(m_snapshotMutex);
    std::uint64_t delivered;
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        delivered = m_delivered;
    }
    const auto now = Clock::now();
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

void CupsSpooler::NotificationHub::TakeSeen(Watched& registration, bool& discarded, std::set<std::uint32_t>& jobs,
                                            bool& printers) {
    std::lock_guard<std::mutex> guard(m_mutex);
    discarded = registration.discarded;
    registration.discarded = false;
    printers = registration.printers;
    registration.printers = false;
    jobs.merge(registration.jobs);
    registration.jobs.clear();
}

void CupsSpooler::NotificationHub::Poke() {
    m_wake.notify_all();
    Signal(m_poke);
}

void CupsSpooler::NotificationHub::SetLive(bool live) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_live = live;
    m_wake.notify_all();
}

bool CupsSpooler::NotificationHub::CancelBoth(CupsConnection& connection) {
    const bool signals = Cancel(connection, m_signalSubscription);
    return Cancel(connection, m_subscription) && signals;
}

CupsSpooler::NotificationHub::Woken CupsSpooler::NotificationHub::Pause(Clock::time_point until) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_stop) return Woken::Stop;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
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
            if (heard) {
                if (!m_bus->Connected()) m_bus.reset();
                return Woken::Signal;
            }
            // A bus that went is looked for again later; until then the poller polls, from now.
            if (!m_bus->Connected()) {
                m_bus.reset();
                return Woken::BusGone;
            }
        }
    }
}

bool CupsSpooler::NotificationHub::WaitForPoll(PollSchedule& schedule) {
    for (;;) {
        switch (Pause(schedule.NextPoll())) {
        case Woken::Stop: return false;
        case Woken::Time: return true;
        case Woken::Poke: schedule.Poked(Clock::now()); break;
        case Woken::Signal: schedule.Signal(Clock::now()); break;
        case Woken::BusGone: schedule.BusGone(Clock::now()); break;
        }
    }
}

void CupsSpooler::NotificationHub::Run() {
    const AbortScope abort(m_abort);
    // Nobody is there to ask for a password: a request the server wants one for fails.
    const PasswordScope refuse(nullptr);
    std::unique_ptr<CupsConnection> connection;
    PollSchedule schedule(Clock::now());
    bool lost = false; // a subscription ended while watched: events may have been missed
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
                if (m_subscription || m_signalSubscription) schedule.CancelWanted(Clock::now());
            }
        }
        if (schedule.Cancelling()) {
            // Cancelled before anything else, also when new registrations came meanwhile:
            // they get subscriptions of their own, whose events start with them. A server
            // that does not answer is asked again until the lease would have ended it.
            if (!connection) connection = CupsConnection::Open("");
            if (connection && CancelBoth(*connection)) {
                schedule.Cancelled();
            } else {
                connection.reset();
                if (const auto again = schedule.CancelFailed(Clock::now(), wanted)) {
                    if (Pause(*again) == Woken::Stop) break;
                } else {
                    m_subscription = 0;
                    m_signalSubscription = 0;
                }
            }
            continue;
        }
        if (!wanted) continue;
        if (!m_bus && schedule.BusDue(Clock::now())) {
            m_bus = NotifierSignals::Connect(kBusAnswerMs);
            schedule.BusLookedFor(Clock::now(), m_bus != nullptr);
        }
        if (!connection) connection = CupsConnection::Open("");
        if (connection && !m_subscription) {
            if ((m_subscription = Subscribe(*connection, false))) {
                m_nextSequence = 1;
                schedule.Subscribed(Clock::now());
                if (m_bus && !m_signalSubscription) m_signalSubscription = Subscribe(*connection, true);
                schedule.SignalSubscribed(Clock::now());
                if (lost) Deliver({}, true);
                lost = false;
                SetLive(true);
            } else {
                connection.reset();
            }
        } else if (connection && m_bus && !m_signalSubscription && schedule.SignalRenewDue(Clock::now())) {
            // A bus found later, or a server that refused the first time.
            m_signalSubscription = Subscribe(*connection, true);
            schedule.SignalSubscribed(Clock::now());
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
                if (schedule.RenewDue(Clock::now())) {
                    Renew(*connection, m_subscription, PollSchedule::kLeaseSeconds);
                    schedule.Subscribed(Clock::now());
                }
                if (m_signalSubscription && schedule.SignalRenewDue(Clock::now())) {
                    // One the server no longer knows is made again at the next renewal.
                    if (!Renew(*connection, m_signalSubscription, PollSchedule::kSignalLeaseSeconds))
                        m_signalSubscription = 0;
                    schedule.SignalSubscribed(Clock::now());
                }
            }
        }
        const bool failed = !connection || !m_subscription;
        schedule.Polled(polled, Clock::now(), failed, any, m_bus && m_signalSubscription);
        if (!WaitForPoll(schedule)) break;
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
                  signals ? PollSchedule::kSignalLeaseSeconds : PollSchedule::kLeaseSeconds);
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

} // namespace quill::spooler
