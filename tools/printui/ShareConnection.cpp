#include "ShareConnection.h"

#include "spooler/CupsConnection.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <cups/cups.h>

namespace quill::printui {
namespace {

using spooler::CupsConnection;
using spooler::Ipp;
using spooler::NewRequest;

constexpr std::size_t kMaxQueueName = 127;

bool ValidHost(const std::string& host) {
    if (host.empty()) return false;
    const bool bracketed = host.front() == '[';
    if (bracketed && (host.size() < 3 || host.back() != ']')) return false;
    const std::string inner = bracketed ? host.substr(1, host.size() - 2) : host;
    for (unsigned char c : inner) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        const bool allowed = bracketed ? (alnum || c == ':' || c == '.') : (alnum || c == '-' || c == '.' || c == '_');
        if (!allowed) return false;
    }
    return true;
}

// Whether the local queue exists, and its device: nullopt with the reason when the
// server cannot tell.
struct LocalQueue {
    bool exists = false;
    std::string device;
};
std::optional<LocalQueue> ReadLocalQueue(CupsConnection& local, const std::string& queue, std::string& error) {
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, spooler::PrinterUri(queue));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "device-uri");
    const auto answer = local.AskForList(request);
    if (!answer) {
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }
    if (!spooler::Holds(answer.get())) return LocalQueue{};
    return LocalQueue{true, spooler::Text(answer.get(), "device-uri")};
}

// The local queue that prints to device already, made by hand or under an earlier
// name; empty when there is none, nullopt with the reason when the server cannot tell.
std::optional<std::string> QueuePrintingTo(CupsConnection& local, const std::string& device, std::string& error) {
    ipp_t* request = spooler::NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const kWanted[] = {"printer-name", "device-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    const auto answer = local.AskForList(request);
    if (!answer) {
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }
    std::string name, uri, found;
    spooler::ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& n, ipp_attribute_t* attr) {
            if (n == "printer-name") name = spooler::TextOf(attr);
            else if (n == "device-uri") uri = spooler::TextOf(attr);
        },
        [&] {
            if (found.empty() && uri == device) found = name;
            name.clear();
            uri.clear();
        });
    return found;
}

// Makes the raw queue; on any failure the queue is deleted again.
bool MakeQueue(CupsConnection& local, const std::string& queue, const std::string& device, const std::string& info,
               std::string& error) {
    const std::string uri = spooler::PrinterUri(queue);
    ipp_t* request = NewRequest(CUPS_ADD_MODIFY_PRINTER, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "ppd-name", nullptr, "raw");
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, device.c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, info.c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", 0);
    if (!local.Send(request, "/admin/")) {
        error = spooler::LastFailure().reason;
        // A request that timed out may still have been carried out.
        local.Send(NewRequest(CUPS_DELETE_PRINTER, uri), "/admin/");
        return false;
    }
    // A new queue starts stopped and rejecting jobs.
    if (local.Send(NewRequest(CUPS_ACCEPT_JOBS, uri), "/admin/") &&
        local.Send(NewRequest(IPP_OP_RESUME_PRINTER, uri), "/admin/"))
        return true;
    error = spooler::LastFailure().reason;
    local.Send(NewRequest(CUPS_DELETE_PRINTER, uri), "/admin/");
    return false;
}

} // namespace

std::optional<SharePath> ParseSharePath(const std::string& path, std::string& error) {
    if (path.size() < 3 || path.compare(0, 2, "\\\\") != 0 || path[2] == '\\') {
        error = "a shared printer is named \\\\server\\share";
        return std::nullopt;
    }
    const std::string rest = path.substr(2);
    const auto slash = rest.find('\\');
    if (slash == std::string::npos || slash + 1 == rest.size()) {
        error = "no share name follows the server";
        return std::nullopt;
    }
    SharePath parsed;
    parsed.share = rest.substr(slash + 1);
    if (parsed.share.find('\\') != std::string::npos) {
        error = "a share name holds no backslash";
        return std::nullopt;
    }
    for (unsigned char c : parsed.share)
        if (c < 0x20 || c == 0x7F) {
            error = "a share name holds no control characters";
            return std::nullopt;
        }
    const spooler::HostPort server = spooler::SplitHostPort(rest.substr(0, slash), 0);
    if (!ValidHost(server.host)) {
        error = "\"" + rest.substr(0, slash) + "\" is not a server name, an address or either with :port";
        return std::nullopt;
    }
    parsed.host = server.host;
    parsed.port = server.port;
    return parsed;
}

