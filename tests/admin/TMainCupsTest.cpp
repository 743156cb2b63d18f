// The "Print Spooler" window against a private cupsd.
#include "admin/TMain.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "SpoolerWait.h"
#include "spooler/CupsSpooler.h"

#include <QAction>
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
    test::Tick(w);
    ASSERT_TRUE(RowOf(w, held)); // ended in the spooler, kept in the window with how it ended
    EXPECT_EQ(RowOf(w, held)->text(3), QStringLiteral("Deleting "));
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
