#pragma once

#include "spooler/CupsRequest.h"

#include <cups/cups.h>
#include <cups/ipp.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quill::spooler {

// A connection to a CUPS server on which every request has a bounded time: the
// connect about a second, the whole answer a few seconds, never sent again after a
// time-out, and given up at once when the thread's AbortScope says so. A server that
// stops answering therefore costs a caller at most kAnswerTimeout per request.
class CupsConnection {
public:
    static constexpr int kConnectTimeoutMs = 1000;
    static constexpr std::chrono::milliseconds kAnswerTimeout{5000};
    // Far above any answer of a print server (thousands of jobs or printers take a few
    // megabytes): a server that sends more is refused before it fills the memory.
    static constexpr std::size_t kMaxAnswerBytes = std::size_t{64} << 20;

    // The local server (an empty host or a name of this computer) or another computer's,
    // given as "name" or "name:port" (IPv6 addresses in brackets), or with the port
    // apart (0: the one in the name, else the port libcups uses); nullptr when none
    // answers the connect in time, with the reason in *error when asked for. A connection
    // to this computer's server may be one that answered an earlier request; while the
    // program has LocalConnections::kMax of them open, this waits for one to be free.
    static std::unique_ptr<CupsConnection> Open(const std::string& host, std::string* error = nullptr, int port = 0);
    ~CupsConnection();
    CupsConnection(const CupsConnection&) = delete;
    CupsConnection& operator=(const CupsConnection&) = delete;

    // Sends the request (taking it) and reads the whole answer; nullptr when there is
    // none in time. The answer's status is the caller's to read.
    Ipp Request(ipp_t* request, const char* resource = "/");
    // The answer when its status is a success; nullptr otherwise.
    //
    // Every request that fails leaves the reason as the thread's LastFailure() (a
    // sentence for the user: the time-out, the connection's error, the server's refusal
    // or CUPS' reason) and hands it to the failure sink (LastError.h).
    Ipp Send(ipp_t* request, const char* resource = "/");
    // The answer to a request for a list of printers or jobs, or for one that may not
    // exist; nullptr when the request failed. When the server holds none of what was
    // asked for, its answer holds no objects (Holds tells).
    Ipp AskForList(ipp_t* request);

    // The connection for libcups' own calls (destinations, PPDs): the waits of the
    // calls that follow share a new deadline, kAnswerTimeout from now.
    http_t* Http();

private:
    CupsConnection(http_t* http, std::string place);
    static int KeepWaiting(http_t* http, void* connection);
    Ipp RequestOnce(ipp_t* request, const char* resource);
    Ipp AskLibcups(Ipp request, const char* resource);
    Ipp AskLibcupsOnce(Ipp request, const char* resource);
    bool Succeeded(ipp_t* answer);

    http_t* m_http;
    // Its place among the program's connections to this computer's server (LocalConnections);
    // empty for another computer's server.
    const std::string m_place;
    bool m_reusable = false;                 // its last request was answered in full
    ipp_op_t m_operation = IPP_OP_CUPS_NONE; // of the last request
    std::chrono::steady_clock::time_point m_deadline;
    // While libcups authenticates, which can wait for the user in between, only a wait
    // without progress is bounded: it began at m_stallFrom, the last look was m_lastLook.
    bool m_authenticating = false;
    std::chrono::steady_clock::time_point m_stallFrom;
    std::chrono::steady_clock::time_point m_lastLook;
};

} // namespace quill::spooler
