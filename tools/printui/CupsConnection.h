#pragma once

#include "spooler/CupsConnection.h"

#include <cups/cups.h>

#include <memory>
#include <string>

namespace quill::printui {

using spooler::Ipp;

// Where a printer of a parameter string lives: a queue of the server libcups talks to,
// or, for "host\queue" (the host with an optional ":port"), a queue of another
// computer's server.
struct PrinterAddress {
    std::string host; // empty for the local server
    int port = 0;     // the other computer's port
    std::string queue;
    bool local() const { return host.empty(); }
};
PrinterAddress AddressOf(const std::string& printerName);

// A connection to the printer's server whose requests have bounded times; null with
// the reason when the server cannot be reached.
std::unique_ptr<spooler::CupsConnection> Connect(const PrinterAddress& address, std::string& error);

// A new request with the operation's usual attributes (charset, language, the printer's
// URI and the user's name).
ipp_t* NewPrinterRequest(ipp_op_t operation, const PrinterAddress& address);

// Why a call of libcups' own on the connection (a request with a file, a PPD's download)
// failed, in words for the user: libcups tells a server that did not answer in time by
// errno's text, which then says "Success".
std::string LibcupsFailure(http_t* http);

} // namespace quill::printui
