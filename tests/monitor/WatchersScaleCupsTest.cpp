// Hundreds of printers on a server that serves only a few clients at once: every printer
// is watched, none is reported as not opened, and the program stays within its few
// connections.
#include "monitor/Monitor.h"

#include "CapturedWindow.h"
#include "CupsSandbox.h"
#include "OpenSockets.h"
#include "spooler/CupsSpooler.h"
#include "spooler/LocalConnections.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quill::monitor {
namespace {

using namespace std::chrono_literals;

TEST(WatchersAtScale, EveryPrinterOfAServerWithFewClientPlacesIsWatched) {
    if (!test::CupsSandbox::Possible()) GTEST_SKIP() << "no cupsd here";
    constexpr int kPrinters = 300;
    test::CupsSandbox cups(false, "", test::CupsSandbox::Bus::None);
    // Fewer clients than the program's own connections: some of its requests wait or are
    // refused until another client has gone.
    std::ofstream(cups.dir() + "/policy.conf") << "MaxClients 4\n";
    std::vector<std::string> names;
    for (int i = 0; i < kPrinters; ++i) names.push_back("Printer_" + std::to_string(i));
    cups.ReplaceQueues(names);

    const int socketsBefore = test::OpenSockets();
    std::atomic<int> mostSockets{0};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            mostSockets = std::max(mostSockets.load(), test::OpenSockets() - socketsBefore);
            std::this_thread::sleep_for(5ms);
        }
    });
    CapturedWindow window;
    auto spooler = std::make_shared<spooler::CupsSpooler>();
    {
        Monitor monitor;
        ASSERT_TRUE(monitor.InitNotificationThreads(spooler));
        const auto loops = [&] {
            const std::vector<std::string> lines = window.watcherLines();
            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("Starting notification loop") != std::string::npos;
            });
        };
        EXPECT_TRUE(CapturedWindow::waitFor([&] { return loops() == kPrinters; }, 120s)) << loops();
        std::set<std::string> opened;
        int failed = 0;
        for (const std::string& line : window.watcherLines()) {
            if (line.find("Openprinter() failed") != std::string::npos) ++failed;
            const auto at = line.find("called successfully for \"");
            if (at != std::string::npos) opened.insert(line.substr(at + 25, line.find('"', at + 25) - at - 25));
        }
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(opened, std::set<std::string>(names.begin(), names.end()));
        EXPECT_TRUE(monitor.FInitnotificationThreads());
    }
    sampling = false;
    sampler.join();
    // The watchers' connections, and the poller's.
    EXPECT_LE(mostSockets.load(), static_cast<int>(spooler::LocalConnections::kMax) + 1);
}

} // namespace
} // namespace quill::monitor
