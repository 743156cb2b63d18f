// A request to another computer whose name server never answers: the lookup keeps to the
// connect bound and to the abort flag. The name server is a socket of the test's own that
// never answers, in a network and mount namespace of a child process (root only).
#include "spooler/CupsConnection.h"
#include "spooler/LastError.h"
#include "spooler/NameLookup.h"
#include "spooler/RequestAbort.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace quill::spooler;

namespace {

// In the child: a network of its own with loopback up, a socket on port 53 that reads
// nothing, and a resolv.conf that names it with a long resolver time-out. False when that
// cannot be made.
bool MakeSilentNameServer() {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    char conf[] = "/tmp/quill-resolv-XXXXXX";
    const int fd = ::mkstemp(conf);
    if (fd < 0) return false;
    ::close(fd);
    std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n";
    const bool mounted = ::mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(conf);
    if (!mounted) return false;
    const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq lo{};
    std::snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (::ioctl(control, SIOCSIFFLAGS, &lo) != 0) return false;
    ::close(control);
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0); // left open, never read
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Milliseconds that opening a connection to a server by name took, and whether one came.
long TimedOpen(bool& opened) {
    const auto start = std::chrono::steady_clock::now();
    opened = CupsConnection::Open("printserver.example.com") != nullptr;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace

TEST(NameLookup, AServerWhoseNameServerNeverAnswersCostsTheConnectBoundOrLessWhenAborted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a name server in a network namespace of the test's own";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!MakeSilentNameServer()) std::_Exit(2);
        bool opened = true;
        // The resolver alone would wait 2 x 5 s.
        const long bounded = TimedOpen(opened);
        if (opened || bounded > CupsConnection::kConnectTimeoutMs + 500) std::_Exit(3);
        if (GetLastError() != RPC_S_SERVER_UNAVAILABLE) std::_Exit(4);
        // A window that closes meanwhile: the lookup gives up at once.
        std::atomic<bool> abort{false};
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            abort = true;
        });
        long aborted;
        {
            const AbortScope scope(abort);
            aborted = TimedOpen(opened);
        }
        closer.join();
        std::_Exit(opened || aborted > 500 ? 5 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no network namespace could be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: not bounded, 4: wrong reason, 5: the abort was not heeded";
}

// An address written out is read at once, with its port, even when the time is up and the
// request was to give up: no name server is asked for it.
TEST(NameLookup, AnAddressWrittenOutIsReadAtOnceWithItsPort) {
    struct Case {
        const char* host;
        int family;
    };
    for (const Case& c : {Case{"127.0.0.1", AF_INET}, Case{"[::1]", AF_INET6}, Case{"::1", AF_INET6}}) {
        std::atomic<bool> abort{true};
        const AbortScope scope(abort);
        std::string reason;
        http_addrlist_t* list = LookUpServer(c.host, 8631, std::chrono::steady_clock::now(), reason);
        ASSERT_NE(list, nullptr) << c.host << ": " << reason;
        EXPECT_EQ(list->addr.addr.sa_family, c.family) << c.host;
        EXPECT_EQ(httpAddrPort(&list->addr), 8631) << c.host;
        httpAddrFreeList(list);
    }
}
