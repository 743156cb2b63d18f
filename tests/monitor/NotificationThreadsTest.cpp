#include "monitor/Monitor.h"

#include "CapturedWindow.h"
#include "ScriptedSpooler.h"
#include "monitor/ActivityLog.h"
#include "monitor/MonitorText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quill::monitor {
namespace {

using spooler::NotifyData;
using spooler::NotifyInfo;
const std::string kSeparator(kSeparatorLine);

// Creates watcher threads only when the test says so, so the start's lines come first,
// numbers them predictably, makes the chosen creations and terminations fail, and joins
// every thread at the end: a watcher that did not end after the stop hangs the test.
class HeldThreads : public ThreadControl {
public:
    std::set<int> failCreate;    // 1-based entry numbers
    std::set<int> failTerminate; // 1-based entry numbers
    ~HeldThreads() override {
        launch();
        for (std::thread& thread : m_running) thread.join();
    }
    bool CreateThread(std::function<void()> body, std::uint32_t& threadId, std::uint32_t& handle,
                      std::uint32_t& error) override {
        const int number = ++m_created;
        if (failCreate.count(number)) {
            error = 8;
            return false;
        }
        m_held.push_back(std::move(body));
        threadId = 0x700 + number;
        handle = 0x1A0 + 4 * number;
        return true;
    }
    bool TerminateThread(ThreadEntry& entry) override {
        const int number = ++m_terminated;
        const bool ended = ThreadControl::TerminateThread(entry);
        return ended && !failTerminate.count(number);
    }
    void launch() {
        for (std::function<void()>& body : m_held) m_running.emplace_back(std::move(body));
        m_held.clear();
    }

private:
    int m_created = 0;
    int m_terminated = 0;
    std::vector<std::function<void()>> m_held;
    std::vector<std::thread> m_running;
};

std::vector<std::string> StartLinesUpToNames() {
    return {kSeparator, "Starting initialisation.", "Initialising critical section ...",
            "Getting needed buffer size for printer information (PRINTER_INFO_4)."};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> kEndLines = {"Finished initialisation.", kSeparator, ""};
const std::vector<std::string> kStopLines = {kSeparator, "Starting finalisation.", "Finished finalisation.",
                                             kSeparator};

NotifyData Record(std::uint16_t type, std::uint16_t field,
                  std::variant<std::monostate, std::uint32_t, std::string, spooler::SystemTime> data) {
    NotifyData record;
    record.Type = type;
    record.Field = field;
    record.Data = std::move(data);
    return record;
}

TEST(MonitorStartAndStop, ZeroPrintersStartFailsAndStopReportsNothingToEnd) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    CapturedWindow window;
    EXPECT_FALSE(monitor.InitNotificationThreads(spooler, threads));
    EXPECT_FALSE(monitor.FInitnotificationThreads(threads));
    EXPECT_EQ(window.lines(), StartLinesUpToNames() + kEndLines + kStopLines);
    EXPECT_TRUE(monitor.ThreadBuffer().empty());
}

TEST(MonitorStartAndStop, TwoPrintersAreListedStartedAndStoppedInOrder) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->printers = {"Laser 1", "Plotter"};
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    CapturedWindow window;
    ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
    ASSERT_EQ(monitor.ThreadBuffer().size(), 2u);
    EXPECT_EQ(monitor.ThreadBuffer()[1].PrinterName, "Plotter");
    EXPECT_EQ(monitor.ThreadBuffer()[1].NameSize, 8u);
    EXPECT_EQ(monitor.ThreadBuffer()[1].Count, 2u);
    EXPECT_EQ(monitor.ThreadBuffer()[1].Self, &monitor.ThreadBuffer()[1]);
    threads.launch();
    ASSERT_TRUE(window.waitForWatcherLines(4));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));

    // The size is that of the 32-bit records: 12 bytes and the name with its zero each.
    const std::vector<std::string> expected =
        StartLinesUpToNames() +
        std::vector<std::string>{"Required size is: 40 Bytes",
                                 "Enumerated the printers successfully!",
                                 "Got required amount of memory for ThreadBuffer. (80 Bytes)",
                                 "",
                                 "Copying the following names:",
                                 "01. Laser 1",
                                 "02. Plotter",
                                 "Output will be written to: \"Laser_1.log\"",
                                 "Started thread successfully [Laser 1]",
                                 "-> Threadhandle = 000001A4",
                                 "Output will be written to: \"Plotter.log\"",
                                 "Started thread successfully [Plotter]",
                                 "-> Threadhandle = 000001A8"} +
        kEndLines + kStopLines;
    EXPECT_EQ(window.interfaceLines(), expected);
    const std::regex opened(R"re(\[\*\] \[T\] Openprinter\(\) called successfully for "(Laser 1|Plotter)" )re"
                            R"re(\[hPrinter = [0-9A-F]{8}\])re");
    std::vector<std::string> watcher = window.watcherLines();
    ASSERT_EQ(watcher.size(), 4u);
    std::vector<std::string> laser, plotter;
    for (const std::string& line : watcher)
        (line.find("Laser 1") != std::string::npos ? laser : plotter).push_back(line);
    ASSERT_EQ(laser.size(), 2u);
    ASSERT_EQ(plotter.size(), 2u);
    EXPECT_TRUE(std::regex_match(laser[0], opened)) << laser[0];
    EXPECT_EQ(laser[1], "[*] [T] Starting notification loop [Laser 1].");
    EXPECT_TRUE(std::regex_match(plotter[0], opened)) << plotter[0];
    EXPECT_EQ(plotter[1], "[*] [T] Starting notification loop [Plotter].");
    EXPECT_TRUE(monitor.ThreadBuffer().empty());
}

