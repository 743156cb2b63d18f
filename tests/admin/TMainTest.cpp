// The "Print Spooler" window on real widgets with a scripted spooler.
#include "admin/TMain.h"

#include "FakeDialogs.h"
#include "FakeSpooler.h"
#include "SpoolerWait.h"

#include <QAction>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <ctime>

using namespace quill;
using admin::TMain;

namespace {

spooler::JobInfo2 Job(std::uint32_t id, const std::string& printer, std::uint32_t status = 0) {
    spooler::JobInfo2 job;
    job.JobId = id;
    job.pPrinterName = printer;
    job.pMachineName = "desk";
    job.pUserName = "anna";
    job.pDocument = "report " + std::to_string(id);
    job.Status = status;
    job.Size = 1500;
    job.PagesPrinted = 2;
    job.Submitted = {2026, 12, 0, 7, 9, 5, 3, 0};
    return job;
}

class TMainTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale::c());
        spooler.AddPrinter("Fax");
        spooler.AddPrinter("Laser");
    }
    std::unique_ptr<TMain> Open() {
        auto window = std::make_unique<TMain>(spooler, dialogs);
        window->UseSnapshot = GetParam();
        test::WaitForSpooler(*window);
        return window;
    }
    static std::vector<std::string> Row(TMain& w, int i) {
        std::vector<std::string> cells;
        for (int c = 0; c < 8; ++c) cells.push_back(w.lvMain->topLevelItem(i)->text(c).toStdString());
        return cells;
    }
    test::FakeSpooler spooler;
    test::FakeDialogs dialogs;
};

} // namespace

TEST(TMainText, StatusWordsInTheirOrderEachWithABlank) {
    EXPECT_EQ(TMain::JobStatusText(0), "");
    EXPECT_EQ(TMain::JobStatusText(0x100), "");
    EXPECT_EQ(TMain::JobStatusText(0x11), "Paused Printing ");
    EXPECT_EQ(TMain::JobStatusText(0xFF), "Error Paused Deleting Spooling Printing Offline Paperout Printed ");
}

TEST(TMainText, SizeInThousandsOfBytesRightAligned) {
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(TMain::SizeText(1500), "      1.50 KB");
    EXPECT_EQ(TMain::SizeText(0), "      0.00 KB");
    EXPECT_EQ(TMain::SizeText(4294967295u), "4294967.29 KB");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(TMain::SizeText(1500), "      1,50 KB");
    QLocale::setDefault(QLocale::c());
}

TEST_P(TMainTest, WindowHasItsCaptionColumnsMenusAndSize) {
    auto w = Open();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Print Spooler"));
    EXPECT_EQ(w->lvMain->columnCount(), 8);
    EXPECT_EQ(w->lvMain->headerItem()->text(0), QStringLiteral("Computer"));
    EXPECT_EQ(w->lvMain->headerItem()->text(7), QStringLiteral("Start At"));
    EXPECT_EQ(w->lvMain->columnWidth(0), 70);
    EXPECT_EQ(w->RefreshPrinters1->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(w->DeleteAllItems1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Delete));
    EXPECT_TRUE(w->Monitoring1->isChecked());
    EXPECT_FALSE(w->MonitorSharedPrinters1->isChecked());
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(w->Timer1->interval(), 200);
    w->show();
    EXPECT_EQ(w->lvMain->size(), QSize(631, 141));
    EXPECT_EQ(w->PrinterNames, (std::vector<std::string>{"Fax", "Laser"}));
}

