#include "monitor/ActivityLog.h"

#include "monitor/FormatLogText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quill::monitor {
namespace {

// A text box that keeps what it is given. It has no lock of its own on purpose: the
// log must never call it from two threads at once (ThreadSanitizer reports it if it does).
class FakeWindow : public LogWindow {
public:
    void showText(std::string_view text) override {
        shown = text;
        appended.clear();
    }
    void appendText(std::string_view line) override { appended.emplace_back(line); }

    std::string text() const {
        std::string all = shown;
        for (const std::string& line : appended) all += line;
        return all;
    }

    std::string shown;
    std::vector<std::string> appended;
};

class FakeDebugOutput : public platform::DebugOutput {
public:
    void write(std::string_view message) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_messages.emplace_back(message);
    }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_messages;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
};

class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override { log.setDebugOutput(debug); }

    ActivityLog log;
    std::shared_ptr<FakeDebugOutput> debug = std::make_shared<FakeDebugOutput>();
    std::mutex monitorLock;
};

TEST_F(ActivityLogTest, LinesOfTheInterfaceThreadAndOfWatchersHaveTheirForms) {
    FakeWindow window;
    log.openWindow(window);

    log.write("Starting initialisation.", nullptr);
    log.write("", nullptr);
    log.write("", &monitorLock);
    log.write("[T] " + FormatLogText("Starting notification loop [%s].", {"Laser 1"}), &monitorLock);
    log.write(FormatLogText("Started thread successfully [%s]\r\n-> Threadhandle = %8.8X", {"Laser 1", 0x1A4}),
              nullptr);

    const std::vector<std::string> lines = {
        "Starting initialisation.\r\n",
        "\r\n",
        "[*] \r\n",
        "[*] [T] Starting notification loop [Laser 1].\r\n",
        "Started thread successfully [Laser 1]\r\n-> Threadhandle = 000001A4\r\n",
    };
    std::string all;
    for (const std::string& line : lines) all += line;
    EXPECT_EQ(log.text(), all);
    // The window is handed each new line, never the whole text again.
    EXPECT_EQ(window.shown, "");
    EXPECT_EQ(window.appended, lines);
    EXPECT_EQ(debug->messages(), (std::vector<std::string>{
                                     "Starting initialisation.",
                                     "",
                                     "[*] ",
                                     "[*] [T] Starting notification loop [Laser 1].",
                                     "Started thread successfully [Laser 1]\r\n-> Threadhandle = 000001A4",
                                 }));
}

TEST_F(ActivityLogTest, LinesWrittenWhileNoWindowIsOpenReachTheDebugOutputOnly) {
    FakeWindow first;
    FakeWindow second;
    log.write("before", nullptr);
    log.openWindow(first);
    log.closeWindow(second); // not the open window: ignored
    log.write("first opening", nullptr);
    log.closeWindow(first);
    log.write("between", &monitorLock);
    log.openWindow(second);
    log.write("second opening", nullptr);
    log.closeWindow(second);
    log.write("after", nullptr);

    EXPECT_EQ(first.text(), "first opening\r\n");
    EXPECT_EQ(second.shown, "first opening\r\n");
    EXPECT_EQ(second.text(), "first opening\r\nsecond opening\r\n");
    EXPECT_EQ(log.text(), second.text());
    EXPECT_EQ(debug->messages(),
              (std::vector<std::string>{"before", "first opening", "[*] between", "second opening", "after"}));
}

TEST_F(ActivityLogTest, TheProcessLogTakesWriteLogLines) {
    FakeWindow window;
    activityLog().openWindow(window);
    WriteLog("[T] one", &monitorLock);
    WriteLog("two");
    activityLog().closeWindow(window);
    WriteLog("three");
    EXPECT_EQ(window.text(), window.shown + "[*] [T] one\r\ntwo\r\n");
    EXPECT_EQ(LogText(), window.text());
}

// Splits a log text into its lines; the text must end with a line end.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text does not end with CR LF";
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Several watchers write with the monitor's lock while the interface thread writes
// without it and opens and closes windows: every line stays whole, each writer's lines
// stay in order, and every window shows exactly the log text of its time.
TEST_F(ActivityLogTest, LinesFromSeveralThreadsStayWholeAndInOrder) {
    constexpr int kWatchers = 4;
    constexpr int kLinesEach = 1500;
    const std::string payload(100, '.');

    auto first = std::make_unique<FakeWindow>();
    log.openWindow(*first);

    std::atomic<bool> go{false};
    std::atomic<int> started{0};
    std::vector<std::thread> watchers;
    for (int w = 0; w < kWatchers; ++w) {
        watchers.emplace_back([&, w] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kLinesEach; ++i) {
                log.write(FormatLogText("[T] watcher %d line %d %s", {w, i, payload}), &monitorLock);
                if (i == 0) ++started;
            }
        });
    }

    go = true;
    // Every watcher writes while the first window is open, however the threads are
    // scheduled: on a busy machine they might otherwise all run while no window is.
    while (started < kWatchers) std::this_thread::yield();
    std::vector<std::unique_ptr<FakeWindow>> windows;
    windows.push_back(std::move(first));
    std::vector<std::string> textAtClose;
    for (int i = 0; i < kLinesEach; ++i) {
        log.write(FormatLogText("interface line %d %s", {i, payload}), nullptr);
        if (i % 300 == 299) {
            log.closeWindow(*windows.back());
            textAtClose.push_back(log.text());
            windows.push_back(std::make_unique<FakeWindow>());
            log.openWindow(*windows.back());
        }
    }
    for (std::thread& t : watchers) t.join();

    const std::string finalText = log.text();
    for (std::size_t i = 0; i + 1 < windows.size(); ++i) EXPECT_EQ(windows[i]->text(), textAtClose[i]);
    EXPECT_EQ(windows.back()->text(), finalText);

    std::vector<int> nextOfWatcher(kWatchers, 0);
    int nextOfInterface = 0;
    std::size_t watcherLines = 0;
    for (const std::string& line : splitLines(finalText)) {
        int writer = -1;
        int number = -1;
        char rest[128] = {};
        if (std::sscanf(line.c_str(), "[*] [T] watcher %d line %d %127s", &writer, &number, rest) == 3) {
            ASSERT_TRUE(writer >= 0 && writer < kWatchers) << line;
            EXPECT_GT(number, nextOfWatcher[writer] - 1) << line;
            nextOfWatcher[writer] = number + 1;
            ++watcherLines;
        } else {
            ASSERT_EQ(std::sscanf(line.c_str(), "interface line %d %127s", &number, rest), 2) << line;
            EXPECT_EQ(number, nextOfInterface) << line;
            nextOfInterface = number + 1;
        }
        EXPECT_EQ(std::string(rest), payload) << line;
    }
    // The interface thread always had a window open, so all of its lines are kept.
    EXPECT_EQ(nextOfInterface, kLinesEach);
    EXPECT_GE(watcherLines, static_cast<std::size_t>(kWatchers));
    EXPECT_EQ(debug->messages().size(), static_cast<std::size_t>(kLinesEach * (kWatchers + 1)));
}

} // namespace
} // namespace quill::monitor