std::string RemoteQueue(const SharePath& path) { return spooler::QueueName(path.share); }

std::string ConnectionQueue(const SharePath& path) {
    // CUPS lists queues by name, ignoring case, and the main window preselects the first
    // whose name holds "QUILL": beginning with a word after the managed printer's name,
    // a connection never comes before the managed printer of this computer.
    const std::string prefix = "remote-";
    const std::string server = "@" + path.host + (path.port ? ":" + std::to_string(path.port) : "");
    std::string share = spooler::NewQueueName(path.share);
    if (prefix.size() + server.size() < kMaxQueueName)
        share = spooler::CutName(share, kMaxQueueName - prefix.size() - server.size());
    return spooler::NewQueueName(prefix + share + server);
}

std::string DeviceUri(const SharePath& path) { return spooler::PrinterUri(RemoteQueue(path), path.host, path.port); }

bool AddConnection(const std::string& path, std::string& outcome) {
    std::string error;
    const auto parsed = ParseSharePath(path, error);
    if (!parsed) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    if (spooler::IsLocalHost(parsed->host)) {
        outcome = "Cannot connect to " + path + ": " + parsed->host + " is this computer, whose printers are here";
        return false;
    }
    const std::string queue = ConnectionQueue(*parsed);
    const std::string device = DeviceUri(*parsed);

    // The shared printer must exist and answer before anything is made here.
    const auto remote = CupsConnection::Open(parsed->host, &error, parsed->port ? parsed->port : IPP_PORT);
    if (!remote) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, device);
    static const char* const kWanted[] = {"printer-name", "printer-is-shared"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    const Ipp answer = remote->Request(request);
    if (!answer) {
        outcome = "Cannot connect to " + path + ": " + spooler::LastFailure().reason;
        return false;
    }
    if (const std::string refused = spooler::Refusal(answer.get()); !refused.empty()) {
        outcome = "Cannot connect to " + path + ": " + parsed->host + " shares no printer " + RemoteQueue(*parsed) +
                  " (" + refused + ")";
        return false;
    }
    // CUPS answers for its printers that are not shared too, but takes no jobs for them
    // from other computers.
    ipp_attribute_t* shared = ippFindAttribute(answer.get(), "printer-is-shared", IPP_TAG_BOOLEAN);
    if (shared && !ippGetBoolean(shared, 0)) {
        outcome = "Cannot connect to " + path + ": " + parsed->host + " does not share " + RemoteQueue(*parsed);
        return false;
    }

    const auto local = CupsConnection::Open("", &error);
    if (!local) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    const auto existing = ReadLocalQueue(*local, queue, error);
    if (!existing) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    if (existing->exists) {
        const bool same = existing->device == device;
        outcome = same ? "This computer's printer " + queue + " prints to " + path + " already."
                       : "Cannot connect to " + path + ": the printer " + queue + " exists here and prints to " +
                             existing->device;
        return same;
    }
    const auto other = QueuePrintingTo(*local, device, error);
    if (!other) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    if (!other->empty()) {
        outcome = "This computer's printer " + *other + " prints to " + path + " already.";
        return true;
    }
    if (!MakeQueue(*local, queue, device, path, error)) {
        outcome = "Cannot connect to " + path + ": " + error;
        return false;
    }
    outcome = "This computer's printer " + queue + " now prints to the printer " + RemoteQueue(*parsed) + " of " +
              parsed->host + (parsed->port ? ":" + std::to_string(parsed->port) : "") + " (" + device + ").";
    return true;
}

} // namespace quill::printui