TEST_P(TMainTest, JobsBecomeRowsThatKeepTheirLastStatus) {
    spooler.printers[0].jobs = {Job(7, "Fax", 0x10)};
    spooler.printers[1].jobs = {Job(9, "Laser", 0x01)};
    auto w = Open();
    test::Tick(*w);
    ASSERT_EQ(w->lvMain->topLevelItemCount(), 2);
    EXPECT_EQ(Row(*w, 0), (std::vector<std::string>{"desk", "Fax", "report 7", "Printing ", "anna", "      1.50 KB",
                                                    "2", TMain::StartAtText(Job(7, "Fax").Submitted)}));
    EXPECT_EQ(Row(*w, 1)[3], "Paused ");
    // The job leaves the spooler: its row stays as it was.
    spooler.printers[0].jobs.clear();
    spooler.printers[1].jobs = {Job(9, "Laser", 0x80)};
    test::Tick(*w);
    ASSERT_EQ(w->lvMain->topLevelItemCount(), 2);
    EXPECT_EQ(Row(*w, 0)[3], "Printing ");
    EXPECT_EQ(Row(*w, 1)[3], "Printed ");
    // The fitted columns hold their cells and captions whole; a row that only changes does
    // not move them, a row that comes does, and the last column takes the free width.
    const auto widths = [&] {
        std::vector<int> all;
        for (int column = 0; column < w->lvMain->columnCount(); ++column) all.push_back(w->lvMain->columnWidth(column));
        return all;
    };
    const QFontMetrics metrics(w->lvMain->font());
    for (int column = 1; column <= 5; ++column) {
        EXPECT_GE(w->lvMain->columnWidth(column), metrics.horizontalAdvance(w->lvMain->headerItem()->text(column)) + 6)
            << column;
        for (int row = 0; row < 2; ++row)
            EXPECT_GE(w->lvMain->columnWidth(column),
                      metrics.horizontalAdvance(w->lvMain->topLevelItem(row)->text(column)))
                << column;
    }
    const std::vector<int> before = widths();
    spooler.printers[1].jobs = {Job(9, "Laser", 0x02)};
    test::Tick(*w);
    EXPECT_EQ(widths(), before);
    spooler.printers[1].jobs = {Job(9, "Laser", 0x02), Job(10, "Laser")};
    spooler.printers[1].jobs[1].pDocument = "a document with a name much longer than any before it";
    test::Tick(*w);
    EXPECT_GT(widths()[2], before[2]);
    EXPECT_TRUE(w->lvMain->header()->stretchLastSection());
}

TEST_P(TMainTest, SameJobIdOnTwoPrintersSharesOneRow) {
    spooler.printers[0].jobs = {Job(5, "Fax")};
    spooler.printers[1].jobs = {Job(5, "Laser")};
    auto w = Open();
    test::Tick(*w);
    ASSERT_EQ(w->lvMain->topLevelItemCount(), 1);
    EXPECT_EQ(Row(*w, 0)[1], "Laser"); // the one polled last
}

TEST_P(TMainTest, DeletedRowOfAQueuedJobComesBackAsTheLastRow) {
    spooler.printers[0].jobs = {Job(1, "Fax"), Job(2, "Fax")};
    auto w = Open();
    test::Tick(*w);
    w->lvMain->setCurrentItem(w->lvMain->topLevelItem(0));
    w->DeleteSelectedItem1->trigger();
    ASSERT_EQ(w->lvMain->topLevelItemCount(), 1);
    test::Tick(*w);
    ASSERT_EQ(w->lvMain->topLevelItemCount(), 2);
    EXPECT_EQ(Row(*w, 1)[2], "report 1");
    w->DeleteAllItems1->trigger();
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 0);
}

TEST_P(TMainTest, MonitoringFreezesAndResumes) {
    auto w = Open();
    w->Monitoring1->trigger();
    EXPECT_FALSE(w->Monitoring1->isChecked());
    EXPECT_FALSE(w->Timer1->isActive());
    spooler.printers[0].jobs = {Job(1, "Fax")};
    QTest::qWait(300);
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 0);
    w->Monitoring1->trigger();
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->lvMain->topLevelItemCount() == 1; }, 2000));
    w->Exit1->trigger();
    EXPECT_FALSE(w->Timer1->isActive());
}

TEST_P(TMainTest, SharedOnlyReloadsTheNames) {
    spooler.printers[1].info.Attributes |= spooler::PRINTER_ATTRIBUTE_SHARED;
    auto w = Open();
    w->MonitorSharedPrinters1->trigger();
    test::WaitForSpooler(*w);
    EXPECT_TRUE(w->SharedOnly);
    EXPECT_TRUE(w->MonitorSharedPrinters1->isChecked());
    EXPECT_EQ(w->PrinterNames, (std::vector<std::string>{"Laser"}));
    EXPECT_TRUE(w->Timer1->isActive());
}

TEST_P(TMainTest, EnumerationFailureShowsTheErrorAndPollsNothing) {
    spooler.failEnumPrinters = true;
    spooler.printers[0].jobs = {Job(1, "Fax")};
    auto w = Open();
    EXPECT_EQ(dialogs.errors, (std::vector<std::string>{"Error Enum Printers!"}));
    EXPECT_TRUE(w->PrinterNames.empty());
    const int before = spooler.enumJobsCalls;
    test::Tick(*w);
    EXPECT_EQ(spooler.enumJobsCalls, before);
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 0);
}

