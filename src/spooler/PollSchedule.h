#pragma once

#include <chrono>
#include <optional>

namespace quill::spooler {

// When the notification poller asks the server for events, renews its subscriptions and
// looks for the system bus. The poller tells it what happened (a poll and its outcome, a
// signal, a poke, the bus going, a subscription made or to be cancelled) with the time it
// happened, and asks it what is due; it reads no clock and talks to no server itself.
//
// The cadence: with the server's signals heard, a poll every 5 s in case one went
// missing; after a poll found events that no signal announced (another program's
// notifier holds the server's one notifier lock, say), every 100 ms for a minute; without
// signals (no bus, or no signal subscription) every 100 ms; after a poll that failed, 1 s
// later. A signal asks for a poll at once, but two polls that signals ask for are 10 ms
// apart at least, so a burst of signals costs one poll.
class PollSchedule {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Milliseconds = std::chrono::milliseconds;

    static constexpr Milliseconds kFastPoll{100};
    static constexpr Milliseconds kFastPollFor{60000};
    static constexpr Milliseconds kFallbackPoll{5000};
    static constexpr Milliseconds kSignalGap{10};
    static constexpr Milliseconds kRetryAfterFailure{1000};
    // The pull subscription's lease, and its renewal well before its end so that a busy
    // server does not end it first.
    static constexpr int kLeaseSeconds = 120;
    static constexpr Milliseconds kRenewEvery{40000};
    // The signal subscription costs the server a notifier process only: renewed rarely.
    static constexpr int kSignalLeaseSeconds = 600;
    static constexpr Milliseconds kSignalRenewEvery{200000};
    // A system bus that is missing or went is looked for again after this.
    static constexpr Milliseconds kBusRetry{60000};

    explicit PollSchedule(Time now);

    // The system bus: whether to look for it now (while none is connected), and that it
    // was looked for, and found or not. A bus found makes the signal subscription due.
    bool BusDue(Time now) const { return now >= m_busAt; }
    void BusLookedFor(Time now, bool found);

    // The pull subscription was made, or renewed: its next renewal.
    void Subscribed(Time now) { m_renewAt = now + kRenewEvery; }
    bool RenewDue(Time now) const { return now >= m_renewAt; }
    // The signal subscription was made, renewed, or asked for in vain: the next renewal,
    // or the next try to make it.
    void SignalSubscribed(Time now) { m_signalRenewAt = now + kSignalRenewEvery; }
    bool SignalRenewDue(Time now) const { return now >= m_signalRenewAt; }

    // A poll asked at `polled` ended at `now`: it failed (no server, or no subscription),
    // or it was answered, with or without events (`events`). `signals`: signals can come
    // (a bus and a signal subscription). Sets the next poll.
    void Polled(Time polled, Time now, bool failed, bool events, bool signals);
    // While waiting for the next poll: a signal of the server's notifier came, the poller
    // was poked (a registration came or went), or the bus went (no signal comes any more).
    void Signal(Time now);
    void Poked(Time now);
    void BusGone(Time now) { Poked(now); }
    // When the next poll is due.
    Time NextPoll() const { return m_nextPoll; }

    // The subscriptions are to be cancelled (their registrations have all gone); a
    // server that does not answer is asked again until their lease would have ended them.
    void CancelWanted(Time now);
    bool Cancelling() const { return m_cancelling; }
    // They were cancelled.
    void Cancelled() { m_cancelling = false; }
    // The server did not answer the cancel at `now`: when to ask again (soon while new
    // registrations wait, `wanted`), or nullopt when the lease has ended them anyway.
    std::optional<Time> CancelFailed(Time now, bool wanted);

private:
    Time m_renewAt;
    Time m_signalRenewAt;
    Time m_busAt;
    Time m_fastUntil;          // polled every kFastPoll until then
    Time m_polled;             // when the last poll was asked
    Time m_nextPoll;           // when the next poll is due
    bool m_heard = false;      // a signal came since the last poll
    bool m_failing = false;    // the last poll failed
    bool m_cancelling = false; // the subscriptions are to be cancelled
    Time m_leaseEnd;           // ... and end on their own then
};

} // namespace quill::spooler
