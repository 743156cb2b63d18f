#include "spooler/SameServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quill::spooler {
namespace {

constexpr int kListening = 0x0A;
constexpr int kPrivilegedPorts = 1024;

// A socket as /proc/net/tcp and /proc/net/tcp6 list it.
struct KernelSocket {
    std::string local; // address:port as the kernel writes them
    std::string remote;
    int state = 0;
    uid_t owner = 0;
};

// Every TCP socket of the computer; nullopt when the kernel's lists cannot be read.
std::optional<std::vector<KernelSocket>> KernelSockets() {
    std::vector<KernelSocket> sockets;
    bool read = false;
    for (const char* list : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(list);
        if (!in) continue;
        read = true;
        std::string line;
        std::getline(in, line); // the heading
        while (std::getline(in, line)) {
            char local[64] = {}, remote[64] = {};
            unsigned state = 0, owner = 0;
            if (std::sscanf(line.c_str(), " %*s %63s %63s %x %*s %*s %*s %u", local, remote, &state, &owner) == 4)
                sockets.push_back({local, remote, static_cast<int>(state), static_cast<uid_t>(owner)});
        }
    }
    if (!read) return std::nullopt;
    return sockets;
}

// An address and port written as the kernel's lists write them: each 32-bit word of the
// address in hexadecimal as the computer stores it, then the port. An IPv4 address also
// in its IPv6-mapped form, as a socket of both families lists it.
std::vector<std::string> KernelForms(const sockaddr_storage& address) {
    char text[64];
    std::vector<std::string> forms;
    auto word = [](const void* p) {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        return w;
    };
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        const unsigned port = ntohs(in.sin_port);
        std::snprintf(text, sizeof text, "%08X:%04X", word(&in.sin_addr), port);
        forms.emplace_back(text);
        const std::uint32_t mapped = htonl(0xFFFF);
        std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", 0u, 0u, mapped, word(&in.sin_addr), port);
        forms.emplace_back(text);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        const unsigned char* a = in6.sin6_addr.s6_addr;
        std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", word(a), word(a + 4), word(a + 8), word(a + 12),
                      ntohs(in6.sin6_port));
        forms.emplace_back(text);
    }
    return forms;
}

sockaddr_storage Numeric(const std::string& host, int port) {
    sockaddr_storage address{};
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    if (::inet_pton(AF_INET, host.c_str(), &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<std::uint16_t>(port));
    } else if (::inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
    }
    return address;
}

// The owner of the listeners that a connection to a loopback address at port may reach:
// those listening on that address or on every address of its family (IPv6 ones take
// IPv4 too); nullopt when there is none or they are not all one user's.
std::optional<uid_t> ListenerOwner(const std::vector<KernelSocket>& sockets, const std::string& host, int port) {
    std::vector<std::string> forms = KernelForms(Numeric(host, port));
    char any[64];
    std::snprintf(any, sizeof any, "00000000:%04X", static_cast<unsigned>(port));
    forms.emplace_back(any);
    std::snprintf(any, sizeof any, "00000000000000000000000000000000:%04X", static_cast<unsigned>(port));
    forms.emplace_back(any);
    std::optional<uid_t> owner;
    for (const auto& socket : sockets) {
        if (socket.state != kListening || std::find(forms.begin(), forms.end(), socket.local) == forms.end()) continue;
        if (owner && *owner != socket.owner) return std::nullopt;
        owner = socket.owner;
    }
    return owner;
}

bool SystemSocket(const std::string& path) {
    return path == "/run/cups/cups.sock" || path == "/var/run/cups/cups.sock";
}

} // namespace

std::optional<TcpTwin> TcpTwinOf(http_t* local, int port) {
    http_addr_t* address = httpGetAddress(local);
    if (!address || httpAddrFamily(address) != AF_LOCAL || port <= 0 || port > 65535) return std::nullopt;
    ucred server{};
    socklen_t length = sizeof server;
    if (::getsockopt(httpGetFd(local), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0) return std::nullopt;
    if (server.uid != 0 && server.uid != ::geteuid()) return std::nullopt;
    const auto sockets = KernelSockets();
    if (!sockets) {
        if (SystemSocket(address->un.sun_path) && port < kPrivilegedPorts)
            return TcpTwin{{"127.0.0.1", port}, server.uid};
        return std::nullopt;
    }
    for (const char* host : {"127.0.0.1", "::1"}) {
        const auto owner = ListenerOwner(*sockets, host, port);
        if (owner && *owner == server.uid) return TcpTwin{{host, port}, server.uid};
    }
    return std::nullopt;
}

bool ServedBy(http_t* tcp, const TcpTwin& twin) {
    sockaddr_storage own{}, peer{};
    socklen_t ownLength = sizeof own, peerLength = sizeof peer;
    const int fd = httpGetFd(tcp);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
        return false;
    const auto ownForms = KernelForms(own), peerForms = KernelForms(peer);
    // The server's end of this connection: it lists the server's address as its own and
    // ours as the remote one. It can take a moment after the connect to be listed.
    for (int look = 0; look < 20; ++look) {
        const auto sockets = KernelSockets();
        if (!sockets) return twin.address.port < kPrivilegedPorts;
        for (const auto& socket : *sockets) {
            const bool local = std::find(peerForms.begin(), peerForms.end(), socket.local) != peerForms.end();
            const bool remote = std::find(ownForms.begin(), ownForms.end(), socket.remote) != ownForms.end();
            if (local && remote) return socket.owner == twin.owner;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace quill::spooler
