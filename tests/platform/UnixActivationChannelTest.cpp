#include "platform/UnixActivationChannel.h"

#include "PrivateRuntime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quill;
using platform::UnixActivationChannel;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class UnixActivationChannelTest : public ::testing::Test {
protected:
    test::PrivateRuntime runtimeFolder{"quill-activation"};
    const std::string runtime = runtimeFolder.path;
    const std::string key = "/opt/quill/quill-server-management";

    std::string socketPath() const { return runtime + "/" + UnixActivationChannel::SocketName(key); }

    // A peer that writes raw bytes to the listening socket and keeps its end open.
    int connectRaw(const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketPath();
        EXPECT_LT(path.size(), sizeof address.sun_path);
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (!bytes.empty()) {
            // A long stream fills the socket's buffer; what is written is enough.
            const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            EXPECT_GT(sent, 0);
        }
        return fd;
    }
};

TEST_F(UnixActivationChannelTest, TokensPassFromASecondStartToTheRunningCopyUnchanged) {
    UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    struct stat st {};
    ASSERT_EQ(::stat(socketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    const std::string tokens[] = {
        "",                                                             // started without one
        "quill-launcher-1234-host-quill-server-management-0_TIME98765", // a startup id
        "d1c6e5a0-5d2b-4f7a-9c1e-3b8f2a7d4e10",                         // a compositor's token
        std::string(platform::kMaxActivationToken, 'x'),                // the longest taken
        "with spaces and ~!@#$%^&*()",
    };
    for (const std::string& token : tokens) {
        SCOPED_TRACE(token.substr(0, 40));
        UnixActivationChannel second;
        EXPECT_TRUE(second.SendActivation(key, token));
        const auto received = running.listener()->Receive();
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(*received, token);
    }
    EXPECT_FALSE(running.listener()->Receive().has_value()) << "nothing waits any more";
}

TEST_F(UnixActivationChannelTest, WithoutARunningCopyASecondStartFailsAtOnce) {
    // No socket at all, and the socket file that a killed copy left behind.
    UnixActivationChannel second;
    auto start = Clock::now();
    EXPECT_FALSE(second.SendActivation(key, "token"));
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath().copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale); // the file stays, nobody listens
    }
    EXPECT_FALSE(second.SendActivation(key, "token"));
    EXPECT_LT(Clock::now() - start, 200ms);

    // The next copy that runs replaces the stale socket and is reached.
    UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    EXPECT_TRUE(second.SendActivation(key, "after"));
    EXPECT_EQ(running.listener()->Receive().value_or("?"), "after");
}

TEST_F(UnixActivationChannelTest, MessagesThatAreNotRequestsAreRefusedAndLaterRequestsStillArrive) {
    UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    const std::string greeting = platform::kActivationGreeting;
    const struct {
        const char* what;
        std::string bytes;
    } garbage[] = {
        {"another protocol", "GET / HTTP/1.0\r\n\r\n"},
        {"another version", "QUILL-ACTIVATE 2\ntoken\n"},
        {"greeting alone", greeting},
        {"token without its end", greeting + "token"},
        {"control byte in the token", greeting + "tok\x01en\n"},
        {"second line", greeting + "token\nmore\n"},
        {"bytes above ASCII", greeting + "t\xc3\xa9\n"},
        {"token too long", greeting + std::string(platform::kMaxActivationToken + 1, 'x') + "\n"},
        {"endless stream", greeting + std::string(64 * 1024, 'x')},
        {"empty", ""},
    };
    for (const auto& g : garbage) {
        SCOPED_TRACE(g.what);
        const int peer = connectRaw(g.bytes);
        ::shutdown(peer, SHUT_WR);
        EXPECT_FALSE(running.listener()->Receive().has_value());
        ::close(peer);
    }
    UnixActivationChannel second;
    EXPECT_TRUE(second.SendActivation(key, "good"));
    EXPECT_EQ(running.listener()->Receive().value_or("?"), "good");
}

TEST_F(UnixActivationChannelTest, APeerThatSaysNothingHoldsTheRunningCopyOnlyBriefly) {
    UnixActivationChannel running;
    ASSERT_TRUE(running.Listen(key));
    const int peer = connectRaw(std::string(platform::kActivationGreeting) + "half"); // stays open
    const auto start = Clock::now();
    EXPECT_FALSE(running.listener()->Receive(100ms).has_value());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 1s);
    ::close(peer);
}

TEST_F(UnixActivationChannelTest, AnEndingCopyRemovesItsSocketButNotThatOfACopyThatReplacedIt) {
    {
        UnixActivationChannel alone;
        ASSERT_TRUE(alone.Listen(key));
    }
    EXPECT_FALSE(std::filesystem::exists(socketPath()));

    auto earlier = std::make_unique<UnixActivationChannel>();
    ASSERT_TRUE(earlier->Listen(key));
    UnixActivationChannel later;
    ASSERT_TRUE(later.Listen(key));
    earlier.reset();
    UnixActivationChannel second;
    EXPECT_TRUE(second.SendActivation(key, "to the later copy"));
    EXPECT_EQ(later.listener()->Receive().value_or("?"), "to the later copy");
}

TEST_F(UnixActivationChannelTest, CopiesAtOtherPathsListenApartWithinLongFolderNames) {
    // A private folder whose path alone is longer than a socket address.
    const std::string deep = runtime + "/" + std::string(120, 'd');
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
    UnixActivationChannel a, b;
    ASSERT_TRUE(a.Listen("/x/quill-server-management"));
    ASSERT_TRUE(b.Listen("/y/quill-server-management"));
    UnixActivationChannel second;
    EXPECT_TRUE(second.SendActivation("/y/quill-server-management", "to y"));
    EXPECT_FALSE(a.listener()->Receive().has_value());
    EXPECT_EQ(b.listener()->Receive().value_or("?"), "to y");
}

} // namespace
