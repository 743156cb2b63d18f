// The "Print Spooler" window against a private cupsd.
#include "admin/TMain.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "SpoolerWait.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace quill;

namespace {

class TMainCupsTest : public test::CupsTest {
protected:
    void SetUp() override {
        CupsTest::SetUp();
        if (IsSkipped()) return;
        s_cups->AddQueue("Alpha");
        s_cups->AddQueue("Beta");
    }
    // The job's state in CUPS.
    static int State(int id) {
        cups_job_t* jobs = nullptr;
        const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
        int state = 0;
        for (int i = 0; i < count; ++i)
            if (jobs[i].id == id) state = jobs[i].state;
        cupsFreeJobs(count, jobs);
        return state;
    }
    QTreeWidgetItem* RowOf(admin::TMain& w, int id) {
        for (int i = 0; i < w.lvMain->topLevelItemCount(); ++i)
            if (w.lvMain->topLevelItem(i)->data(0, Qt::UserRole).toInt() == id) return w.lvMain->topLevelItem(i);
        return nullptr;
    }
    int Submit(const std::string& queue, bool hold) { return s_cups->SubmitJob(queue, "text", hold); }
    spooler::CupsSpooler spooler;
    test::FakeDialogs dialogs;
};

std::string Host() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

} // namespace

TEST_F(TMainCupsTest, HeldJobsOnTwoQueuesBecomeRows) {
    const int a = Submit("Alpha", true);
    const int b = Submit("Beta", true);
    for (bool snapshot : {false, true}) {
        admin::TMain w(spooler, dialogs);
        test::WaitForSpooler(w);
        w.UseSnapshot = snapshot;
        test::Tick(w);
        ASSERT_EQ(w.lvMain->topLevelItemCount(), 2) << snapshot;
        QTreeWidgetItem* row = RowOf(w, a);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->text(0).toStdString(), Host());
        EXPECT_EQ(row->text(1), QStringLiteral("Alpha"));
        EXPECT_EQ(row->text(3), QStringLiteral("Paused "));
        EXPECT_EQ(row->text(4).toStdString(), cupsUser());
        EXPECT_EQ(row->text(2), QStringLiteral("quill-test"));
        EXPECT_EQ(row->text(6), QStringLiteral("0"));
        EXPECT_TRUE(row->text(5).endsWith(QStringLiteral(" KB")));
        ASSERT_TRUE(RowOf(w, b));
        EXPECT_EQ(RowOf(w, b)->text(1), QStringLiteral("Beta"));
    }
}

TEST_F(TMainCupsTest, CommandsChangeTheJobInCupsAndFinishedJobsStay) {
    s_cups->Run("cupsdisable Beta"); // its jobs stay pending
    const int pending = Submit("Beta", false);
    const int held = Submit("Alpha", true);
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    test::Tick(w);
    w.lvMain->setCurrentItem(RowOf(w, pending));
    w.PauseJob1->trigger();
    test::WaitForSpooler(w);
    EXPECT_EQ(State(pending), IPP_JSTATE_HELD);
    w.ResumeJob1->trigger();
    test::WaitForSpooler(w);
    EXPECT_EQ(State(pending), IPP_JSTATE_PENDING);

    w.lvMain->setCurrentItem(RowOf(w, held));
    w.CancelJob1->trigger();
    test::WaitForSpooler(w);
    EXPECT_EQ(State(held), IPP_JSTATE_CANCELED);
    // Ended in the spooler, kept in the window with how it ended.
    EXPECT_TRUE(test::TickUntil(w, [&] { return RowOf(w, held)->text(3) == QStringLiteral("Deleting "); }));
    // CUPS kept the files of the cancelled job: restarting it queues it again.
    w.lvMain->setCurrentItem(RowOf(w, held));
    w.RestartJob1->trigger();
    test::WaitForSpooler(w);
    EXPECT_NE(State(held), IPP_JSTATE_CANCELED);
    EXPECT_TRUE(dialogs.messages.empty());
    s_cups->Run("cupsenable Beta");
}

