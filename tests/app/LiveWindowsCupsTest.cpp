// The job window and the monitor follow the server's changes as they happen, with the
// server's D-Bus signals, without a bus, and while another notifier holds the lock that
// lets one notifier of the server signal.
#include "admin/TMain.h"
#include "monitor/MonitorDialog.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "SpoolerWait.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

using namespace quill;

namespace {

enum class Feed { Signals, NoBus, LockHeld };

class LiveWindowsCupsTest : public ::testing::Test {
protected:
    // Opens both windows on one spooler against a server of the kind asked for.
    void Open(Feed feed) {
        if (test::CupsSandbox::Possible())
            m_cups = std::make_unique<test::CupsSandbox>(feed == Feed::NoBus ? test::CupsSandbox::Bus::None
                                                                             : test::CupsSandbox::Bus::Private);
        QUILL_SKIP_WITHOUT_CUPSD(m_cups);
        if (feed != Feed::NoBus) {
            QUILL_SKIP_WITHOUT_BUS(*m_cups);
        }
        if (feed == Feed::LockHeld) m_cups->TakeNotifierLock();
        // Released jobs stay pending on a stopped queue.
        m_cups->AddQueue("Laser_1");
        m_cups->Run("cupsdisable Laser_1");
        m_jobs = std::make_unique<admin::TMain>(*m_spooler, m_dialogs);
        m_monitor = std::make_unique<monitor::MonitorDialog>(m_spooler);
        m_monitor->Start();
        ASSERT_TRUE(ShowsLine("Starting notification loop [Laser_1]", 0, 15000));
        ASSERT_TRUE(test::WaitForSpooler(*m_jobs));
    }
    QString Status(int id) {
        for (int i = 0; i < m_jobs->lvMain->topLevelItemCount(); ++i)
            if (m_jobs->lvMain->topLevelItem(i)->data(0, Qt::UserRole).toInt() == id)
                return m_jobs->lvMain->topLevelItem(i)->text(3);
        return QStringLiteral("no row");
    }
    qsizetype Mark() const { return m_monitor->TextBox->toPlainText().size(); }
    bool ShowsLine(const QString& text, qsizetype from, int timeoutMs) {
        return QTest::qWaitFor([&] { return m_monitor->TextBox->toPlainText().mid(from).contains(text); }, timeoutMs);
    }
    // Milliseconds from the change until the row shows status and the monitor's log the
    // job's status line; -1 when that took more than timeoutMs.
    qint64 Follow(const std::function<void()>& change, int id, const QString& status, const QString& line,
                  int timeoutMs) {
        const qsizetype mark = Mark();
        QElapsedTimer clock;
        clock.start();
        change();
        const bool shown = QTest::qWaitFor(
            [&] { return Status(id) == status && m_monitor->TextBox->toPlainText().mid(mark).contains(line); },
            timeoutMs);
        return shown ? clock.elapsed() : -1;
    }
    void Control(int id, std::uint32_t command) {
        auto printer = m_spooler->OpenPrinterA("Laser_1");
        ASSERT_TRUE(printer && m_spooler->SetJobA(*printer, static_cast<std::uint32_t>(id), command));
    }
    long Requests() const {
        std::ifstream log(m_cups->dir() + "/log/access_log");
        long count = 0;
        for (std::string line; std::getline(log, line);) count += line.find("POST") != std::string::npos;
        return count;
    }

    std::unique_ptr<test::CupsSandbox> m_cups;
    std::shared_ptr<spooler::CupsSpooler> m_spooler = std::make_shared<spooler::CupsSpooler>();
    test::FakeDialogs m_dialogs;
    std::unique_ptr<admin::TMain> m_jobs;
    std::unique_ptr<monitor::MonitorDialog> m_monitor;
};

class LiveWindowsFeedsTest : public LiveWindowsCupsTest, public ::testing::WithParamInterface<Feed> {
protected:
    void SetUp() override { Open(GetParam()); }
};

// Far below the 5 s that a change waits for the fallback poll, far above what a change
// takes with signals (a few ms) or polling (100 ms): no speed test, the benchmarks time it.
constexpr int kPromptly = 1500;

TEST_P(LiveWindowsFeedsTest, HoldReleaseAndCancelReachTheRowAndTheLogPromptly) {
    // The first change comes with a signal or the fast poll; where none is signalled, with
    // the poll every 5 s, which then finds an event no signal announced and polls fast.
    const int first = GetParam() == Feed::LockHeld ? 8000 : kPromptly;
    const int id = m_cups->SubmitJob("Laser_1", "x", false, "live");
    EXPECT_GE(Follow([] {}, id, QString(), QStringLiteral("= \"live\""), first), 0);
    const struct {
        std::uint32_t command;
        const char* status;
        const char* line;
    } kChanges[] = {
        {spooler::JOB_CONTROL_PAUSE, "Paused ", "JOB_STATUS_PAUSED"},
        {spooler::JOB_CONTROL_RESUME, "", "JOB_NOTIFY_FIELD_STATUS = ()"},
        {spooler::JOB_CONTROL_CANCEL, "Deleting ", "JOB_STATUS_DELETED"},
    };
    for (const auto& change : kChanges) {
        const qint64 took = Follow([&] { Control(id, change.command); }, id, QString::fromLatin1(change.status),
                                   QString::fromLatin1(change.line), kPromptly);
        EXPECT_GE(took, 0) << change.line << ": row \"" << Status(id).toStdString() << "\"";
    }
}

TEST_F(LiveWindowsCupsTest, RestartedServersAreFollowedAndIdleWindowsAskTheServerRarely) {
    Open(Feed::Signals);
    if (HasFatalFailure() || IsSkipped()) return;
    const int held = m_cups->SubmitJob("Laser_1", "before", true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status(held) == QStringLiteral("Paused "); }, kPromptly));
    // Started again without the subscriptions, and with them (then it says it has started).
    for (bool kept : {false, true}) {
        m_cups->Stop();
        m_cups->Start(kept);
        // The job window reads every job again; both windows hear of later changes.
        const qsizetype mark = Mark();
        const std::string title = kept ? "kept" : "new";
        const int later = m_cups->SubmitJob("Laser_1", "x", true, title);
        EXPECT_TRUE(QTest::qWaitFor([&] { return Status(later) == QStringLiteral("Paused "); }, 15000)) << title;
        EXPECT_TRUE(ShowsLine(QString::fromStdString("= \"" + title + "\""), mark, 15000)) << title;
    }
    Control(held, spooler::JOB_CONTROL_CANCEL);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Status(held) == QStringLiteral("Deleting "); }, kPromptly));

    QTest::qWait(500); // the last answers
    const long before = Requests();
    QTest::qWait(20000);
    // The fallback polls (every 5 s) and the subscriptions' renewals; no job listings, and
    // no fast polling left over from the restarts.
    EXPECT_LE(Requests() - before, 8);
}

INSTANTIATE_TEST_SUITE_P(
    Feeds, LiveWindowsFeedsTest, ::testing::Values(Feed::Signals, Feed::NoBus, Feed::LockHeld), [](const auto& test) {
        return std::string(test.param == Feed::Signals ? "Signals" : test.param == Feed::NoBus ? "NoBus" : "LockHeld");
    });

} // namespace
