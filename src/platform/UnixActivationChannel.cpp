#include "platform/UnixActivationChannel.h"

#include "platform/Fd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quill::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The folder's paths can be longer than a socket address holds; the path through the
// process's own handle of the folder is short and reaches the same folder.
bool AddressIn(int folder, const std::string& fileName, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const int n =
        std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", folder, fileName.c_str());
    return n > 0 && static_cast<std::size_t>(n) < sizeof address.sun_path;
}

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, Remaining(deadline));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

} // namespace

std::string ActivationMessage(const std::string& token) { return kActivationGreeting + token + "\n"; }

std::optional<std::string> ParseActivationMessage(const std::string& message) {
    const std::string greeting = kActivationGreeting;
    if (message.compare(0, greeting.size(), greeting) != 0 || message.size() <= greeting.size()) return std::nullopt;
    std::string token = message.substr(greeting.size());
    if (token.back() != '\n') return std::nullopt;
    token.pop_back();
    if (token.size() > kMaxActivationToken) return std::nullopt;
    for (unsigned char c : token)
        if (c < 0x20 || c > 0x7e) return std::nullopt;
    return token;
}

ActivationListener::~ActivationListener() {
    ::close(m_fd);
    // A later copy that counted itself in may have put its own socket under the name.
    struct stat st {};
    if (::fstatat(m_folder, m_fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == m_device &&
        st.st_ino == m_inode)
        ::unlinkat(m_folder, m_fileName.c_str(), 0);
    ::close(m_folder);
}

std::optional<std::string> ActivationListener::Receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Fd peer(::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (peer.get() < 0) return std::nullopt;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.uid != ::geteuid())
        return std::nullopt;

    const std::size_t limit = std::strlen(kActivationGreeting) + kMaxActivationToken + 1;
    std::string message;
    char buffer[512];
    while (message.size() <= limit) {
        const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            message.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) break; // the peer has said all
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return std::nullopt;
        if (!WaitFor(peer.get(), POLLIN, deadline)) return std::nullopt;
    }
    return ParseActivationMessage(message);
}

UnixActivationChannel::UnixActivationChannel(std::vector<std::string> fallbackParents,
                                             std::chrono::milliseconds timeout)
    : m_fallbackParents(std::move(fallbackParents)), m_timeout(timeout) {}

UnixActivationChannel::~UnixActivationChannel() = default;

std::string UnixActivationChannel::SocketName(const std::string& key) {
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "quill-%u-%016llx.activate", static_cast<unsigned>(::getuid()),
                  static_cast<unsigned long long>(hash));
    return name;
}

bool UnixActivationChannel::Listen(const std::string& key) {
    m_listener.reset();
    auto folder = PrivateFolder::Open(m_fallbackParents);
    if (!folder) return false;
    Fd folderFd(::fcntl(folder->fd(), F_DUPFD_CLOEXEC, 0));
    if (folderFd.get() < 0) return false;
    const std::string fileName = SocketName(key);
    sockaddr_un address;
    if (!AddressIn(folderFd.get(), fileName, address)) return false;

    Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) return false;
    // This copy is the one counted in last, so a socket under the name is a dead copy's
    // or one that gives way to this copy.
    ::unlinkat(folderFd.get(), fileName.c_str(), 0);
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    struct stat st {};
    if (::fstatat(folderFd.get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (::listen(socket.get(), 8) != 0) {
        ::unlinkat(folderFd.get(), fileName.c_str(), 0);
        return false;
    }
    m_listener.reset(new ActivationListener(socket.release(), folderFd.release(), fileName, st.st_dev, st.st_ino));
    return true;
}

bool UnixActivationChannel::SendActivation(const std::string& key, const std::string& token) {
    const auto deadline = Clock::now() + m_timeout;
    auto folder = PrivateFolder::Open(m_fallbackParents);
    if (!folder) return false;
    sockaddr_un address;
    if (!AddressIn(folder->fd(), SocketName(key), address)) return false;
    Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) return false;
    // A socket file without a listener refuses at once; a listener whose queue is full is
    // retried until the deadline.
    while (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINPROGRESS) {
            if (!WaitFor(socket.get(), POLLOUT, deadline)) return false;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
            break;
        }
        if (errno != EAGAIN || Remaining(deadline) == 0) return false;
        ::usleep(10000);
    }
    const std::string message = ActivationMessage(token);
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::send(socket.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(socket.get(), POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace quill::platform