TEST(MonitorStartAndStop, ThreeBlankedNamesReportTheTableSizeAndTheirFileNames) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->printers = {"A B  C", "\\\\host\\Net Printer", "X"};
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    threads.failCreate = {3};
    CapturedWindow window;
    EXPECT_TRUE(monitor.InitNotificationThreads(spooler, threads));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads) == false); // the last entry had no thread to end
    const std::vector<std::string> lines = window.interfaceLines();
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("Got required amount of memory for ThreadBuffer. (120 Bytes)"));
    EXPECT_TRUE(has("Output will be written to: \"A_B__C.log\""));
    EXPECT_TRUE(has("Output will be written to: \"\\\\host\\Net_Printer.log\""));
    EXPECT_TRUE(has("Thread could not be started [X]"));
    EXPECT_TRUE(has("-> GetLastError = 8"));
    EXPECT_TRUE(has("Could not terminate thread number 3 [ThreadID = 00000000]"));
}

TEST(MonitorStartAndStop, FailedTerminationOfAMiddleWatcherIsReportedAndTheStopStillSucceeds) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->printers = {"One", "Two", "Three"};
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    threads.failTerminate = {2};
    CapturedWindow window;
    ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
    threads.launch();
    ASSERT_TRUE(window.waitForWatcherLines(6));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    const std::vector<std::string> lines = window.interfaceLines();
    const std::vector<std::string> tail(lines.end() - 5, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{kSeparator, "Starting finalisation.",
                                              "Could not terminate thread number 2 [ThreadID = 00000702]",
                                              "Finished finalisation.", kSeparator}));
}

TEST(MonitorStartAndStop, FailedTerminationOfTheLastWatcherFailsTheStop) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->printers = {"One", "Two", "Three"};
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    threads.failTerminate = {3};
    CapturedWindow window;
    ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
    threads.launch();
    EXPECT_FALSE(monitor.FInitnotificationThreads(threads));
    const std::vector<std::string> lines = window.interfaceLines();
    EXPECT_EQ(lines[lines.size() - 3], "Could not terminate thread number 3 [ThreadID = 00000703]");
}

TEST(MonitorStartAndStop, FailedSecondEnumerationEndsTheStartWithTheReasonAndNoEndLines) {
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->enumResults = {std::vector<spooler::PrinterInfo4>{{"Laser 1", "", 0}}, std::nullopt};
    spooler->enumError = spooler::ERROR_TIMEOUT;
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    CapturedWindow window;
    EXPECT_FALSE(monitor.InitNotificationThreads(spooler, threads));
    const std::vector<std::string> expected =
        StartLinesUpToNames() + std::vector<std::string>{"Required size is: 20 Bytes",
                                                         "Something went wrong during enumeration of the "
                                                         "Printers (GetLastError: 5B4)"};
    EXPECT_EQ(window.lines(), expected);
    EXPECT_FALSE(monitor.FInitnotificationThreads(threads));
}