TEST_P(TMainTest, UnopenableOrUnlistablePrintersAreSkippedSilently) {
    spooler.printers[0].jobs = {Job(1, "Fax")};
    spooler.printers[1].jobs = {Job(2, "Laser")};
    spooler.unopenable = {"Fax"};
    auto w = Open();
    test::Tick(*w);
    if (!GetParam()) {
        EXPECT_EQ(w->lvMain->topLevelItemCount(), 1);
        EXPECT_EQ(Row(*w, 0)[1], "Laser");
    }
    spooler.failEnumJobs = true;
    w->DeleteAllItems1->trigger();
    test::Tick(*w);
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(dialogs.errors.empty());
}

TEST_P(TMainTest, JobCommandsGoToTheRowsPrinterOrReportIt) {
    spooler.printers[1].jobs = {Job(42, "Laser")};
    auto w = Open();
    test::Tick(*w);
    w->CancelJob1->trigger();
    test::WaitForSpooler(*w); // nothing selected: nothing happens
    EXPECT_TRUE(spooler.jobCommands.empty());
    w->lvMain->setCurrentItem(w->lvMain->topLevelItem(0));
    w->PauseJob1->trigger();
    test::WaitForSpooler(*w);
    w->ResumeJob1->trigger();
    test::WaitForSpooler(*w);
    w->RestartJob1->trigger();
    test::WaitForSpooler(*w);
    w->CancelJob1->trigger();
    test::WaitForSpooler(*w);
    using P = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ(spooler.jobCommands, (std::vector<P>{{42, 1}, {42, 2}, {42, 4}, {42, 3}}));
    EXPECT_TRUE(w->Timer1->isActive());
    spooler.unopenable = {"Laser"};
    w->CancelJob1->trigger();
    test::WaitForSpooler(*w);
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{"Error OpenPrinter() : 42 Laser"}));

    // A command the spooler refuses says so with its reason; the row stays as the job is.
    spooler.unopenable.clear();
    spooler.failSetJob = true;
    for (const auto& [action, done, reason, shown] :
         {std::tuple{w->CancelJob1, "cancelled", "Not authorized.", "Not authorized."},
          {w->PauseJob1, "paused", "", "The print server gave no reason."},
          {w->ResumeJob1, "resumed", "Not authorized.", "Not authorized."},
          {w->RestartJob1, "restarted", "Job #42 is not complete.", "Job #42 is not complete."}}) {
        dialogs.messages.clear();
        spooler.failureReason = reason;
        action->trigger();
        test::WaitForSpooler(*w);
        EXPECT_EQ(dialogs.messages,
                  std::vector<std::string>{std::string("Job 42 on Laser could not be ") + done + ": " + shown});
        EXPECT_EQ(Row(*w, 0)[3], "");
    }
}

TEST_P(TMainTest, AnswersThatComeAfterMonitoringWasUncheckedLeaveTheTimerOff) {
    spooler.printers[0].jobs = {Job(42, "Fax")};
    for (QAction* TMain::*request : {&TMain::RefreshPrinters1, &TMain::PauseJob1}) {
        auto w = Open();
        test::Tick(*w);
        w->lvMain->setCurrentItem(w->lvMain->topLevelItem(0));
        spooler.CloseGate(); // the server is slow to answer
        ((*w).*request)->trigger();
        w->Monitoring1->trigger();
        spooler.OpenGate();
        test::WaitForSpooler(*w);
        EXPECT_FALSE(w->Timer1->isActive());
    }
}

TEST_P(TMainTest, SharedOnlyToggledTwiceWhileAReloadWaitsEndsWithExactlyTheSharedNames) {
    spooler.printers[1].info.Attributes |= spooler::PRINTER_ATTRIBUTE_SHARED;
    spooler.AddPrinter("Plotter", spooler::PRINTER_ATTRIBUTE_LOCAL | spooler::PRINTER_ATTRIBUTE_SHARED);
    auto w = Open();
    w->MonitorSharedPrinters1->trigger();
    test::WaitForSpooler(*w);
    spooler.CloseGate();
    w->RefreshPrinters1->trigger();
    w->MonitorSharedPrinters1->trigger();
    w->MonitorSharedPrinters1->trigger();
    spooler.OpenGate();
    test::WaitForSpooler(*w);
    EXPECT_TRUE(w->MonitorSharedPrinters1->isChecked());
    EXPECT_EQ(w->PrinterNames, (std::vector<std::string>{"Laser", "Plotter"}));
    EXPECT_TRUE(w->Timer1->isActive());
}

