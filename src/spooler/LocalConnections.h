#pragma once

#include <cups/http.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace quill::spooler {

// The program's connections to this computer's print server. However many printers are
// watched and windows are open, at most kMax are open at a time (the server serves a
// limited number of clients, 100 by default, and refuses the others): a request waits for
// a place, and a connection that has answered is kept for the next request instead of
// being closed. Safe to use from every thread.
class LocalConnections {
public:
    static constexpr std::size_t kMax = 8;
    // A connection kept longer is closed rather than used again: the server may be about
    // to close it.
    static constexpr std::chrono::seconds kKeepFor{30};

    static LocalConnections& Instance();
    ~LocalConnections();

    // Waits until a place is free, up to `until` or the calling thread's abort. True with
    // the place taken and, in *idle, a kept connection to `server` to use again (checked
    // to be still open), or none to be made; false when no place came in time.
    bool Take(const std::string& server, std::chrono::steady_clock::time_point until, http_t** idle);
    // Gives a place back: with a connection to keep for the next request to `server`
    // (one that answered in full), or none.
    void Give(const std::string& server, http_t* keep);

private:
    LocalConnections() = default;
    struct Kept {
        std::string server;
        http_t* http;
        std::chrono::steady_clock::time_point since;
    };
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::size_t m_used = 0; // places taken, kept connections not counted
    std::vector<Kept> m_kept;
};

} // namespace quill::spooler
