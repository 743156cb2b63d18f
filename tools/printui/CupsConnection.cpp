#include "CupsConnection.h"

#include "spooler/PrinterName.h"
#include "spooler/RequestAbort.h"

#include <cerrno>

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

ipp_t* NewPrinterRequest(ipp_op_t operation, const PrinterAddress& address) {
    return spooler::NewRequest(operation, spooler::PrinterUri(address.queue, address.host, address.port));
}

std::string LibcupsFailure(http_t* http) {
    if (httpError(http) == ETIMEDOUT || spooler::AbortScope::Requested())
        return "The print server did not answer in time.";
    return cupsLastErrorString();
}

} // namespace quill::printui
