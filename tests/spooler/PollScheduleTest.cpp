// The notification poller's cadence on a fake clock, in milliseconds from its start.
#include "spooler/PollSchedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quill::spooler {
namespace {

using Time = PollSchedule::Time;

Time At(int ms) { return Time{} + std::chrono::milliseconds(ms); }
long long Ms(Time time) { return std::chrono::duration_cast<std::chrono::milliseconds>(time - Time{}).count(); }

enum class Step {
    Quiet,   // a poll answered without events
    Events,  // a poll answered with events
    Failed,  // a poll the server did not answer
    Signal,  // a signal of the server's notifier
    Poke,    // a registration came or went
    BusGone, // the system bus went
    BusBack, // the bus and a signal subscription are back (for the polls from now on)
};

struct Happening {
    int at;
    Step step;
    int nextPoll; // expected after it
};

struct Cadence {
    const char* name;
    bool signals; // a bus and a signal subscription at the start
    std::vector<Happening> happenings;
};

TEST(PollSchedule, PollsFollowTheCadenceTable) {
    const Cadence kTable[] = {
        {"signals heard: a fallback poll every 5 s", true, {{0, Step::Quiet, 5000}, {5000, Step::Quiet, 10000}}},
        {"a signal asks for a poll at once; the events it announced keep the slow cadence",
         true,
         {{0, Step::Quiet, 5000}, {2000, Step::Signal, 2000}, {2000, Step::Events, 7000}}},
        {"signals within 10 ms of a poll make one poll 10 ms after it; a poke meanwhile waits with them",
         true,
         {{0, Step::Quiet, 5000},
          {3, Step::Signal, 10},
          {6, Step::Signal, 10},
          {8, Step::Poke, 10},
          {10, Step::Events, 5010}}},
        {"events no signal announced: every 100 ms for a minute, then 5 s again",
         true,
         {{0, Step::Quiet, 5000},
          {5000, Step::Events, 5100},
          {5100, Step::Quiet, 5200},
          {64900, Step::Quiet, 65000},
          {65000, Step::Quiet, 70000}}},
        {"unannounced events found while polling fast make the minute start again",
         true,
         {{0, Step::Quiet, 5000},
          {5000, Step::Events, 5100},
          {30000, Step::Events, 30100},
          {89900, Step::Quiet, 90000},
          {90000, Step::Quiet, 95000}}},
        {"a failed poll is retried after 1 s; the events found when the server answers again are not unannounced",
         true,
         {{0, Step::Failed, 1000}, {1000, Step::Events, 6000}, {6000, Step::Events, 6100}}},
        {"a failed poll while polling fast is retried after 1 s, then the fast polls go on",
         true,
         {{0, Step::Events, 100}, {100, Step::Failed, 1100}, {1100, Step::Quiet, 1200}}},
        {"without signals: every 100 ms, 1 s after a failure",
         false,
         {{0, Step::Quiet, 100}, {100, Step::Failed, 1100}, {1100, Step::Quiet, 1200}, {1200, Step::Events, 1300}}},
        {"a poke asks for a poll at once", true, {{0, Step::Quiet, 5000}, {1500, Step::Poke, 1500}}},
        {"the bus going ends the fallback wait, then every 100 ms until it is back",
         true,
         {{0, Step::Quiet, 5000},
          {1200, Step::BusGone, 1200},
          {1200, Step::Quiet, 1300},
          {1300, Step::BusBack, 1300},
          {1300, Step::Quiet, 6300}}},
    };
    for (const Cadence& row : kTable) {
        PollSchedule schedule(At(0));
        bool signals = row.signals;
        for (const Happening& happening : row.happenings) {
            const Time now = At(happening.at);
            switch (happening.step) {
            case Step::Quiet:
            case Step::Events:
            case Step::Failed:
                schedule.Polled(now, now, happening.step == Step::Failed, happening.step == Step::Events, signals);
                break;
            case Step::Signal: schedule.Signal(now); break;
            case Step::Poke: schedule.Poked(now); break;
            case Step::BusGone:
                signals = false;
                schedule.BusGone(now);
                break;
            case Step::BusBack: signals = true; break;
            }
            EXPECT_EQ(Ms(schedule.NextPoll()), happening.nextPoll) << row.name << ", at " << happening.at;
        }
    }
}

TEST(PollSchedule, ASlowPollKeepsTheSignalGapFromItsStartAndItsPeriodFromItsEnd) {
    PollSchedule schedule(At(0));
    schedule.Polled(At(1000), At(1008), false, false, true);
    EXPECT_EQ(Ms(schedule.NextPoll()), 6008);
    schedule.Signal(At(1009));
    EXPECT_EQ(Ms(schedule.NextPoll()), 1010);
}

TEST(PollSchedule, RenewalsAndLooksForTheBusComeAtTheirTimes) {
    PollSchedule schedule(At(0));
    EXPECT_TRUE(schedule.BusDue(At(0)));
    schedule.BusLookedFor(At(500), false);
    schedule.Subscribed(At(1000));
    schedule.SignalSubscribed(At(1000));
    const struct {
        int at;
        bool bus, renew, signalRenew;
    } kDue[] = {
        {40999, false, false, false}, {41000, false, true, false}, {60499, false, true, false},
        {60500, true, true, false},   {200999, true, true, false}, {201000, true, true, true},
    };
    for (const auto& due : kDue) {
        EXPECT_EQ(schedule.BusDue(At(due.at)), due.bus) << due.at;
        EXPECT_EQ(schedule.RenewDue(At(due.at)), due.renew) << due.at;
        EXPECT_EQ(schedule.SignalRenewDue(At(due.at)), due.signalRenew) << due.at;
    }
    schedule.Subscribed(At(41000));
    EXPECT_FALSE(schedule.RenewDue(At(80999)));
    EXPECT_TRUE(schedule.RenewDue(At(81000)));
    // A bus found after the subscriptions were made: the signal subscription is made at once.
    schedule.SignalSubscribed(At(201000));
    schedule.BusLookedFor(At(261000), true);
    EXPECT_TRUE(schedule.SignalRenewDue(At(261000)));
    EXPECT_FALSE(schedule.BusDue(At(320999)));
}

TEST(PollSchedule, AnUnansweredCancelIsAskedAgainUntilTheLeaseWouldHaveEndedIt) {
    PollSchedule schedule(At(0));
    schedule.CancelWanted(At(0));
    EXPECT_TRUE(schedule.Cancelling());
    // Soon while new registrations wait for their own subscriptions, else once a second.
    EXPECT_EQ(schedule.CancelFailed(At(500), true), std::optional<Time>(At(600)));
    EXPECT_EQ(schedule.CancelFailed(At(500), false), std::optional<Time>(At(1500)));
    // Asked again meanwhile: the lease still ends 120 s after the first time.
    schedule.CancelWanted(At(60000));
    EXPECT_EQ(schedule.CancelFailed(At(119999), false), std::optional<Time>(At(120999)));
    EXPECT_TRUE(schedule.Cancelling());
    EXPECT_EQ(schedule.CancelFailed(At(120000), false), std::nullopt);
    EXPECT_FALSE(schedule.Cancelling());
    // A later set of subscriptions has a lease of its own.
    schedule.CancelWanted(At(200000));
    EXPECT_EQ(schedule.CancelFailed(At(319999), false), std::optional<Time>(At(320999)));
    schedule.Cancelled();
    EXPECT_FALSE(schedule.Cancelling());
}

} // namespace
} // namespace quill::spooler
