// The monitor's start, watchers and stop on the real spooler against a private cupsd,
// without a window: the lines the log would show.
#include "monitor/Monitor.h"

#include "CapturedWindow.h"
#include "CupsSandbox.h"
#include "spooler/CupsSpooler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quill::monitor {
namespace {

using namespace std::chrono_literals;
using test::CupsTest;

class WatchersCupsTest : public CupsTest {
protected:
    void SetUp() override {
        CupsTest::SetUp();
        if (IsSkipped()) return;
        s_cups->AddQueue("Laser_1");
    }
    void TearDown() override {

        if (!m_monitor.ThreadBuffer().empty()) m_monitor.FInitnotificationThreads();
        m_monitor.JoinWatcherThreads(5s);
    }

    // Starts the monitor and waits until the watcher of Laser_1 runs.
    void Start(CapturedWindow& window) {
        const std::size_t mark = window.lines().size();
        ASSERT_TRUE(m_monitor.InitNotificationThreads(m_spooler));
        ASSERT_TRUE(WaitForLine(window, "[*] [T] Starting notification loop [Laser_1].", mark));
    }
    // Waits until a line from `from` on holds text.
    static bool WaitForLine(const CapturedWindow& window, const std::string& text, std::size_t from,
                            std::chrono::milliseconds bound = 10s) {
        return CapturedWindow::waitFor([&] { return Count(window, text, from) > 0; }, bound);
    }
    // The lines from `from` on that hold text.
    static std::size_t Count(const CapturedWindow& window, const std::string& text, std::size_t from = 0) {
        const std::vector<std::string> lines = window.lines();
        return static_cast<std::size_t>(
            std::count_if(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end(),
                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    // Submits held jobs titled prefix1 ... prefixN in one go.
    static void SubmitHeld(const std::string& prefix, int count) {
        s_cups->Run("for i in $(seq " + std::to_string(count) + "); do echo x | lp -d Laser_1 -H hold -t " + prefix +
                    "$i >/dev/null; done");
    }

    std::shared_ptr<spooler::CupsSpooler> m_spooler = std::make_shared<spooler::CupsSpooler>();
    Monitor m_monitor;
};

TEST_F(WatchersCupsTest, OneSpoolerReopenedAcrossARestartKeepsOneSubscriptionAndLogsNoDiscard) {
    CapturedWindow window;
    Start(window);
    // Closed while the server is down: the subscription cannot be cancelled then.
    s_cups->Stop();
    EXPECT_TRUE(m_monitor.FInitnotificationThreads());
    s_cups->Start();
    Start(window);
    const std::size_t mark = window.lines().size();
    s_cups->SubmitJob("Laser_1", "after", true);
    EXPECT_TRUE(WaitForLine(window, "JOB_STATUS_PAUSED", mark));
    // Long enough for an earlier poller's retry to come.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(s_cups->Subscriptions(true), 1);
    EXPECT_EQ(Count(window, "PRINTER_NOTIFY_INFO_DISCARDED"), 0u);
    s_cups->Run("cancel -a Laser_1");
    EXPECT_TRUE(WaitForLine(window, "JOB_STATUS_DELETED", mark));
    EXPECT_TRUE(m_monitor.FInitnotificationThreads());
    EXPECT_TRUE(CapturedWindow::waitFor([] { return s_cups->Subscriptions() == 0; }, 5s));
}

TEST_F(WatchersCupsTest, NewJobsOnABusyQueueReportOnlyThoseJobs) {
    SubmitHeld("waiting", 300);
    CapturedWindow window;
    Start(window);
    const std::size_t mark = window.lines().size();
    SubmitHeld("new", 5);
    EXPECT_TRUE(WaitForLine(window, "PRINTER_NOTIFY_FIELD_CJOBS: 305", mark));
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(WaitForLine(window, "\"new" + std::to_string(i) + "\"", mark)) << "new" << i;
    std::this_thread::sleep_for(500ms); // the events still on their way
    // Each new job is reported for the few events that named it; none of the waiting ones.
    EXPECT_EQ(Count(window, "\"waiting", mark), 0u);
    EXPECT_LE(Count(window, "JOB_NOTIFY_FIELD_DOCUMENT", mark), 20u);
    s_cups->Run("cancel -a Laser_1");
}

TEST_F(WatchersCupsTest, CancellingMoreJobsThanTheServerKeepsEventsForReportsTheEndOfEach) {
    // One cancel of them all makes more events than the server keeps: the watcher is
    // told that some were dropped and still reports every job's end.
    constexpr int kJobs = 120;
    SubmitHeld("job", kJobs);
    CapturedWindow window;
    Start(window);
    const std::size_t mark = window.lines().size();
    s_cups->Run("cancel -a Laser_1");
    EXPECT_TRUE(CapturedWindow::waitFor([&] { return Count(window, "JOB_STATUS_DELETED", mark) >= kJobs; }, 10s));
    for (int i = 1; i <= kJobs; ++i)
        EXPECT_GT(Count(window, "\"job" + std::to_string(i) + "\"", mark), 0u) << "job" << i;
    EXPECT_GE(Count(window, "PRINTER_NOTIFY_INFO_DISCARDED", mark), 1u);
}

TEST_F(WatchersCupsTest, ShareAndMachineNamesAreThoseOfTheSpoolersRecords) {
    struct Case {
        bool shared;
        std::string shareClass; // a one-member class that shares the printer
        std::string shareName;
    };
    const Case cases[] = {{false, "", ""}, {true, "", "Laser_1"}, {true, "Front_Desk", "Front_Desk"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shareName);
        s_cups->DeleteAllQueues();
        s_cups->AddQueue("Laser_1");
        s_cups->SetShared("Laser_1", c.shared);
        if (!c.shareClass.empty()) s_cups->AddClass(c.shareClass, "Laser_1");
        CapturedWindow window;
        Start(window);
        const std::size_t mark = window.lines().size();
        const int job = s_cups->SubmitJob("Laser_1", "named", true);
        EXPECT_TRUE(WaitForLine(window, "JOB_NOTIFY_FIELD_MACHINE_NAME", mark));

        // The same values as the printer's full record and the job's record.
        const auto printer = m_spooler->OpenPrinterA("Laser_1");
        ASSERT_TRUE(printer);
        const auto record = m_spooler->GetPrinterA(*printer);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->pShareName, c.shareName);
        const auto jobs = m_spooler->EnumJobsA(*printer);
        ASSERT_TRUE(jobs);
        const auto it = std::find_if(jobs->begin(), jobs->end(),
                                     [&](const spooler::JobInfo2& j) { return j.JobId == static_cast<unsigned>(job); });
        ASSERT_NE(it, jobs->end());
        EXPECT_EQ(
            Count(window, "PRINTER_NOTIFY_FIELD_SHARE_NAME: NotifyData.Data.pbuf = \"" + c.shareName + "\"", mark),
            Count(window, "PRINTER_NOTIFY_FIELD_SHARE_NAME", mark));
        EXPECT_GT(
            Count(window, "JOB_NOTIFY_FIELD_MACHINE_NAME: NotifyData.Data.pbuf = \"" + it->pMachineName + "\"", mark),
            0u);
        EXPECT_NE(it->pMachineName, "localhost");
        EXPECT_TRUE(m_monitor.FInitnotificationThreads());
    }
}

} // namespace
} // namespace quill::monitor
