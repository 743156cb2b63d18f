#include "CupsConnection.h"

#include "spooler/PrinterName.h"

namespace quill::printui {

PrinterAddress AddressOf(const std::string& printerName) {
    const spooler::PrinterPath path = spooler::SplitPrinterPath(printerName);
    PrinterAddress address;
    address.queue = spooler::QueueName(path.printer);
    if (spooler::IsLocalHost(path.host)) return address;
    const spooler::HostPort server = spooler::SplitHostPort(path.host, IPP_PORT);
    address.host = server.host;
    address.port = server.port;
    return address;
}

std::unique_ptr<spooler::CupsConnection> Connect(const PrinterAddress& address, std::string& error) {
    return spooler::CupsConnection::Open(address.host, &error, address.port);
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

} // namespace quill::printui