TEST_F(TMainCupsTest, DeletedRowReturnsAndMonitoringFreezes) {
    const int held = Submit("Alpha", true);
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    test::Tick(w);
    w.lvMain->setCurrentItem(RowOf(w, held));
    w.DeleteSelectedItem1->trigger();
    EXPECT_EQ(w.lvMain->topLevelItemCount(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.lvMain->topLevelItemCount() == 1; }, 3000));
    w.Monitoring1->trigger();
    const int later = Submit("Beta", true);
    QTest::qWait(600);
    EXPECT_FALSE(RowOf(w, later));
    w.Monitoring1->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return RowOf(w, later) != nullptr; }, 3000));
}

TEST_F(TMainCupsTest, SharedOnlyPollsSharedPrinters) {
    s_cups->SetShared("Alpha", false);
    s_cups->SetShared("Beta", true);
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    EXPECT_EQ(w.PrinterNames, (std::vector<std::string>{"Alpha", "Beta"}));
    w.MonitorSharedPrinters1->trigger();
    test::WaitForSpooler(w);
    EXPECT_EQ(w.PrinterNames, (std::vector<std::string>{"Beta"}));
}

TEST_F(TMainCupsTest, ComputerAndPrinterPathReachesTheQueue) {
    EXPECT_TRUE(spooler.OpenPrinterA(Host() + "\\Alpha"));
    EXPECT_TRUE(spooler.OpenPrinterA("localhost\\Beta"));
    EXPECT_FALSE(spooler.OpenPrinterA(Host() + "\\Gamma"));
}

namespace {

// Job rows of the queues, both ways of polling: one answer for all printers, or each
// printer in turn.
class TMainCupsNamesTest : public TMainCupsTest, public ::testing::WithParamInterface<bool> {};

} // namespace

TEST_P(TMainCupsNamesTest, QueuesWithEncodedNamesShowTheirJobsAndTakeCommands) {
    // CUPS writes these names %-encoded in its URIs; the last one is not even UTF-8.
    const std::vector<std::string> queues = {"B\xC3\xBCro", "50%off", "Lat\xE9in"};
    std::vector<int> ids;
    for (const auto& queue : queues) {
        s_cups->AddQueue(queue);
        ids.push_back(Submit(queue, true));
    }
    admin::TMain w(spooler, dialogs);
    w.UseSnapshot = GetParam();
    test::WaitForSpooler(w);
    test::Tick(w);
    for (std::size_t i = 0; i < queues.size(); ++i) {
        QTreeWidgetItem* row = RowOf(w, ids[i]);
        ASSERT_TRUE(row) << queues[i];
        EXPECT_EQ(row->text(1), QString::fromLocal8Bit(queues[i].c_str())) << queues[i];
        w.lvMain->setCurrentItem(row);
        w.CancelJob1->trigger();
        test::WaitForSpooler(w);
        EXPECT_EQ(State(ids[i]), IPP_JSTATE_CANCELED) << queues[i];
    }
    EXPECT_TRUE(dialogs.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(PerPrinterAndSnapshot, TMainCupsNamesTest, ::testing::Values(false, true));

namespace {

// A job that another computer sends over the network. The suite runs under
// tests/support/two-computers, which gives both computers an address on a network of
// their own; cupsd listens on this computer's address too.
class TMainOtherComputerTest : public TMainCupsTest {
protected:
    static void SetUpTestSuite() {
        if (std::getenv("QUILL_ON_OTHER_COMPUTER") && test::CupsSandbox::Possible())
            s_cups = std::make_unique<test::CupsSandbox>(false, std::getenv("QUILL_THIS_COMPUTER"));
    }
    void SetUp() override {
        QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootForNetworkNamespaces);
        if (!std::getenv("QUILL_ON_OTHER_COMPUTER"))
            GTEST_SKIP() << "runs under tests/support/two-computers, with cupsd installed";
        TMainCupsTest::SetUp();
    }
};

} // namespace

TEST_F(TMainOtherComputerTest, JobFromAnotherComputerIsShownWithItsSenderAndCancelledOnThisServer) {
    const std::string other = std::getenv("QUILL_OTHER_COMPUTER");
    const std::string output =
        s_cups->Run(std::string(std::getenv("QUILL_ON_OTHER_COMPUTER")) + " " + QUILL_SOURCE_DIR +
                    "/tests/support/ipp-submit-from " + other + " " + std::getenv("QUILL_THIS_COMPUTER") + ":" +
                    std::to_string(s_cups->port()) + " Alpha");
    const int id = std::atoi(output.c_str());
    ASSERT_GT(id, 0) << output;
    for (bool snapshot : {false, true}) {
        admin::TMain w(spooler, dialogs);
        w.UseSnapshot = snapshot;
        test::WaitForSpooler(w);
        test::Tick(w);
        QTreeWidgetItem* row = RowOf(w, id);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->text(0).toStdString(), other);
        EXPECT_EQ(row->text(4), QStringLiteral("visitor"));
        w.lvMain->setCurrentItem(row);
        (snapshot ? w.CancelJob1 : w.PauseJob1)->trigger();
        test::WaitForSpooler(w);
        EXPECT_EQ(State(id), snapshot ? IPP_JSTATE_CANCELED : IPP_JSTATE_HELD);
    }
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TMainCupsTest, JobThatEndsBetweenTwoTicksShowsHowItEnded) {
    const int printed = Submit("Alpha", true);
    const int cancelled = Submit("Alpha", true);
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    test::Tick(w);
    ASSERT_TRUE(RowOf(w, printed));
    EXPECT_EQ(RowOf(w, printed)->text(3), QStringLiteral("Paused "));
    w.Monitoring1->trigger(); // no tick while the jobs end
    s_cups->Run("lp -i " + std::to_string(printed) + " -H resume");
    s_cups->Run("cancel " + std::to_string(cancelled));
    ASSERT_TRUE(QTest::qWaitFor([&] { return State(printed) == IPP_JSTATE_COMPLETED; }, 10000));
    EXPECT_TRUE(test::TickUntil(w, [&] {
        return RowOf(w, printed)->text(3) == QStringLiteral("Printed ") &&
               RowOf(w, cancelled)->text(3) == QStringLiteral("Deleting ");
    }));
    // Reported once: a deleted row of an ended job does not come back.
    w.lvMain->setCurrentItem(RowOf(w, printed));
    w.DeleteSelectedItem1->trigger();
    test::Tick(w);
    EXPECT_FALSE(RowOf(w, printed));
}

