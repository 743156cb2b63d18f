// The monitor against a server that wants a password for what its threads ask: none of
// them falls back to libcups' own prompt on the terminal, which would wait there without
// a bound. The monitor runs in a child whose controlling terminal is a pty read here, so
// such a prompt would show (and hang) on it.
#include "monitor/MonitorDialog.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "spooler/CupsSpooler.h"

#include <QPlainTextEdit>
#include <QTest>

#include <cups/cups.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quill::monitor {
namespace {

using namespace std::chrono_literals;

// Set in the child: the server's TCP address, and whether the window is to be asked.
constexpr const char* kChildServer = "QUILL_TEST_CHILD_SERVER";
constexpr const char* kChildAsksWindow = "QUILL_TEST_CHILD_ASKS_WINDOW";

class MonitorPasswordTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv(kChildServer) && test::CupsSandbox::Possible()) s_cups = std::make_unique<test::CupsSandbox>();
    }
    static void TearDownTestSuite() { s_cups.reset(); }

    // In the child: a window opened, started and closed. Over the server's TCP address and
    // without its local certificate, CUPS asks for a password instead of taking root.
    static void RunMonitor(const std::string& server, bool asksWindow) {
        char folder[] = "/tmp/quill-no-certificate-XXXXXX";
        ASSERT_TRUE(::mkdtemp(folder));
        ::setenv("CUPS_STATEDIR", folder, 1);
        ::setenv("CUPS_SERVER", server.c_str(), 1);
        cupsSetServer(server.c_str());
        test::FakeDialogs dialogs; // cancels every password question
        {
            MonitorDialog window(std::make_shared<spooler::CupsSpooler>(), &dialogs);
            window.show();
            window.Start();
            const auto started = [&] {
                const QString text = window.TextBox->toPlainText();
                return text.contains("Finished initialisation.") || text.contains("InitNotificationThreads() failed");
            };
            EXPECT_TRUE(QTest::qWaitFor(started, 15000));
            QTest::qWait(2000); // the watchers' and the poller's requests
            window.close();
            EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
        }
        EXPECT_EQ(!dialogs.passwordPrompts.empty(), asksWindow);
        ::rmdir(folder);
    }

    // Runs this test as a child on a new pty; what the pty showed, and whether the child
    // passed within the bound (it is killed once it prompts there).
    static std::string RunChildOnPty(bool asksWindow, bool& passed) {
        // Made before the fork: the child only calls exec.
        std::vector<std::string> added = {kChildServer + ("=127.0.0.1:" + std::to_string(s_cups->port())),
                                          kChildAsksWindow + std::string(asksWindow ? "=1" : "=0")};
        std::vector<char*> env;
        for (char** variable = environ; *variable; ++variable) env.push_back(*variable);
        for (std::string& variable : added) env.push_back(variable.data());
        env.push_back(nullptr);
        int pty = -1;
        const pid_t child = ::forkpty(&pty, nullptr, nullptr, nullptr);
        if (child == 0) {
            ::execle("/proc/self/exe", "monitor_cups_tests", "--gtest_filter=MonitorPasswordTest.*", nullptr,
                     env.data());
            ::_exit(127);
        }
        std::string shown;
        const auto readFor = [&](int ms) {
            pollfd fd{pty, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = ::poll(&fd, 1, ms) > 0 ? ::read(pty, buffer, sizeof buffer) : 0;
            if (n > 0) shown.append(buffer, static_cast<std::size_t>(n));
            return n > 0;
        };
        int status = -1;
        const auto bound = std::chrono::steady_clock::now() + 40s;
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (!readFor(100)) ::poll(nullptr, 0, 10);
            if (shown.find("Password for") != std::string::npos || std::chrono::steady_clock::now() > bound) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
            }
        }
        while (readFor(0)) {
        }
        ::close(pty);
        passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return shown;
    }

    static inline std::unique_ptr<test::CupsSandbox> s_cups;
};

TEST_F(MonitorPasswordTest, NoThreadOfTheMonitorAsksOnTheTerminal) {
    if (const char* server = std::getenv(kChildServer)) {
        RunMonitor(server, std::string(std::getenv(kChildAsksWindow)) == "1");
        return;
    }
    QUILL_SKIP_WITHOUT_CUPSD(s_cups);
    struct Case {
        const char* threads;
        const char* operations; // those the server wants a password for
        bool asksWindow;        // the window's start worker asks through the window
    };
    const Case cases[] = {
        {"start worker", "CUPS-Get-Printers", true},
        // The watchers' first fetch reads the jobs; the poller cancels its subscription at the stop.
        {"watchers and poller", "Get-Jobs Cancel-Subscription", false},
    };
    s_cups->DeleteAllQueues();
    s_cups->AddQueue("Laser_1");
    s_cups->SubmitJob("Laser_1", "held", true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.threads);
        std::ofstream(s_cups->dir() + "/policy.conf")
            << "<Policy default>\n<Limit " << c.operations
            << ">\nAuthType Basic\nRequire user quill-nobody\nOrder deny,allow\n</Limit>\n"
               "<Limit All>\nOrder deny,allow\n</Limit>\n</Policy>\n";
        s_cups->Stop();
        s_cups->Start();
        bool passed = false;
        const std::string shown = RunChildOnPty(c.asksWindow, passed);
        EXPECT_TRUE(passed) << shown;
        EXPECT_EQ(shown.find("Password for"), std::string::npos) << shown;
    }
}

} // namespace
} // namespace quill::monitor
