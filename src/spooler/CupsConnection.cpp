#include "spooler/CupsConnection.h"

#include "spooler/LastError.h"
#include "spooler/LocalConnections.h"
#include "spooler/NameLookup.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/PrinterName.h"
#include "spooler/RequestAbort.h"
#include "spooler/SameServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <utility>

namespace quill::spooler {
namespace {

// How often a request that waits for the server looks at its deadline and abort flag.
constexpr double kWaitSliceSeconds = 0.1;

// Reads the IPP message from a memory buffer.
struct MemoryReader {
    const std::vector<unsigned char>* data;
    std::size_t at = 0;
};
ssize_t ReadMemory(void* context, ipp_uchar_t* buffer, size_t length) {
    auto* reader = static_cast<MemoryReader*>(context);
    const std::size_t n = std::min(length, reader->data->size() - reader->at);
    std::memcpy(buffer, reader->data->data() + reader->at, n);
    reader->at += n;
    return static_cast<ssize_t>(n);
}

constexpr const char* kTimedOut = "The print server did not answer in time.";

// Sets the thread's last failure to why a wait on the connection failed.
void FailConnection(http_t* http) {
    const int error = httpError(http);
    if (error == ETIMEDOUT || AbortScope::Requested()) {
        SetLastError(ERROR_TIMEOUT, kTimedOut);
        return;
    }
    SetLastError(RPC_S_SERVER_UNAVAILABLE, std::string("The print server cannot be reached: ") +
                                               (error ? std::strerror(error) : "it closed the connection"));
}

// A connection to the server made within the connect time, its name looked up within it
// too; nullptr with the reason.
http_t* ConnectWithin(const HostPort& server, http_encryption_t encryption, int timeoutMs, std::string& reason) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    http_addrlist_t* addresses = LookUpServer(server.host, server.port, until, reason);
    if (!addresses) return nullptr;
    // Made first and connected apart, so that the reason of a failed connect can still
    // be read from it (closing it would overwrite errno). It keeps a copy of the addresses.
    http_t* http = httpConnect2(server.host.c_str(), server.port, addresses, AF_UNSPEC, encryption, 1, 0, nullptr);
    httpAddrFreeList(addresses);
    // What is left of the second, but a moment at least: a slow lookup does not make a
    // connect to a server that answers at once fail.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (!http) {
        reason = cupsLastErrorString();
    } else if (httpReconnect2(http, std::max<int>(static_cast<int>(left.count()), 100), nullptr) != 0) {
        reason = std::strerror(httpError(http));
        httpClose(http);
        http = nullptr;
    }
    return http;
}

// A copy of a request that libcups has not sent yet, to be sent once more.
Ipp CopyOf(ipp_t* request) {
    Ipp copy(ippNew());
    int minor = 0;
    const int major = ippGetVersion(request, &minor);
    ippSetVersion(copy.get(), major, minor);
    ippSetOperation(copy.get(), ippGetOperation(request));
    ippSetRequestId(copy.get(), ippGetRequestId(request));
    ippCopyAttributes(copy.get(), request, 0, nullptr, nullptr);
    return copy;
}

} // namespace

std::unique_ptr<CupsConnection> CupsConnection::Open(const std::string& host, std::string* error, int port) {
    if (AbortScope::Requested()) {
        if (error) *error = kTimedOut;
        SetLastError(ERROR_TIMEOUT, kTimedOut);
        return nullptr;
    }
    const bool local = IsLocalHost(host);
    HostPort server = local ? HostPort{cupsServer(), ippPort()} : SplitHostPort(host, ippPort());
    if (!local && port > 0) server.port = port;
    // This computer's server is asked over one of the program's few connections to it.
    const std::string place = local ? server.host + ":" + std::to_string(server.port) : std::string();
    http_t* http = nullptr;
    if (local && !LocalConnections::Instance().Take(place, std::chrono::steady_clock::now() + kAnswerTimeout, &http)) {
        const std::string text = AbortScope::Requested()
                                     ? kTimedOut
                                     : "The print server is busy with the program's other requests; try again.";
        if (error) *error = text;
        SetLastError(AbortScope::Requested() ? ERROR_TIMEOUT : ERROR_BUSY, text);
        RecordFailure("Connect", text);
        return nullptr;
    }
    std::string reason;
    if (!http)
        http =
            ConnectWithin(server, local ? cupsEncryption() : HTTP_ENCRYPTION_IF_REQUESTED, kConnectTimeoutMs, reason);
    if (!http) {
        if (local) LocalConnections::Instance().Give(place, nullptr);
        const std::string text = "The print server " + server.host + " does not answer: " + reason;
        if (error) *error = text;
        SetLastError(RPC_S_SERVER_UNAVAILABLE, text);
        RecordFailure("Connect", text);
        return nullptr;
    }
    return std::unique_ptr<CupsConnection>(new CupsConnection(http, place));
}