TEST_F(TMainCupsTest, SilentServerLeavesTheWindowResponsiveAndItPicksUpAgain) {
    const int held = Submit("Alpha", true);
    auto w = std::make_unique<admin::TMain>(spooler, dialogs);
    w->show();
    test::Tick(*w);
    {
        test::StoppedServer stopped(*s_cups);
        QTest::qWait(300); // a tick now waits for the server
        QElapsedTimer clock;
        clock.start();
        QMenu* process = w->MainMenu1->actions().first()->menu();
        process->popup(w->mapToGlobal(QPoint(0, 0)));
        EXPECT_TRUE(QTest::qWaitFor([&] { return process->isVisible(); }, 500));
        EXPECT_LT(clock.elapsed(), 500);
        process->close();
    }
    const int later = Submit("Beta", true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return RowOf(*w, later) != nullptr; }, 10000));
    {
        test::StoppedServer stopped(*s_cups);
        QTest::qWait(300);
        w->lvMain->setCurrentItem(RowOf(*w, held));
        w->CancelJob1->trigger(); // waits for the server on the worker, not here
        QElapsedTimer clock;
        clock.start();
        w->close();
        w.reset();
        EXPECT_LT(clock.elapsed(), 500);
    }
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TMainCupsTest, JobsOfAClassAndOfAShareNameAreListedUnderThemAndTakeCommands) {
    // A class of two printers, and Alpha's share name: a shared class of Alpha alone.
    s_cups->Run(
        "lpadmin -p Alpha -c Pool && lpadmin -p Beta -c Pool && lpadmin -p Alpha -c AlphaShare && "
        "cupsenable Pool AlphaShare && cupsaccept Pool AlphaShare && lpadmin -p AlphaShare -o "
        "printer-is-shared=true && for q in Alpha Beta Pool; do lpadmin -p $q -o printer-is-shared=false; done");
    for (bool snapshot : {false, true}) {
        admin::TMain w(spooler, dialogs);
        w.UseSnapshot = snapshot;
        for (const std::string queue : {"Pool", "AlphaShare"}) {
            const int id = Submit(queue, true);
            ASSERT_TRUE(test::TickUntil(w, [&] { return RowOf(w, id) != nullptr; })) << queue << snapshot;
            EXPECT_EQ(RowOf(w, id)->text(1).toStdString(), queue);
            w.lvMain->setCurrentItem(RowOf(w, id));
            w.CancelJob1->trigger();
            test::WaitForSpooler(w);
            EXPECT_EQ(State(id), IPP_JSTATE_CANCELED) << queue << snapshot;
        }
        w.MonitorSharedPrinters1->trigger();
        test::WaitForSpooler(w);
        EXPECT_EQ(w.PrinterNames, (std::vector<std::string>{"AlphaShare"}));
    }
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TMainCupsTest, AJobThatEndsWhileTheWindowIsClosedIsNotInTheNextOne) {
    for (bool snapshot : {false, true}) {
        const int held = Submit("Alpha", true);
        for (bool reopened : {false, true}) {
            if (reopened) s_cups->Run("cancel " + std::to_string(held));
            admin::TMain w(spooler, dialogs);
            w.UseSnapshot = snapshot;
            test::Tick(w);
            test::Tick(w);
            EXPECT_EQ(w.lvMain->topLevelItemCount(), reopened ? 0 : 1) << snapshot;
        }
    }
}