INSTANTIATE_TEST_SUITE_P(PerPrinterAndSnapshot, TMainTest, ::testing::Values(false, true));

TEST_P(TMainTest, AfterDeleteNothingIsSelectedSoNoCommandOrDelReachesAnotherRow) {
    spooler.printers[0].jobs = {Job(1, "Fax"), Job(2, "Fax"), Job(3, "Fax")};
    auto w = Open();
    test::Tick(*w);
    w->Monitoring1->trigger();
    w->lvMain->setCurrentItem(w->lvMain->topLevelItem(0));
    w->DeleteSelectedItem1->trigger();
    w->CancelJob1->trigger();
    test::WaitForSpooler(*w);
    EXPECT_TRUE(spooler.jobCommands.empty());
    w->DeleteSelectedItem1->trigger();
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 2);
}

TEST_P(TMainTest, EscapeKeepsTheWindowAndItsRowsOpen) {
    spooler.printers[0].jobs = {Job(1, "Fax")};
    auto w = Open();
    w->show();
    test::Tick(*w);
    QTest::keyClick(w->lvMain, Qt::Key_Escape);
    QTest::keyClick(w.get(), Qt::Key_Escape);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->lvMain->topLevelItemCount(), 1);
}

TEST(TMainText, StartAtIsTheSubmissionTimeInTheUsersTimeZoneAndFitsItsColumn) {
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Asia/Tokyo");
    ::tzset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
    // 21:09:05 UTC on 7 December is 06:09:05 on 8 December in Tokyo.
    EXPECT_EQ(TMain::StartAtText({2026, 12, 1, 7, 21, 9, 5, 0}), "08/12/2026 06:09:05");
    test::FakeSpooler spooler;
    spooler.AddPrinter("Fax").jobs = {Job(1, "Fax")};
    test::FakeDialogs dialogs;
    TMain w(spooler, dialogs);
    w.show();
    test::Tick(w);
    const QTreeWidgetItem* row = w.lvMain->topLevelItem(0);
    ASSERT_TRUE(row);
    EXPECT_GT(w.lvMain->columnWidth(7), w.lvMain->fontMetrics().horizontalAdvance(row->text(7)));
    QLocale::setDefault(QLocale::c());
    if (zone.isNull()) qunsetenv("TZ");
    else qputenv("TZ", zone);
    ::tzset();
}

TEST(TMainText, StartAtLeavesOutTheTimeZoneWithItsBracketsAndPunctuation) {
    const QDateTime local = QDateTime(QDate(2026, 12, 7), QTime(21, 9, 5), Qt::UTC).toLocalTime();
    // The locale's long time format as it reads without the zone.
    const std::pair<const char*, const char*> cases[] = {{"es_ES", "H:mm:ss"},
                                                         {"ca_ES", "H:mm:ss"},
                                                         {"eu_ES", "HH:mm:ss"},
                                                         {"hr_HR", "HH:mm:ss"},
                                                         {"fa_IR", "H:mm:ss"},
                                                         {"mn_MN", "HH:mm:ss"},
                                                         {"uz_UZ", "H:mm:ss"},
                                                         {"be_BY", "HH:mm:ss"},
                                                         {"sq_AL", "h:mm:ss AP"},
                                                         {"nds_DE", "'Klock' H.mm:ss"},
                                                         {"zh_HK", "APh:mm:ss"},
                                                         {"bg_BG", "H:mm:ss 'ч'."},
                                                         {"fr_CA", "HH 'h' mm 'min' ss 's'"},
                                                         {"en_US", "h:mm:ss AP"},
                                                         {"de_DE", "HH:mm:ss"}};
    for (const auto& [name, time] : cases) {
        const QLocale locale(QString::fromLatin1(name));
        QLocale::setDefault(locale);
        EXPECT_EQ(TMain::StartAtText({2026, 12, 1, 7, 21, 9, 5, 0}),
                  (locale.toString(local.date(), locale.dateFormat(QLocale::ShortFormat)) + QLatin1Char(' ') +
                   locale.toString(local.time(), QString::fromUtf8(time)))
                      .toStdString());
    }
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        QLocale::setDefault(locale);
        const QString text = QString::fromStdString(TMain::StartAtText({2026, 12, 1, 7, 21, 9, 5, 0}));
        EXPECT_TRUE(!text.contains(QLatin1String("()")) && !text.contains(QLatin1String("[]")) &&
                    text == text.trimmed() && !text.endsWith(QLatin1Char(',')))
            << text.toStdString();
    }
    QLocale::setDefault(QLocale::c());
}