CupsConnection::CupsConnection(http_t* http, std::string place) : m_http(http), m_place(std::move(place)) {
    httpSetTimeout(m_http, kWaitSliceSeconds, KeepWaiting, this);
}

CupsConnection::~CupsConnection() {
    if (m_place.empty()) {
        httpClose(m_http);
        return;
    }
    // Kept for the next request only when its last request was answered in full: nothing
    // of an earlier exchange can then be read as the next answer.
    if (!m_reusable) httpClose(m_http);
    LocalConnections::Instance().Give(m_place, m_reusable ? m_http : nullptr);
}

// Called by libcups after each slice without progress; 0 ends the wait as a failure.
int CupsConnection::KeepWaiting(http_t*, void* connection) {
    auto* self = static_cast<CupsConnection*>(connection);
    if (AbortScope::Requested()) return 0;
    const auto now = std::chrono::steady_clock::now();
    if (!self->m_authenticating) return now < self->m_deadline;
    // A look a slice after the last one continues a stall; a later one means libcups
    // made progress (or asked the user) in between, and a new stall begins.
    const auto slice = std::chrono::duration<double>(kWaitSliceSeconds);
    if (now - self->m_lastLook > 2 * slice)
        self->m_stallFrom = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(slice);
    self->m_lastLook = now;
    return now - self->m_stallFrom < kAnswerTimeout;
}

http_t* CupsConnection::Http() {
    m_reusable = false; // libcups' own calls may leave anything on it
    m_deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    return m_http;
}

Ipp CupsConnection::Request(ipp_t* request, const char* resource) {
    m_operation = ippGetOperation(request);
    Ipp response = RequestOnce(request, resource);
    // The reason, already the thread's last failure for the caller that shows it, goes to
    // the failure sink too.
    if (!response) RecordFailure(ippOpString(m_operation), GetLastErrorText());
    return response;
}

