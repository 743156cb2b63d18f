#include "spooler/PrinterName.h"

#include <cctype>
#include <unistd.h>

namespace quill::spooler {

std::string QueueName(const std::string& printerName) {
    constexpr std::size_t kMaxQueueName = 127;
    std::string queue;
    for (unsigned char c : printerName) {
        if (queue.size() == kMaxQueueName) break;
        bool refused = c < 0x20 || c == 0x7F || c == ' ' || c == '/' || c == '#' || c == '\\' || c == '?' ||
                       c == '\'' || c == '"';
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

bool IsLocalHost(const std::string& host) {
    if (host.empty()) return true;
    std::string lower;
    for (unsigned char c : host) lower += static_cast<char>(std::tolower(c));
    if (lower == "localhost" || lower == "127.0.0.1" || lower == "::1" || lower == "[::1]") return true;
    char own[256] = {};
    if (::gethostname(own, sizeof own - 1) != 0) return false;
    std::string ownLower;
    for (unsigned char c : std::string(own)) ownLower += static_cast<char>(std::tolower(c));
    // The computer's own name, with or without its domain.
    return lower == ownLower || ownLower.rfind(lower + ".", 0) == 0 || lower.rfind(ownLower + ".", 0) == 0;
}

} // namespace quill::spooler
