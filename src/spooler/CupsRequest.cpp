#include "spooler/CupsRequest.h"

#include "spooler/PrinterName.h"
#include "spooler/RequestAbort.h"

#include <algorithm>
#include <cstring>
#include <vector>

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

} // namespace

std::unique_ptr<CupsConnection> CupsConnection::Open(const std::string& host) {
    if (AbortScope::Requested()) return nullptr;
    const bool local = IsLocalHost(host);
    const char* server = local ? cupsServer() : host.c_str();
    http_t* http = httpConnect2(server, ippPort(), nullptr, AF_UNSPEC,
                                local ? cupsEncryption() : HTTP_ENCRYPTION_IF_REQUESTED, 1, kConnectTimeoutMs, nullptr);
    if (!http) return nullptr;
    return std::unique_ptr<CupsConnection>(new CupsConnection(http));
}

CupsConnection::CupsConnection(http_t* http) : m_http(http) {
    httpSetTimeout(m_http, kWaitSliceSeconds, KeepWaiting, this);
}

CupsConnection::~CupsConnection() { httpClose(m_http); }

// Called by libcups after each slice without progress; 0 ends the wait as a failure.
int CupsConnection::KeepWaiting(http_t*, void* connection) {
    const auto* self = static_cast<const CupsConnection*>(connection);
    return !AbortScope::Requested() && std::chrono::steady_clock::now() < self->m_deadline;
}

Ipp CupsConnection::Request(ipp_t* request, const char* resource) {
    Ipp owned(request);
    m_deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    // The request is posted without asking the server to confirm it first: libcups
    // would wait a fixed second for that confirmation, deaf to the deadline and abort.
    httpClearFields(m_http);
    httpSetField(m_http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
    httpSetLength(m_http, ippLength(request));
    if (httpPost(m_http, resource) != 0) return nullptr;
    ippSetState(request, IPP_STATE_IDLE);
    ipp_state_t state;
    while ((state = ippWrite(m_http, request)) != IPP_STATE_DATA)
        if (state == IPP_STATE_ERROR) return nullptr;
    http_status_t status = HTTP_STATUS_CONTINUE;
    while (status == HTTP_STATUS_CONTINUE) status = httpUpdate(m_http);
    if (status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_UPGRADE_REQUIRED) {
        // Authentication and encryption turns: libcups does the whole exchange, under
        // the same deadline.
        httpFlush(m_http);
        return Ipp(cupsDoRequest(m_http, owned.release(), resource));
    }
    if (status != HTTP_STATUS_OK) {
        // A time-out or a refusal: the request is not sent again.
        httpFlush(m_http);
        return nullptr;
    }
    // The answer is read in large blocks and parsed from memory: libcups reads it field
    // by field from the socket otherwise, a few system calls per attribute.
    std::vector<unsigned char> body;
    std::vector<unsigned char> block(65536);
    ssize_t n;
    while ((n = httpRead2(m_http, reinterpret_cast<char*>(block.data()), block.size())) > 0)
        body.insert(body.end(), block.begin(), block.begin() + n);
    if (n < 0) return nullptr;
    MemoryReader reader{&body};
    Ipp response(ippNew());
    if (ippReadIO(&reader, ReadMemory, 1, nullptr, response.get()) != IPP_STATE_DATA) return nullptr;
    return response;
}

Ipp CupsConnection::Send(ipp_t* request, const char* resource) {
    Ipp response = Request(request, resource);
    if (!response || ippGetStatusCode(response.get()) > IPP_STATUS_OK_CONFLICTING) return nullptr;
    return response;
}

std::optional<Ipp> CupsConnection::AskForList(ipp_t* request) {
    Ipp response = Request(request, "/");
    if (!response) return std::nullopt;
    const ipp_status_t status = ippGetStatusCode(response.get());
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return Ipp();
    if (status > IPP_STATUS_OK_CONFLICTING) return std::nullopt;
    return response;
}

std::string TextOf(ipp_attribute_t* attr) {
    const char* value = ippGetString(attr, 0, nullptr);
    return value ? value : "";
}

std::string Text(ipp_t* answer, const char* name) {
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_ZERO);
    return attr ? TextOf(attr) : "";
}

std::string PrinterUri(const std::string& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                     queue.c_str());
    return uri;
}

std::string QueueOfUri(const std::string& uri) {
    const auto slash = uri.rfind('/');
    return PercentDecode(slash == std::string::npos ? uri : uri.substr(slash + 1));
}

} // namespace quill::spooler
