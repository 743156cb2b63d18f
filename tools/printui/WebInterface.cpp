#include "WebInterface.h"

namespace quill::printui {
namespace {

std::string HostPort(const std::string& host, int port) {
    const bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
    return "http://" + (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The host and port of the URI the local server gives its first printer, or "".
std::string AskTheServer() {
    std::string error;
    Http http = Connect(PrinterAddress{}, error);
    if (!http) return "";
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const kWanted[] = {"printer-uri-supported"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 1, nullptr, kWanted);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
    Ipp answer = Send(http.get(), request, "/", error);
    const std::string uri = answer ? TextOf(answer.get(), "printer-uri-supported") : "";
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (uri.empty() || httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host,
                                       sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return "";
    return HostPort(host, port);
}

} // namespace

std::string WebInterfaceBase(const PrinterAddress& address) {
    if (!address.local()) return HostPort(address.host, address.port);
    const std::string server = cupsServer();
    if (server.empty() || server.front() != '/') return HostPort(server, ippPort());
    const std::string asked = AskTheServer();
    return asked.empty() ? HostPort("localhost", ippPort()) : asked;
}

} // namespace quill::printui
