#include "spooler/PollSchedule.h"

#include <algorithm>

namespace quill::spooler {

PollSchedule::PollSchedule(Time now)
    : m_renewAt(now + kRenewEvery), m_signalRenewAt(now + kSignalRenewEvery), m_busAt(now), m_fastUntil(now),
      m_polled(now), m_nextPoll(now), m_leaseEnd(now) {}

void PollSchedule::BusLookedFor(Time now, bool found) {
    m_busAt = now + kBusRetry;
    // A bus that comes after the subscriptions were made is used at once, not only at the
    // next renewal of a signal subscription that was never made.
    if (found) m_signalRenewAt = std::min(m_signalRenewAt, now);
}

void PollSchedule::Polled(Time polled, Time now, bool failed, bool events, bool signals) {
    // Events that no signal announced: the signals are not coming, so poll often for a
    // while. Not the events found once a server answers again: its notifier may not run yet.
    if (events && !m_heard && !m_failing) m_fastUntil = now + kFastPollFor;
    m_failing = failed;
    m_heard = false;
    m_polled = polled;
    Milliseconds period = signals && now >= m_fastUntil ? kFallbackPoll : kFastPoll;
    // A server that does not answer or refuses is asked again, not flooded.
    if (failed) period = kRetryAfterFailure;
    m_nextPoll = now + period;
}

void PollSchedule::Signal(Time now) {
    // The signals that come until then are merged into the one poll.
    m_heard = true;
    m_nextPoll = std::min(m_nextPoll, std::max(now, m_polled + kSignalGap));
}

void PollSchedule::Poked(Time now) {
    // While signals wait out the gap, the poll they asked for serves the poke too.
    if (!m_heard) m_nextPoll = std::min(m_nextPoll, now);
}

void PollSchedule::CancelWanted(Time now) {
    if (m_cancelling) return;
    m_cancelling = true;
    m_leaseEnd = now + std::chrono::seconds(kLeaseSeconds);
}

std::optional<PollSchedule::Time> PollSchedule::CancelFailed(Time now, bool wanted) {
    if (now >= m_leaseEnd) {
        m_cancelling = false;
        return std::nullopt;
    }
    return now + (wanted ? kFastPoll : kRetryAfterFailure);
}

} // namespace quill::spooler