TEST(MonitorStartAndStop, SecondRunStartsFreshWithANewLockAndTable) {
    Monitor monitor; // one window opened twice: each run builds its own table and lock
    auto spooler = std::make_shared<test::ScriptedSpooler>();
    spooler->printers = {"Laser 1"};
    CapturedWindow window;
    {
        HeldThreads threads;
        ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
        threads.launch();
        EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    }
    spooler->printers = {"Laser 1", "Plotter"};
    HeldThreads threads;
    ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
    ASSERT_EQ(monitor.ThreadBuffer().size(), 2u);
    EXPECT_NE(monitor.ThreadBuffer()[0].Lock, nullptr);
    EXPECT_EQ(monitor.ThreadBuffer()[0].Lock, monitor.ThreadBuffer()[1].Lock);
    threads.launch();
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    const std::vector<std::string> lines = window.interfaceLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Initialising critical section ..."), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "01. Laser 1"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "02. Plotter"), 1);
}

class WatcherTest : public ::testing::Test {
protected:
    void SetUp() override { spooler->printers = {"Laser 1", "Plotter"}; }
    void start() {
        ASSERT_TRUE(monitor.InitNotificationThreads(spooler, threads));
        threads.launch();
    }
    // The watcher lines of one printer: its open line dropped (the handle varies).
    std::vector<std::string> linesOf(const std::string& printer, std::size_t count) {
        EXPECT_TRUE(window.waitForWatcherLines(count));
        std::vector<std::string> result;
        for (const std::string& line : window.watcherLines())
            if (line.find(printer) != std::string::npos || line == "[*] " || line.find("NOTIFY") != std::string::npos ||
                line.find("FindNext") != std::string::npos || line.find("Trying") != std::string::npos)
                result.push_back(line);
        return result;
    }
    std::shared_ptr<test::ScriptedSpooler> spooler = std::make_shared<test::ScriptedSpooler>();
    HeldThreads threads;
    Monitor monitor; // goes first: it stops the watchers the threads above run
    CapturedWindow window;
};

TEST_F(WatcherTest, EventWritesSeparatorEventLineAndOneLinePerRecordInTheSpoolersOrder) {
    NotifyInfo block;
    block.aData = {
        Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_CJOBS, 2u),
        Record(spooler::JOB_NOTIFY_TYPE, spooler::JOB_NOTIFY_FIELD_DOCUMENT, std::string("report.pdf")),
        Record(spooler::JOB_NOTIFY_TYPE, spooler::JOB_NOTIFY_FIELD_DOCUMENT, std::string("photo.png")),
        Record(7, 0, 1u), // another type: no line
        Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_PRINTER_NAME, std::string("Laser 1"))};
    spooler->post("Laser 1", block);
    start();
    ASSERT_TRUE(window.waitForWatcherLines(10));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    std::vector<std::string> lines = window.watcherLines();
    // Plotter's lines may come in between; Laser 1's keep their order.
    std::erase_if(lines, [](const std::string& line) { return line.find("Plotter") != std::string::npos; });
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[1], "[*] [T] Starting notification loop [Laser 1].");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"[*] ", "[*] [T] ----->>> Got notification event [Laser 1]",
                                        "[*] [T] PRINTER_NOTIFY_FIELD_CJOBS: 2",
                                        "[*] [T] JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"report.pdf\"",
                                        "[*] [T] JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"photo.png\"",
                                        "[*] [T] PRINTER_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = "
                                        "\"Laser 1\""}));
}