Ipp CupsConnection::RequestOnce(ipp_t* request, const char* resource) {
    Ipp owned(request);
    m_reusable = false;
    m_deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    // The request is posted without asking the server to confirm it first: libcups
    // would wait a fixed second for that confirmation, deaf to the deadline and abort.
    httpClearFields(m_http);
    httpSetField(m_http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
    httpSetLength(m_http, ippLength(request));
    if (httpPost(m_http, resource) != 0) {
        FailConnection(m_http);
        return nullptr;
    }
    ippSetState(request, IPP_STATE_IDLE);
    ipp_state_t state;
    while ((state = ippWrite(m_http, request)) != IPP_STATE_DATA)
        if (state == IPP_STATE_ERROR) {
            FailConnection(m_http);
            return nullptr;
        }
    http_status_t status = HTTP_STATUS_CONTINUE;
    while (status == HTTP_STATUS_CONTINUE) status = httpUpdate(m_http);
    if (status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_UPGRADE_REQUIRED) {
        httpFlush(m_http);
        return AskLibcups(std::move(owned), resource);
    }
    if (status != HTTP_STATUS_OK) {
        // A time-out or a refusal: the request is not sent again.
        if (status == HTTP_STATUS_ERROR) {
            FailConnection(m_http);
        } else if (status == HTTP_STATUS_SERVICE_UNAVAILABLE) {
            SetLastError(ERROR_BUSY, httpStatus(status));
        } else {
            const bool refused = status == HTTP_STATUS_FORBIDDEN || status == HTTP_STATUS_UNAUTHORIZED;
            SetLastError(refused ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER, httpStatus(status));
        }
        httpFlush(m_http);
        return nullptr;
    }
    // The answer is read in large blocks and parsed from memory: libcups reads it field
    // by field from the socket otherwise, a few system calls per attribute.
    std::vector<unsigned char> body;
    std::vector<unsigned char> block(65536);
    ssize_t n;
    while ((n = httpRead2(m_http, reinterpret_cast<char*>(block.data()), block.size())) > 0) {
        body.insert(body.end(), block.begin(), block.begin() + n);
        // Data that keeps coming is never a stall, so no deadline ends it: the size does.
        if (body.size() > kMaxAnswerBytes) {
            SetLastError(ERROR_INVALID_PARAMETER, "The print server's answer is over " +
                                                      std::to_string(kMaxAnswerBytes >> 20) +
                                                      " MB, more than any print server sends; it was not read.");
            // The rest is never read as the answer to a later request.
            httpShutdown(m_http);
            return nullptr;
        }
    }
    if (n < 0) {
        FailConnection(m_http);
        return nullptr;
    }
    MemoryReader reader{&body};
    Ipp response(ippNew());
    if (ippReadIO(&reader, ReadMemory, 1, nullptr, response.get()) != IPP_STATE_DATA) {
        SetLastError(ERROR_INVALID_PARAMETER, "The print server's answer cannot be read.");
        return nullptr;
    }
    m_reusable = true;
    return response;
}

// Authentication and encryption turns: libcups does the whole exchange, asking the
// thread's password callback. Its waits for the server stay bounded, each on its own,
// as the user may take longer than a deadline to answer in between.
Ipp CupsConnection::AskLibcups(Ipp request, const char* resource) {
    // On its local socket CUPS takes the user from the socket itself and refuses one who
    // may not administer it (403) without asking for a password, which it asks for over
    // TCP. So where someone can answer, a request the socket refuses is asked once more
    // over this computer's TCP address, where an administrator's name and password can
    // be given.
    // The name and password go only where the same server listens (SameServer.h), never
    // to whatever answers at localhost and the IPP port: that may be another user's program.
    Ipp again;
    const auto twin = PasswordScope::Active() ? TcpTwinOf(m_http, ippPort()) : std::nullopt;
    if (twin) again = CopyOf(request.get());
    Ipp response = AskLibcupsOnce(std::move(request), resource);
    if (response || !again || cupsLastError() != IPP_STATUS_ERROR_FORBIDDEN) return response;
    std::string reason;
    // A numeric address: libcups reconnects to the addresses of the name it was given.
    http_t* tcp = ConnectWithin(twin->address, cupsEncryption(), kConnectTimeoutMs, reason);
    if (!tcp) return nullptr; // the socket's refusal stands
    if (!ServedBy(tcp, *twin)) {
        httpClose(tcp);
        return nullptr;
    }
    httpClose(m_http);
    m_http = tcp;
    httpSetTimeout(m_http, kWaitSliceSeconds, KeepWaiting, this);
    return AskLibcupsOnce(std::move(again), resource);
}

Ipp CupsConnection::AskLibcupsOnce(Ipp request, const char* resource) {
    m_authenticating = true;
    m_lastLook = {};
    Ipp response(cupsDoRequest(m_http, request.release(), resource));
    m_authenticating = false;
    if (response) return response;
    // No answer at all: libcups' own status may then still say "successful".
    if (httpError(m_http) != 0) {
        FailConnection(m_http);
    } else {
        const char* reason = cupsLastErrorString();
        SetLastError(ERROR_ACCESS_DENIED, reason && *reason ? reason : ippErrorString(cupsLastError()));
    }
    return nullptr;
}

bool CupsConnection::Succeeded(ipp_t* answer) {
    const std::string refused = Refusal(answer);
    if (refused.empty()) return true;
    switch (ippGetStatusCode(answer)) {
    case IPP_STATUS_ERROR_NOT_FOUND: SetLastError(ERROR_INVALID_PRINTER_NAME); break;
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED: SetLastError(ERROR_ACCESS_DENIED); break;
    case IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED: SetLastError(ERROR_NOT_SUPPORTED); break;
    case IPP_STATUS_ERROR_BUSY:
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE: SetLastError(ERROR_BUSY); break;
    default: SetLastError(ERROR_INVALID_PARAMETER); break;
    }
    RecordFailure(ippOpString(m_operation), refused);
    return false;
}

Ipp CupsConnection::Send(ipp_t* request, const char* resource) {
    Ipp response = Request(request, resource);
    if (!response || !Succeeded(response.get())) return nullptr;
    return response;
}

Ipp CupsConnection::AskForList(ipp_t* request) {
    Ipp response = Request(request, "/");
    // CUPS says "not found" for an empty list as for a missing printer: an answer without
    // objects either way.
    if (!response || !Holds(response.get())) return response;
    if (!Succeeded(response.get())) return nullptr;
    return response;
}

} // namespace quill::spooler
