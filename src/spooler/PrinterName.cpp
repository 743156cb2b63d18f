#include "spooler/PrinterName.h"

#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <mutex>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

namespace quill::spooler {

std::string QueueName(const std::string& printerName) {
    constexpr std::size_t kMaxQueueName = 127;
    std::string queue;
    for (unsigned char c : printerName) {
        if (queue.size() == kMaxQueueName) break;
        bool refused =
            c < 0x20 || c == 0x7F || c == ' ' || c == '/' || c == '#' || c == '\\' || c == '?' || c == '\'' || c == '"';
        queue += refused ? '_' : static_cast<char>(c);
    }
    return queue;
}

bool SameQueue(const std::string& a, const std::string& b) {
    const std::string qa = QueueName(a), qb = QueueName(b);
    if (qa.size() != qb.size()) return false;
    for (std::size_t i = 0; i < qa.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(qa[i])) != std::tolower(static_cast<unsigned char>(qb[i])))
            return false;
    }
    return true;
}

PrinterPath SplitPrinterPath(const std::string& name) {
    const auto slash = name.rfind('\\');
    if (slash == std::string::npos) return {"", name};
    std::size_t start = 0;
    while (start < slash && name[start] == '\\') ++start;
    return {name.substr(start, slash - start), name.substr(slash + 1)};
}

std::string ThisComputerName() {
    char own[256] = {};
    if (::gethostname(own, sizeof own - 1) != 0) return "localhost";
    return own;
}

namespace {

std::string AsciiLower(const std::string& s) {
    std::string lower;
    for (unsigned char c : s) lower += static_cast<char>(std::tolower(c));
    return lower;
}

} // namespace

ThisComputer::ThisComputer() : m_name(ThisComputerName()) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const int family = entry->ifa_addr->sa_family;
        const void* address = nullptr;
        if (family == AF_INET) address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        else if (family == AF_INET6) address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        if (address && ::inet_ntop(family, address, text, sizeof text)) m_addresses.push_back(AsciiLower(text));
    }
    ::freeifaddrs(list);
}

bool ThisComputer::Is(const std::string& host) const {
    if (host.empty()) return true;
    std::string name = AsciiLower(host);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (name == "localhost" || name == "127.0.0.1" || name == "::1") return true;
    for (const auto& address : m_addresses)
        if (name == address) return true;
    // The computer's own name, with or without its domain.
    const std::string own = AsciiLower(m_name);
    return name == own || own.rfind(name + ".", 0) == 0 || name.rfind(own + ".", 0) == 0;
}

std::shared_ptr<const ThisComputer> ThisComputer::Now() {
    constexpr auto kFresh = std::chrono::seconds(5);
    static std::mutex mutex;
    static std::shared_ptr<const ThisComputer> known;
    static std::chrono::steady_clock::time_point readAt;
    const std::lock_guard lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!known || now - readAt > kFresh) {
        known = std::make_shared<const ThisComputer>();
        readAt = now;
    }
    return known;
}

bool IsLocalHost(const std::string& host) { return host.empty() || ThisComputer::Now()->Is(host); }

HostPort SplitHostPort(const std::string& server, int defaultPort) {
    const auto colon = server.rfind(':');
    const bool bracketed = !server.empty() && server.front() == '[';
    // The port's colon is the only one of a name, or follows the bracket of an address.
    const bool hasPort =
        colon != std::string::npos && (bracketed ? colon > 0 && server[colon - 1] == ']' : server.find(':') == colon);
    const std::string digits = hasPort ? server.substr(colon + 1) : "";
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return {server, defaultPort};
    const int port = std::stoi(digits);
    if (port < 1 || port > 65535) return {server, defaultPort};
    return {server.substr(0, colon), port};
}

std::string PercentDecode(const std::string& text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

} // namespace quill::spooler
