#include "app/ActivationReceiver.h"

#include "platform/UnixActivationChannel.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include "PrivateRuntime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quill;

namespace {

class ActivationReceiverTest : public ::testing::Test {
protected:
    test::PrivateRuntime runtimeFolder{"quill-receiver"};
    const std::string runtime = runtimeFolder.path;
    const std::string key = "/opt/quill/quill-server-management";
};

// The running copy's window, minimised behind another window, and a second start.
TEST_F(ActivationReceiverTest, SecondStartRestoresTheMinimisedWindowAndMakesItActive) {
    platform::UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    QWidget window;
    window.setWindowTitle("QUILL Server Management");
    window.resize(300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.showMinimized();
    QWidget other;
    other.show();
    other.activateWindow();
    EXPECT_TRUE(QTest::qWaitFor([&] { return other.isActiveWindow(); }, 3000));
    new app::ActivationReceiver(*running.listener(), window, std::chrono::milliseconds(50));

    platform::UnixActivationChannel second;
    ASSERT_TRUE(second.SendActivation(key, "token"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isMinimized(); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isActiveWindow(); }, 3000));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(std::getenv("XDG_ACTIVATION_TOKEN"), nullptr) << "the token must not reach later programs";
}

TEST_F(ActivationReceiverTest, GarbageOnTheSocketLeavesTheWindowAlone) {
    platform::UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.showMinimized();
    new app::ActivationReceiver(*running.listener(), window, std::chrono::milliseconds(50));

    const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (runtime + "/" + platform::UnixActivationChannel::SocketName(key))
        .copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string garbage = "QUILL-ACTIVATE 1\nnot\x07ok\n";
    ASSERT_EQ(::send(peer, garbage.data(), garbage.size(), MSG_NOSIGNAL), ssize_t(garbage.size()));
    ::close(peer);
    QTest::qWait(300);
    EXPECT_TRUE(window.isMinimized());

    // The listener still takes the next request.
    platform::UnixActivationChannel second;
    ASSERT_TRUE(second.SendActivation(key, ""));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isMinimized(); }, 3000));
}

} // namespace
