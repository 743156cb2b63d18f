#include "spooler/PrinterName.h"

#include <cctype>
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

bool IsLocalHost(const std::string& host, const std::string& ownName) {
    if (host.empty()) return true;
    auto lower = [](const std::string& s) {
        std::string l;
        for (unsigned char c : s) l += static_cast<char>(std::tolower(c));
        return l;
    };
    const std::string name = lower(host), own = lower(ownName);
    if (name == "localhost" || name == "127.0.0.1" || name == "::1" || name == "[::1]") return true;
    // The computer's own name, with or without its domain.
    return name == own || own.rfind(name + ".", 0) == 0 || name.rfind(own + ".", 0) == 0;
}

bool IsLocalHost(const std::string& host) { return host.empty() || IsLocalHost(host, ThisComputerName()); }

} // namespace quill::spooler
