#include "Drivers.h"

#include "spooler/LastError.h"
#include "spooler/RequestAbort.h"

#include <algorithm>
#include <chrono>
#include <strings.h>

namespace quill::printui {
namespace {

struct UriParts {
    std::string scheme, host, resource;
    int port = 0;
};

std::optional<UriParts> Split(const std::string& uri) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                        &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return std::nullopt;
    return UriParts{scheme, host, resource, port};
}

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};

// Keeps libcups waiting for the device until the deadline, and not after the window's
// request to give up.
int KeepWaitingUntil(http_t*, void* deadline) {
    if (spooler::AbortScope::Requested()) return 0;
    return std::chrono::steady_clock::now() < *static_cast<std::chrono::steady_clock::time_point*>(deadline);
}

} // namespace

std::optional<std::vector<Driver>> ReadDrivers(const PrinterAddress& address, std::string& error) {
    const auto connection = Connect(address, error);
    if (!connection) return std::nullopt;
    static const char* const kAttributes[] = {"ppd-name", "ppd-make", "ppd-make-and-model"};
    ipp_t* request = spooler::NewRequest(IPP_OP_CUPS_GET_PPDS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(kAttributes)), nullptr, kAttributes);
    const Ipp answer = connection->AskForList(request);
    if (!answer) {
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }
    std::vector<Driver> drivers;
    Driver driver;
    spooler::ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& name, ipp_attribute_t* attr) {
            if (name == "ppd-name") driver.name = spooler::TextOf(attr);
            else if (name == "ppd-make") driver.make = spooler::TextOf(attr);
            else if (name == "ppd-make-and-model") driver.makeAndModel = spooler::TextOf(attr);
        },
        [&] {
            if (!driver.name.empty()) drivers.push_back(driver);
            driver = Driver();
        });
    std::stable_sort(drivers.begin(), drivers.end(), [](const Driver& a, const Driver& b) {
        return strcasecmp(a.makeAndModel.c_str(), b.makeAndModel.c_str()) < 0;
    });
    return drivers;
}

bool IsIppDevice(const std::string& deviceUri) {
    const auto parts = Split(deviceUri);
    if (!parts) return false;
    if (parts->scheme == "ipp" || parts->scheme == "ipps") return true;
    // dnssd://NAME._ipp._tcp.DOMAIN/...: the service type names the protocol.
    return parts->scheme == "dnssd" && (parts->host.find("._ipp._tcp") != std::string::npos ||
                                        parts->host.find("._ipps._tcp") != std::string::npos);
}

Ipp AskIppDevice(const std::string& deviceUri, const std::vector<const char*>& attributes, std::string& error) {
    const auto parts = Split(deviceUri);
    if (!parts || (parts->scheme != "ipp" && parts->scheme != "ipps")) {
        error = "the device is not asked directly";
        return Ipp();
    }
    const int port = parts->port > 0 ? parts->port : IPP_PORT;
    const http_encryption_t encryption =
        parts->scheme == "ipps" ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED;
    std::unique_ptr<http_t, HttpClose> http(
        httpConnect2(parts->host.c_str(), port, nullptr, AF_UNSPEC, encryption, 1, 2000, nullptr));
    if (!http) {
        error = "the device " + parts->host + " does not answer";
        return Ipp();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    httpSetTimeout(http.get(), 0.2, KeepWaitingUntil, &deadline);
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, deviceUri.c_str());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(attributes.size()), nullptr, attributes.data());
    Ipp answer(cupsDoRequest(http.get(), request, parts->resource.c_str()));
    if (!answer || ippGetStatusCode(answer.get()) > IPP_STATUS_OK_CONFLICTING) {
        error = cupsLastErrorString();
        return Ipp();
    }
    return answer;
}

std::optional<bool> SpeaksIppEverywhere(const std::string& deviceUri, std::string& error) {
    const Ipp answer = AskIppDevice(deviceUri, {"document-format-supported"}, error);
    if (!answer) return std::nullopt;
    ipp_attribute_t* formats = ippFindAttribute(answer.get(), "document-format-supported", IPP_TAG_MIMETYPE);
    for (const char* format : {"application/pdf", "image/pwg-raster", "image/urf"})
        if (formats && ippContainsString(formats, format)) return true;
    return false;
}

} // namespace quill::printui