TEST(WatcherStart, AServerTooBusyToOpenOrRegisterIsAskedAgainAndOnlyAMissingOrRefusedPrinterFails) {
    using namespace spooler;
    const std::string opened = "[*] [T] Openprinter() called successfully";
    const std::string looping = "[*] [T] Starting notification loop [P].";
    const std::string failed = "[*] [T] Openprinter() failed for \"P\"";
    const std::string invalid = "[*] [T] Invalid notification handle returned! (hNotify = INVALID_HANDLE_VALUE)";
    const struct {
        std::deque<std::uint32_t> openFailures, registerFailures;
        std::vector<std::string> lines; // their beginnings
    } rows[] = {
        {{ERROR_BUSY, ERROR_TIMEOUT}, {}, {opened, looping}},
        {{RPC_S_SERVER_UNAVAILABLE}, {ERROR_TIMEOUT, ERROR_BUSY}, {opened, looping}},
        {{ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY}, {ERROR_INVALID_PARAMETER}, {opened, looping}},
        {{ERROR_INVALID_PRINTER_NAME}, {}, {failed}},
        {{ERROR_BUSY, ERROR_ACCESS_DENIED}, {}, {failed}},
        {{}, {ERROR_NOT_SUPPORTED}, {opened, invalid}},
        {{}, {ERROR_TIMEOUT, ERROR_NOT_ENOUGH_MEMORY}, {opened, invalid}},
    };
    for (const auto& row : rows) {
        auto printer = std::make_shared<test::ScriptedSpooler>();
        printer->printers = {"P"};
        printer->openFailures["P"] = row.openFailures;
        printer->registerFailures["P"] = row.registerFailures;
        Monitor run;
        CapturedWindow lines;
        ASSERT_TRUE(run.InitNotificationThreads(printer));
        EXPECT_TRUE(lines.waitForWatcherLines(row.lines.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a line too many would come now
        run.FInitnotificationThreads();
        const std::vector<std::string> watcher = lines.watcherLines();
        ASSERT_EQ(watcher.size(), row.lines.size()) << row.openFailures.size() << "/" << row.registerFailures.size();
        for (std::size_t i = 0; i < watcher.size(); ++i) EXPECT_EQ(watcher[i].rfind(row.lines[i], 0), 0u) << watcher[i];
        EXPECT_TRUE(run.JoinWatcherThreads(std::chrono::seconds(2)));
    }
}

TEST_F(WatcherTest, FailedFetchIsReportedOnceAndTheWatcherGoesOn) {
    spooler->printers = {"Laser 1"};
    spooler->post("Laser 1", std::nullopt);
    NotifyInfo block;
    block.aData = {Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_CJOBS, 0u)};
    start();
    ASSERT_TRUE(window.waitForWatcherLines(5));
    spooler->post("Laser 1", block);
    ASSERT_TRUE(window.waitForWatcherLines(8));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    const std::vector<std::string> lines = window.watcherLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{
                  "[*] ", "[*] [T] ----->>> Got notification event [Laser 1]",
                  "[*] [T] No next notification handle: FindNextPrinterChangeNotification() = FALSE", "[*] ",
                  "[*] [T] ----->>> Got notification event [Laser 1]", "[*] [T] PRINTER_NOTIFY_FIELD_CJOBS: 0"}));
}

TEST_F(WatcherTest, DiscardedBlockIsFetchedAgainAndOnlyTheSecondIsDecoded) {
    spooler->printers = {"Laser 1"};
    NotifyInfo discarded;
    discarded.Flags = spooler::PRINTER_NOTIFY_INFO_DISCARDED;
    discarded.aData = {Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_CJOBS, 99u)};
    NotifyInfo second;
    second.aData = {Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_CJOBS, 3u)};
    spooler->post("Laser 1", discarded);
    spooler->queue("Laser 1", second);
    start();
    ASSERT_TRUE(window.waitForWatcherLines(6));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    const std::vector<std::string> lines = window.watcherLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"[*] ", "[*] [T] ----->>> Got notification event [Laser 1]",
                                        "[*] [T] Trying to get get notification again due to too small buffer "
                                        "(PRINTER_NOTIFY_INFO_DISCARDED).",
                                        "[*] [T] PRINTER_NOTIFY_FIELD_CJOBS: 3"}));
}

TEST_F(WatcherTest, UnopenablePrinterWritesOneLineAndClearsItsFlagWhileTheOthersGoOn) {
    spooler->unopenable = {"Laser 1"};
    spooler->unregistrable = {"Plotter"};
    start();
    ASSERT_TRUE(window.waitForWatcherLines(3));
    const std::shared_ptr<Watcher> laser = monitor.ThreadBuffer()[0].watcher;
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    std::vector<std::string> lines = window.watcherLines();
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[*] [T] Invalid notification handle returned! (hNotify = INVALID_HANDLE_VALUE)");
    EXPECT_EQ(lines[2], "[*] [T] Openprinter() failed for \"Laser 1\"");
    EXPECT_EQ(laser->Running, 0u);
}

TEST_F(WatcherTest, StoppedWatchersWriteNothingMoreAndReleaseTheirRegistrations) {
    start();
    ASSERT_TRUE(window.waitForWatcherLines(4));
    EXPECT_TRUE(monitor.FInitnotificationThreads(threads));
    const std::size_t before = window.lines().size();
    NotifyInfo block;
    block.aData = {Record(spooler::PRINTER_NOTIFY_TYPE, spooler::PRINTER_NOTIFY_FIELD_CJOBS, 1u)};
    spooler->post("Laser 1", block);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(window.lines().size(), before);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (spooler->registrations() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(spooler->registrations(), 0);
}

} // namespace
} // namespace quill::monitor