TEST_F(TMainCupsTest, AnotherUsersJobKeepsTheCellsCupsKeepsPrivateEmpty) {
    const std::string output = s_cups->Run("echo text | lp -U visitor -d Alpha -H hold");
    const int id = std::atoi(output.c_str() + output.rfind('-', output.find(" (")) + 1);
    qputenv("CUPS_USER", "anna"); // the window's worker asks CUPS as another user
    admin::TMain w(spooler, dialogs);
    test::Tick(w);
    qunsetenv("CUPS_USER");
    ASSERT_TRUE(RowOf(w, id)) << output;
    EXPECT_EQ(RowOf(w, id)->text(1), QStringLiteral("Alpha"));
    for (int column : {0, 2, 4}) EXPECT_EQ(RowOf(w, id)->text(column), QString()) << column;
}

TEST_F(TMainCupsTest, AJobWhoseDocumentIsStillOnItsWayShowsItsSizeOnceItHasArrived) {
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    // The job is made first and its 3 MB come a second later; no event says when they are in.
    const std::string file = s_cups->dir() + "/late";
    std::string socket;
    for (char c : s_cups->server()) socket += c == '/' ? std::string("%2F") : std::string(1, c);
    s_cups->Run("head -c 3000000 /dev/zero >" + file + " && (ipptool -f " + file + " ipp://" + socket +
                "/printers/Alpha " + QUILL_SOURCE_DIR + "/tests/support/late-document.test >/dev/null 2>&1 &)");
    const auto size = [&] {
        const auto rows = w.lvMain->findItems(QStringLiteral("late"), Qt::MatchExactly, 2);
        return rows.size() == 1 ? rows[0]->text(5).trimmed().toStdString() : "no row";
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return size() == "0.00 KB"; }, 5000)) << size();
    EXPECT_TRUE(QTest::qWaitFor([&] { return size() == "3000.32 KB"; }, 5000)) << size();
}

// A queue added while the window is open is watched without a reload: its jobs come as
// rows, and those of a queue deleted stay as they were.
TEST_F(TMainCupsTest, QueuesAddedWhileTheWindowIsOpenAreWatchedWithoutAReload) {
    admin::TMain w(spooler, dialogs);
    test::WaitForSpooler(w);
    ASSERT_TRUE(test::TickUntil(w, [&] { return w.PrinterNames.size() == 2; }));
    s_cups->AddQueue("Gamma");
    const int job = Submit("Gamma", true);
    EXPECT_TRUE(test::TickUntil(w, [&] { return RowOf(w, job) != nullptr; }));
    EXPECT_EQ(w.PrinterNames, (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    s_cups->DeleteQueue("Gamma");
    EXPECT_TRUE(test::TickUntil(w, [&] { return w.PrinterNames.size() == 2; }));
    EXPECT_TRUE(dialogs.errors.empty());
}
