#include "spooler/LocalConnections.h"

#include "spooler/RequestAbort.h"

#include <poll.h>

namespace quill::spooler {
namespace {

// How often a request waiting for a place looks at its abort flag.
constexpr std::chrono::milliseconds kLookEvery{100};

// A kept connection is still usable when the server has not closed it (it closes idle
// ones after a while, and all when it restarts): nothing may be waiting to be read.
bool StillOpen(http_t* http) {
    pollfd fd{httpGetFd(http), POLLIN, 0};
    return fd.fd >= 0 && ::poll(&fd, 1, 0) == 0;
}

} // namespace

LocalConnections& LocalConnections::Instance() {
    static LocalConnections connections;
    return connections;
}

LocalConnections::~LocalConnections() {
    for (const Kept& kept : m_kept) httpClose(kept.http);
}

bool LocalConnections::Take(const std::string& server, std::chrono::steady_clock::time_point until, http_t** idle) {
    *idle = nullptr;
    std::vector<http_t*> stale;
    bool taken = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            // A kept connection to this server first; one to another server, or one the
            // server has closed, gives its place up.
            while (!m_kept.empty() && !*idle) {
                Kept kept = m_kept.back();
                m_kept.pop_back();
                if (kept.server == server && std::chrono::steady_clock::now() - kept.since < kKeepFor &&
                    StillOpen(kept.http))
                    *idle = kept.http;
                else stale.push_back(kept.http);
            }
            if (*idle || m_used + m_kept.size() < kMax) {
                ++m_used;
                taken = true;
                break;
            }
            if (AbortScope::Requested() || std::chrono::steady_clock::now() >= until) break;
            m_freed.wait_for(lock, kLookEvery);
        }
    }
    for (http_t* http : stale) httpClose(http);
    return taken;
}

void LocalConnections::Give(const std::string& server, http_t* keep) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        --m_used;
        if (keep) m_kept.push_back({server, keep, std::chrono::steady_clock::now()});
    }
    m_freed.notify_one();
}

} // namespace quill::spooler
