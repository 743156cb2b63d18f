#include "monitor/MonitorDialog.h"

#include "CupsSandbox.h"
#include "StoppedServer.h"
#include "monitor/ActivityLog.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <cups/cups.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quill::monitor {
namespace {

using test::CupsTest;

// The window against the private cupsd, with the real spooler.
class MonitorCupsTest : public CupsTest {
protected:
    void SetUp() override {
        CupsTest::SetUp();
        if (IsSkipped()) return;
        s_cups->AddQueue("Laser_1");
    }

    // A window whose watcher has started (the log already holds the lines of earlier ones).
    std::unique_ptr<MonitorDialog> Open() {
        static const std::string kStarted = "[*] [T] Starting notification loop [Laser_1].";
        const auto started = [] {
            const std::string log = LogText();
            std::size_t count = 0;
            for (auto at = log.find(kStarted); at != std::string::npos; at = log.find(kStarted, at + 1)) ++count;
            return count;
        };
        const std::size_t before = started();
        auto window = std::make_unique<MonitorDialog>(std::make_shared<spooler::CupsSpooler>());
        window->show();
        window->Start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return started() > before; }, 15000));
        return window;
    }
    // The text box's text from character `from` on.
    static QString After(const MonitorDialog& window, qsizetype from) {
        return window.TextBox->toPlainText().mid(from);
    }
    static qsizetype Mark(const MonitorDialog& window) { return window.TextBox->toPlainText().size(); }
    // Waits until the text after `from` holds the line; the bound is generous, since this
    // is no speed test (the benchmark measures the delay).
    static bool WaitFor(const MonitorDialog& window, const QString& text, qsizetype from, int timeoutMs = 15000) {
        return QTest::qWaitFor([&] { return After(window, from).contains(text); }, timeoutMs);
    }
    // Ends a window as the close button does and waits until it has gone; false when
    // that took longer than the pause and a bounded request.
    static bool CloseWithin(MonitorDialog& window, int timeoutMs) {
        QElapsedTimer closing;
        closing.start();
        window.close();
        return QTest::qWaitFor([&] { return !window.isVisible(); }, timeoutMs) && closing.elapsed() <= timeoutMs;
    }
};

TEST_F(MonitorCupsTest, JobAndPrinterChangesAppearAsLinesAsTheyHappen) {
    auto window = Open();
    qsizetype mark = Mark(*window);
    const int held = s_cups->SubmitJob("Laser_1", "held", true);
    EXPECT_TRUE(WaitFor(*window, "[*] [T] ----->>> Got notification event [Laser_1]", mark));
    EXPECT_TRUE(WaitFor(*window, "[*] [T] JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PAUSED )", mark));
    EXPECT_TRUE(WaitFor(*window, "[*] [T] JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"quill-test\"", mark));
    EXPECT_TRUE(WaitFor(*window, "[*] [T] PRINTER_NOTIFY_FIELD_CJOBS: 1", mark));

    mark = Mark(*window);
    s_cups->Run("lp -i " + std::to_string(held) + " -H resume");
    EXPECT_TRUE(WaitFor(*window, "JOB_STATUS_PRINTED", mark, 10000)); // released, printed, completed

    mark = Mark(*window);
    s_cups->Run("cupsdisable Laser_1");
    EXPECT_TRUE(WaitFor(*window, "[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_PAUSED )", mark));

    // A job that never starts, cancelled: its end is still seen.
    mark = Mark(*window);
    const int pending = s_cups->SubmitJob("Laser_1", "pending", false);
    EXPECT_TRUE(WaitFor(*window, "[*] [T] JOB_NOTIFY_FIELD_STATUS = ()", mark));
    mark = Mark(*window);
    s_cups->Run("cancel " + std::to_string(pending));
    EXPECT_TRUE(WaitFor(*window, "JOB_STATUS_DELETED", mark));

    mark = Mark(*window);
    s_cups->Run("cupsenable Laser_1");
    EXPECT_TRUE(WaitFor(*window, "[*] [T] PRINTER_NOTIFY_FIELD_STATUS = ()", mark));
    // A job submitted and cancelled between two looks of the watcher is seen as well.
    mark = Mark(*window);
    const int quick = s_cups->SubmitJob("Laser_1", "quick", true);
    s_cups->Run("cancel " + std::to_string(quick));
    EXPECT_TRUE(WaitFor(*window, "JOB_STATUS_DELETED", mark));

    EXPECT_TRUE(CloseWithin(*window, 5000));
    EXPECT_TRUE(QTest::qWaitFor([] { return s_cups->Subscriptions() == 0; }, 5000));
}

TEST_F(MonitorCupsTest, StoppedServerHangsNeitherTheWindowNorItsOpeningOrClosing) {
    auto window = Open();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    {
        test::StoppedServer stopped(*s_cups);
        QTest::qWait(1000);  // the watchers' poller meets the silent server
        EXPECT_GT(ticks, 3); // a 50 ms timer keeps firing (a frozen loop gives none)
        // Closing takes the pause and about a second at most, also while the start
        // still waits for the server (the close makes it give up).
        constexpr int kBound = MonitorDialog::kCloseDelayMs + 1000;
        EXPECT_TRUE(CloseWithin(*window, kBound));
        auto second = std::make_unique<MonitorDialog>(std::make_shared<spooler::CupsSpooler>());
        second->show();
        second->Start();
        ticks = 0;
        QTest::qWait(500);
        EXPECT_GT(ticks, 2);
        EXPECT_FALSE(second->Started());
        EXPECT_TRUE(CloseWithin(*second, kBound));
    }
    // Running again: a new window watches as before. A server just woken works through
    // what waited meanwhile first, which takes seconds on a busy machine.
    s_cups->Run("lpstat -r");
    window = Open();
    const qsizetype mark = Mark(*window);
    s_cups->SubmitJob("Laser_1", "after", true);
    EXPECT_TRUE(WaitFor(*window, "JOB_STATUS_PAUSED", mark, 30000));
    EXPECT_TRUE(CloseWithin(*window, 5000));
}

TEST_F(MonitorCupsTest, RestartedServerIsWatchedAgain) {
    auto window = Open();
    s_cups->Stop();
    s_cups->Start();
    QTest::qWait(300);
    const qsizetype mark = Mark(*window);
    s_cups->SubmitJob("Laser_1", "restarted", true);
    EXPECT_TRUE(WaitFor(*window, "JOB_STATUS_PAUSED", mark, 10000));
    EXPECT_TRUE(CloseWithin(*window, 5000));
    EXPECT_TRUE(QTest::qWaitFor([] { return s_cups->Subscriptions() == 0; }, 5000)) << s_cups->Subscriptions();
}

TEST_F(MonitorCupsTest, TwentyOpeningsShareOneSubscriptionAndLeaveNone) {
    for (int i = 0; i < 20; ++i) {
        {
            auto window = Open();
            EXPECT_TRUE(QTest::qWaitFor([] { return s_cups->Subscriptions(true) == 1; }, 5000));
            // Destroyed open: the monitor stops without the closing pause.
        }
        EXPECT_TRUE(QTest::qWaitFor([] { return s_cups->Subscriptions() == 0; }, 5000)) << "opening " << i + 1;
    }
}

} // namespace
} // namespace quill::monitor
