#pragma once

// Requests to a CUPS server and their answers: building a request, walking and reading
// an answer, the URIs of the server's objects. CupsConnection.h sends them.
#include <cups/cups.h>
#include <cups/ipp.h>

#include <memory>
#include <string>

namespace quill::spooler {

struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

// Walks the objects of an answer (one attribute group each, in the server's order):
// onAttribute(name, attribute) for each attribute, onEnd() after each object.
template <typename OnAttribute, typename OnEnd>
void ForEachObject(ipp_t* answer, ipp_tag_t group, OnAttribute onAttribute, OnEnd onEnd) {
    for (ipp_attribute_t* attr = ippFirstAttribute(answer); attr; attr = ippNextAttribute(answer)) {
        if (ippGetGroupTag(attr) != group) {
            onEnd();
            continue;
        }
        if (const char* name = ippGetName(attr)) onAttribute(std::string(name), attr);
    }
    onEnd();
}

// Whether an answer of AskForList holds what was asked for (false: the server holds none).
bool Holds(ipp_t* answer);
// Why the server refused the request of this answer, in its own words (its status
// message, else the status's name); empty when the answer is a success. Send and
// AskForList check answers with it; a caller of Request does too.
std::string Refusal(ipp_t* answer);
// An attribute's first text value; empty when it has none.
std::string TextOf(ipp_attribute_t* attr);
// The first text value of the named attribute of an answer; empty when there is none.
std::string Text(ipp_t* answer, const char* name);
// The URI of a queue (or a class) of the server a request goes to; the name's bytes are
// %-encoded.
std::string PrinterUri(const std::string& queue);
// The URI of a queue of another computer's server: host as a name or an address (IPv6
// in brackets or not), port 0 for the usual one; an empty host is the local server.
std::string PrinterUri(const std::string& queue, const std::string& host, int port);
std::string ClassUri(const std::string& name);
// The URI of the server itself, for requests about all its queues and jobs.
inline constexpr const char* kServerUri = "ipp://localhost/";
// A new request about the object at uri (printer-uri) on behalf of this process's user
// (requesting-user-name); the caller adds the operation's own attributes.
ipp_t* NewRequest(ipp_op_t operation, const std::string& uri = kServerUri);
// The queue name at the end of a printer URI, decoded.
std::string QueueOfUri(const std::string& uri);

} // namespace quill::spooler
