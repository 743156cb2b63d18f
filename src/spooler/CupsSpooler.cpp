#include "spooler/CupsSpooler.h"

#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsConnection.h"
#include "spooler/CupsJobQueries.h"
#include "spooler/EndedJobs.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <algorithm>
#include <unistd.h>

namespace quill::spooler {

bool IsConnection(int printerType, const std::string& deviceUri, const ThisComputer& own) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (deviceUri.empty() ||
        httpSeparateURI(HTTP_URI_CODING_ALL, deviceUri.c_str(), scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return (printerType & CUPS_PRINTER_REMOTE) != 0;
    const std::string s = scheme;
    const bool network = s == "ipp" || s == "ipps" || s == "http" || s == "https";
    return network && !own.Is(host);
}

std::optional<std::vector<PrinterInfo4>> CupsSpooler::EnumPrintersA(std::uint32_t flags) {
    const auto connection = CupsConnection::Open("");
    if (!connection) return std::nullopt;
    ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const kWanted[] = {"printer-name", "printer-type", "device-uri", "printer-is-shared"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    // Printers only unless asked: classes are not printers of their own.
    if (!(flags & kEnumClasses)) {
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type", 0);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_CLASS);
    }
    const auto answer = connection->AskForList(request);
    if (!answer) return std::nullopt;
    std::vector<PrinterInfo4> printers;

    // Each printer is one attribute group; they come in the server's order.
    const auto own = ThisComputer::Now();
    std::string name, deviceUri;
    int type = 0;
    bool shared = false;
    auto flush = [&] {
        if (name.empty()) return;
        const bool remote = IsConnection(type, deviceUri, *own);
        const bool wanted = remote ? (flags & PRINTER_ENUM_CONNECTIONS) : (flags & PRINTER_ENUM_LOCAL);
        if (wanted && (!(flags & PRINTER_ENUM_SHARED) || shared)) {
            PrinterInfo4 info;
            info.pPrinterName = name;
            info.Attributes = (remote ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL) |
                              (shared ? PRINTER_ATTRIBUTE_SHARED : 0);
            printers.push_back(std::move(info));
        }
        name.clear();
        deviceUri.clear();
        type = 0;
        shared = false;
    };
    ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& n, ipp_attribute_t* attr) {
            if (n == "printer-name") name = TextOf(attr);
            else if (n == "device-uri") deviceUri = TextOf(attr);
            else if (n == "printer-type") type = ippGetInteger(attr, 0);
            else if (n == "printer-is-shared") shared = ippGetBoolean(attr, 0);
        },
        flush);
    return printers;
}

std::unique_ptr<PrinterHandle> CupsSpooler::OpenPrinterA(const std::string& name, std::uint32_t access) {
    const PrinterPath path = SplitPrinterPath(name);
    const std::string queue = QueueName(path.printer);
    if (queue.empty()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME, "No printer is named so.");
        return nullptr;
    }
    // Full access is to printers of this computer. Whether the user may change them is
    // CUPS' to decide when a change is made: it asks for a password where it must.
    if (access == PRINTER_ALL_ACCESS && !IsLocalHost(path.host)) {
        SetLastError(ERROR_ACCESS_DENIED, "A printer of another computer is changed on that computer only.");
        return nullptr;
    }
    const auto connection = CupsConnection::Open(path.host);
    if (!connection) return nullptr;
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(queue));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    Ipp response = connection->Send(request);
    if (!response) return nullptr;
    return std::make_unique<CupsPrinterHandle>(name, IsLocalHost(path.host) ? "" : path.host,
                                               Text(response.get(), "printer-name"));
}

std::optional<std::vector<JobInfo2>> CupsSpooler::Jobs(const std::string& host, const std::string& queue) {
    const auto connection = CupsConnection::Open(host);
    if (!connection) return std::nullopt;
    return AskForJobs(*connection, queue.empty() ? kServerUri : PrinterUri(queue), "not-completed", 0);
}

std::optional<std::vector<JobInfo2>> CupsSpooler::EnumJobsA(PrinterHandle& printer) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    return Jobs(handle.host(), handle.queue());
}

std::optional<std::vector<JobInfo2>> CupsSpooler::EnumAllJobs() { return Jobs("", ""); }

std::optional<std::vector<JobInfo2>> CupsSpooler::EnumEndedJobs(PrinterHandle* printer,
                                                                const std::vector<std::uint32_t>& ids) {
    if (ids.empty()) return std::vector<JobInfo2>();
    auto* handle = static_cast<CupsPrinterHandle*>(printer);
    const auto connection = CupsConnection::Open(handle ? handle->host() : "");
    if (!connection) return std::nullopt;
    auto asked =
        AskForJobsById(*connection, {ids.begin(), ids.end()}, handle ? PrinterUri(handle->queue()) : kServerUri);
    if (!asked) return std::nullopt;
    // Only those that have ended: one restarted meanwhile is listed open again.
    std::vector<JobInfo2> ended;
    for (auto& job : *asked)
        if (HasEnded(job)) ended.push_back(std::move(job));
    return ended;
}

bool CupsSpooler::SetJobA(PrinterHandle& printer, std::uint32_t jobId, std::uint32_t command) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    ipp_op_t operation;
    switch (command) {
    case JOB_CONTROL_PAUSE: operation = IPP_OP_HOLD_JOB; break;
    case JOB_CONTROL_RESUME: operation = IPP_OP_RELEASE_JOB; break;
    case JOB_CONTROL_CANCEL: operation = IPP_OP_CANCEL_JOB; break;
    case JOB_CONTROL_RESTART: operation = IPP_OP_RESTART_JOB; break;
    default: return false;
    }
    const auto connection = CupsConnection::Open(handle.host());
    if (!connection) return false;
    ipp_t* request = NewRequest(operation, PrinterUri(handle.queue()));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", static_cast<int>(jobId));
    return connection->Send(request, "/jobs") != nullptr;
}

} // namespace quill::spooler
