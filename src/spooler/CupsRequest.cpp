#include "spooler/CupsRequest.h"

#include "spooler/PrinterName.h"

namespace quill::spooler {

bool Holds(ipp_t* answer) { return ippGetStatusCode(answer) != IPP_STATUS_ERROR_NOT_FOUND; }

std::string Refusal(ipp_t* answer) {
    const ipp_status_t status = ippGetStatusCode(answer);
    if (status <= IPP_STATUS_OK_CONFLICTING) return "";
    const std::string message = Text(answer, "status-message");
    return message.empty() ? ippErrorString(status) : message;
}

std::string TextOf(ipp_attribute_t* attr) {
    const char* value = ippGetString(attr, 0, nullptr);
    return value ? value : "";
}

std::string Text(ipp_t* answer, const char* name) {
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_ZERO);
    return attr ? TextOf(attr) : "";
}

namespace {

std::string ObjectUri(const char* folder, const std::string& name, const std::string& host = "localhost",
                      int port = ippPort()) {
    // libcups puts an IPv6 address in brackets itself.
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    const std::string bare = bracketed ? host.substr(1, host.size() - 2) : host;
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, bare.c_str(), port, "/%s/%s", folder,
                     name.c_str());
    return uri;
}

} // namespace

std::string PrinterUri(const std::string& queue) { return ObjectUri("printers", queue); }

std::string PrinterUri(const std::string& queue, const std::string& host, int port) {
    return host.empty() ? PrinterUri(queue) : ObjectUri("printers", queue, host, port > 0 ? port : IPP_PORT);
}

std::string ClassUri(const std::string& name) { return ObjectUri("classes", name); }

ipp_t* NewRequest(ipp_op_t operation, const std::string& uri) {
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

std::string QueueOfUri(const std::string& uri) {
    const auto slash = uri.rfind('/');
    return PercentDecode(slash == std::string::npos ? uri : uri.substr(slash + 1));
}

} // namespace quill::spooler
