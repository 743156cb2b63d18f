#pragma once

// Change notifications on CUPS. All registrations share one server-wide pull
// subscription (ippget, every event): a subscription on one queue misses the cancel of
// a job that never started, and the server allows only a few subscriptions. Its events
// and their sequence numbers say what changed and whether events were lost. One poller
// thread asks for new events when CUPS' D-Bus notifier signals that something happened
// (a second subscription, dbus://, makes the server send them), and else in case a signal
// went missing: another program's notifier may hold the one notifier lock of the server,
// and then none of ours are sent (PollSchedule.h says when). Each registration's
// descriptor becomes readable when an event names its printer (a job feed's on every job
// event).
#include "spooler/CupsSpooler.h"
#include "spooler/PollSchedule.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quill::spooler {

class CupsConnection;
class NotifierSignals;

// CUPS compares queue names ignoring case: the key that events and registrations are
// matched by.
std::string QueueKey(std::string queue);

// One registration at the poller: its descriptor becomes readable when an event names
// its queue (any queue when the key is empty). It leaves the hub when it goes.
struct CupsSpooler::Watched {
    Watched(std::shared_ptr<NotificationHub> watchedBy, std::string queueKey);
    ~Watched();
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;
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

// The one poller of a spooler's registrations. Its thread is started with the first
// registration and lives until the hub goes, which stops and joins it: a poller never
// runs beside another on the same subscription. While no registration is left it
// cancels the subscriptions and then sleeps without polling; a registration that comes
// meanwhile is served by the same thread, on new subscriptions.
class CupsSpooler::NotificationHub {
public:
    NotificationHub();
    ~NotificationHub();
    NotificationHub(const NotificationHub&) = delete;
    NotificationHub& operator=(const NotificationHub&) = delete;
    bool Usable() const { return m_poke >= 0; }
    // False when the poller's thread could not be started.
    bool Add(Watched* registration);
    // Waits until the subscriptions that serve the registrations are in place, so that
    // every change from now on is seen; gives up after the bounded request time, or at
    // once when the calling thread's requests are to give up. Whether they are in place.
    bool WaitUntilSubscribed();
    void Remove(Watched* registration);
    // The jobs open now on a queue (by its key), from one listing of every queue's jobs that
    // registrations made together share: it stays exact while no event has come since it
    // was read, as the events tell every change after it. nullopt when it cannot be read.
    std::optional<std::vector<JobInfo2>> OpenJobs(const std::string& key);
    // What the poller saw for a registration since the last call; cleared.
    void TakeSeen(Watched& registration, bool& discarded, std::set<std::uint32_t>& jobs, bool& printers);

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    // Wakes the poller (the caller holds the mutex).
    void Poke();
    enum class Woken { Stop, Time, Poke, Signal, BusGone };
    // Sleeps until `until`, or until a signal of the server's notifier comes, the bus goes
    // or the poller is poked.
    Woken Pause(Clock::time_point until);
    // Sleeps until the schedule's next poll, telling it of what wakes the poller
    // meanwhile; false when the hub is going.
    bool WaitForPoll(PollSchedule& schedule);
    void SetLive(bool live);
    // A new server-wide subscription to every event, read with Get-Notifications or
    // (signals) signalled on the system bus; its id, 0 when the server made none.
    int Subscribe(CupsConnection& connection, bool signals);
    // False when the server refused: it no longer knows the subscription.
    bool Renew(CupsConnection& connection, int subscription, int leaseSeconds);
    // Cancels a subscription; false when the server did not answer.
    bool Cancel(CupsConnection& connection, int& subscription);
    bool CancelBoth(CupsConnection& connection);
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

} // namespace quill::spooler
