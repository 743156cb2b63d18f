#include "TestPage.h"

#include <cstdlib>
#include <unistd.h>

namespace quill::printui {

std::string TestPageFile() {
    // Where libcups looks for CUPS' data too.
    const char* data = std::getenv("CUPS_DATADIR");
    return std::string(data && *data ? data : "/usr/share/cups") + "/data/testprint";
}

std::optional<int> PrintTestPage(const PrinterAddress& address, std::string& error) {
    const std::string file = TestPageFile();
    if (::access(file.c_str(), R_OK) != 0) {
        error = "CUPS' test page " + file + " is not installed (it comes with cups-filters).";
        return std::nullopt;
    }
    const auto connection = Connect(address, error);
    if (!connection) return std::nullopt;
    ipp_t* request = NewPrinterRequest(IPP_OP_PRINT_JOB, address);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "Test Page");
    // No document-format: the server recognises the banner description by its first line and
    // picks the filter its cups-filters version has for it.
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    const char* uri = ippGetString(ippFindAttribute(request, "printer-uri", IPP_TAG_URI), 0, nullptr);
    httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host, sizeof host, &port,
                    resource, sizeof resource);
    const Ipp answer(cupsDoFileRequest(connection->Http(), request, resource, file.c_str()));
    if (!answer || ippGetStatusCode(answer.get()) > IPP_STATUS_OK_CONFLICTING) {
        error = LibcupsFailure(connection->Http());
        return std::nullopt;
    }
    ipp_attribute_t* id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
    if (!id) {
        error = "the print server did not name the job";
        return std::nullopt;
    }
    return ippGetInteger(id, 0);
}

} // namespace quill::printui
