#include "spooler/PrinterName.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <mutex>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

namespace quill::spooler {

namespace {

constexpr std::size_t kMaxQueueName = 127;

// The length of the well-formed UTF-8 character at text[at] (shortest form, no surrogate,
// at most U+10FFFF); 0 when the bytes there are none.
std::size_t CharacterLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead == 0xED) length = 3, high = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else return 0;
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return length;
}

bool Refused(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == ' ' || c == '/' || c == '#' || c == '\\' || c == '?' || c == '\'' || c == '"';
}

// The name split into characters, each mapped; an invalid byte is a unit of its own,
// kept or (validOnly) made '_'. Cut to maxBytes between units.
std::string MapName(const std::string& name, std::size_t maxBytes, bool validOnly) {
    std::string mapped;
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = CharacterLength(name, at);
        std::string unit;
        if (length == 0) {
            unit = validOnly ? "_" : name.substr(at, 1);
            length = 1;
        } else if (length == 1) {
            unit = Refused(static_cast<unsigned char>(name[at])) ? "_" : name.substr(at, 1);
        } else {
            unit = name.substr(at, length);
        }
        if (mapped.size() + unit.size() > maxBytes) break;
        mapped += unit;
        at += length;
    }
    return mapped;
}

} // namespace

std::string QueueName(const std::string& printerName) { return MapName(printerName, kMaxQueueName, false); }

std::string NewQueueName(const std::string& printerName) { return MapName(printerName, kMaxQueueName, true); }

std::string CutName(const std::string& name, std::size_t maxBytes) {
    std::size_t end = 0;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = std::max<std::size_t>(CharacterLength(name, at), 1);
        if (at + length > maxBytes) break;
        at += length;
        end = at;
    }
    return name.substr(0, end);
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
