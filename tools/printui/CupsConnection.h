#pragma once

#include <cups/cups.h>

#include <memory>
#include <string>

namespace quill::printui {

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpClose>;

struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

// Where a printer of a parameter string lives: a queue of the server libcups talks to,
// or, for "host\queue", a queue of another computer's server.
struct PrinterAddress {
    std::string host; // empty for the local server
    int port = 0;     // the other computer's port
    std::string queue;
    bool local() const { return host.empty(); }
};
PrinterAddress AddressOf(const std::string& printerName);

// A connection whose waits are bounded: about a second to connect and a few seconds
// without progress on an answer, never repeated. Null with the reason when the server
// cannot be reached.
Http Connect(const PrinterAddress& address, std::string& error);

// The printer's URI as the server addresses it in requests.
std::string PrinterUri(const PrinterAddress& address);

// Sends the request (taking it over) and waits for the answer; libcups authenticates
// on the way when the server asks, through the thread's password callback. Null with
// CUPS' reason when the request failed.
Ipp Send(http_t* http, ipp_t* request, const char* resource, std::string& error);

// A new request with the operation's usual attributes (charset, language, the printer's
// URI and the user's name).
ipp_t* NewPrinterRequest(ipp_op_t operation, const PrinterAddress& address);

// An attribute's first text value; empty when it has none.
std::string TextOf(ipp_t* answer, const char* name);

} // namespace quill::printui
