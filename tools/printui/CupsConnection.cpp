#include "CupsConnection.h"

#include "spooler/PrinterName.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quill::printui {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr double kAnswerTimeoutSeconds = 5.0;

// The answer did not come in time: give up instead of waiting again.
int GiveUp(http_t*, void*) { return 0; }

} // namespace

PrinterAddress AddressOf(const std::string& printerName) {
    const spooler::PrinterPath path = spooler::SplitPrinterPath(printerName);
    PrinterAddress address;
    address.queue = spooler::QueueName(path.printer);
    if (spooler::IsLocalHost(path.host)) return address;
    address.host = path.host;
    address.port = IPP_PORT;
    const auto colon = address.host.rfind(':');
    if (colon != std::string::npos && address.host.find(']') == std::string::npos && address.host.find(':') == colon) {
        address.port = std::atoi(address.host.c_str() + colon + 1);
        address.host.erase(colon);
    }
    return address;
}

Http Connect(const PrinterAddress& address, std::string& error) {
    const char* server = address.local() ? cupsServer() : address.host.c_str();
    const int port = address.local() ? ippPort() : address.port;
    http_t* http =
        httpConnect2(server, port, nullptr, AF_UNSPEC,
                     address.local() ? cupsEncryption() : HTTP_ENCRYPTION_IF_REQUESTED, 1, kConnectTimeoutMs, nullptr);
    if (!http) {
        error = std::string("The print server ") + server + " does not answer: " + std::strerror(errno);
        return nullptr;
    }
    httpSetTimeout(http, kAnswerTimeoutSeconds, GiveUp, nullptr);
    return Http(http);
}

std::string PrinterUri(const PrinterAddress& address) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr,
                     address.local() ? "localhost" : address.host.c_str(), address.local() ? ippPort() : address.port,
                     "/printers/%s", address.queue.c_str());
    return uri;
}

ipp_t* NewPrinterRequest(ipp_op_t operation, const PrinterAddress& address) {
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(address).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

Ipp Send(http_t* http, ipp_t* request, const char* resource, std::string& error) {
    Ipp answer(cupsDoRequest(http, request, resource));
    if (answer && ippGetStatusCode(answer.get()) <= IPP_STATUS_OK_CONFLICTING) return answer;
    // No answer at all: libcups' own status then still says "successful".
    if (!answer && httpError(http) != 0) {
        error = httpError(http) == ETIMEDOUT
                    ? "The print server did not answer in time."
                    : std::string("The print server cannot be reached: ") + std::strerror(httpError(http));
        return nullptr;
    }
    const char* reason = cupsLastErrorString();
    error = reason && *reason ? reason : ippErrorString(cupsLastError());
    return nullptr;
}

std::string TextOf(ipp_t* answer, const char* name) {
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_ZERO);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? value : "";
}

} // namespace quill::printui
