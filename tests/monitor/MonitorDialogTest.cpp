#include "monitor/MonitorDialog.h"

#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "FakeSpooler.h"
#include "ScriptedSpooler.h"
#include "app/TForm1.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quill::monitor {
namespace {

// What the text box shows of the log text: its CR LF line ends as line breaks.
QString Shown(const std::string& logText) {
    return QString::fromLocal8Bit(logText.data(), static_cast<qsizetype>(logText.size()))
        .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

bool WaitUntilShowsLog(const MonitorDialog& window, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return window.TextBox->toPlainText() == Shown(LogText()); }, timeoutMs);
}

// Asks the window to close and lets it end; the time from the request to its end in ms.
qint64 CloseAndWait(MonitorDialog& window) {
    QElapsedTimer timer;
    timer.start();
    window.close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
    return timer.elapsed();
}

class MonitorDialogTest : public ::testing::Test {
protected:
    std::shared_ptr<test::ScriptedSpooler> spooler = std::make_shared<test::ScriptedSpooler>();
};

TEST_F(MonitorDialogTest, WindowIsAnUnwrappedReadOnlyMonospaceTextBoxFillingItAtEverySize) {
    MonitorDialog window(spooler);
    window.show();
    EXPECT_EQ(window.windowTitle(), "Printer Activities");
    EXPECT_EQ(window.font().family(), "Liberation Mono");
    EXPECT_EQ(window.font().pointSize(), 8);
    EXPECT_TRUE(QFontInfo(window.TextBox->font()).fixedPitch());
    EXPECT_TRUE(window.TextBox->isReadOnly());
    EXPECT_EQ(window.TextBox->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(window.parentWidget(), nullptr); // no owner
    EXPECT_FALSE(window.isModal());
    // 365 x 273 dialog units of an 8-point monospace font are wider than tall and
    // take several hundred pixels each way.
    EXPECT_GT(window.width(), window.height());
    EXPECT_GT(window.height(), 300);
    EXPECT_EQ(window.TextBox->geometry(), window.rect());
    window.resize(900, 650);
    QApplication::processEvents();
    EXPECT_EQ(window.TextBox->geometry(), window.rect());
    window.showMaximized();
    QApplication::processEvents();
    EXPECT_EQ(window.TextBox->geometry(), window.rect());
}

TEST_F(MonitorDialogTest, OpeningShowsTheWholeLogAndTheStartAndClosingAddsTheStopAfterAPause) {
    WriteLog("a line written before any window: never shown");
    auto window = std::make_unique<MonitorDialog>(spooler);
    window->show();
    window->Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Started(); }, 10000));
    ASSERT_TRUE(WaitUntilShowsLog(*window));
    const std::string separator(kSeparatorLine);
    const QString start = Shown(separator +
                                "\r\nStarting initialisation.\r\nInitialising critical section ...\r\n"
                                "Getting needed buffer size for printer information (PRINTER_INFO_4).\r\n"
                                "Finished initialisation.\r\n" +
                                separator + "\r\n\r\nInitNotificationThreads() failed. No further error code\r\n");
    EXPECT_TRUE(window->TextBox->toPlainText().endsWith(start)) << window->TextBox->toPlainText().toStdString();
    EXPECT_FALSE(window->TextBox->toPlainText().contains("never shown"));

    const qint64 closedAfter = CloseAndWait(*window);
    EXPECT_GE(closedAfter, MonitorDialog::kCloseDelayMs - 50);
    const QString stop = Shown(separator + "\r\nStarting finalisation.\r\nFinished finalisation.\r\n" + separator +
                               "\r\nFInitnotificationThreads() failed ... Windows will force the process/threads "
                               "to end.\r\n");
    EXPECT_TRUE(window->TextBox->toPlainText().endsWith(stop));
    EXPECT_TRUE(Shown(LogText()).endsWith(start + stop));
    WriteLog("a line written after the window ended: not kept");
    EXPECT_FALSE(Shown(LogText()).contains("not kept"));

    // A second opening shows everything so far and starts a fresh run behind it.
    const QString before = Shown(LogText());
    window = std::make_unique<MonitorDialog>(spooler);
    window->show();
    window->Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Started(); }, 10000));
    ASSERT_TRUE(WaitUntilShowsLog(*window));
    EXPECT_EQ(window->TextBox->toPlainText(), before + start);
    EXPECT_EQ(window->TextBox->verticalScrollBar()->value(), window->TextBox->verticalScrollBar()->maximum());
    CloseAndWait(*window);
}

TEST_F(MonitorDialogTest, WatcherLinesShowAsTheyComeAndStopWithTheWindow) {
    spooler->printers = {"Laser 1"};
    MonitorDialog window(spooler);
    window.show();
    window.Start();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window.TextBox->toPlainText().contains("[*] [T] Starting notification loop [Laser 1]."); },
        10000));
    spooler::NotifyInfo block;
    spooler::NotifyData jobs;
    jobs.Type = spooler::PRINTER_NOTIFY_TYPE;
    jobs.Field = spooler::PRINTER_NOTIFY_FIELD_CJOBS;
    jobs.Data = std::uint32_t{4};
    block.aData = {jobs};
    spooler->post("Laser 1", block);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return window.TextBox->toPlainText().endsWith(
                "[*] \n[*] [T] ----->>> Got notification event [Laser 1]\n[*] [T] PRINTER_NOTIFY_FIELD_CJOBS: 4\n");
        },
        10000));
    CloseAndWait(window);
    EXPECT_TRUE(window.TextBox->toPlainText().endsWith(Shown(std::string(kSeparatorLine) + "\r\n")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return spooler->registrations() == 0; }, 10000));
}

TEST_F(MonitorDialogTest, MonitorPrinterOpensOneWindowASecondPressBringsItForwardAndAPressWhileItClosesOpensANew) {
    test::FakeSpooler mainSpooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
    app::TForm1 form(mainSpooler, dialogs, launcher, [] { return 2026; });
    form.MonitorSpooler = spooler;
    form.show();
    form.BitBtn10Click();
    ASSERT_TRUE(form.MonitorWindow);
    QPointer<MonitorDialog> first = form.MonitorWindow;
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr); // the main window stays usable
    first->showMinimized();
    form.BitBtn10Click();
    EXPECT_EQ(form.MonitorWindow, first);
    EXPECT_FALSE(first->isMinimized());
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->Started(); }, 10000));
    first->close();
    // During the closing pause the monitor has stopped already: a press opens a new
    // window, which stays when the closing one has ended and deleted itself.
    ASSERT_TRUE(first->Closing());
    form.BitBtn10Click();
    ASSERT_TRUE(form.MonitorWindow);
    EXPECT_NE(form.MonitorWindow, first);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 10000));
    ASSERT_TRUE(form.MonitorWindow);
    EXPECT_TRUE(form.MonitorWindow->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.MonitorWindow->Started(); }, 10000));
    EXPECT_TRUE(WaitUntilShowsLog(*form.MonitorWindow));
    form.MonitorWindow->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.MonitorWindow.isNull(); }, 10000));
}

} // namespace
} // namespace quill::monitor
