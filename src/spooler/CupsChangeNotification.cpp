#include "spooler/CupsChangeNotification.h"

#include "spooler/CupsConnection.h"
#include "spooler/CupsJobQueries.h"
#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsShareNames.h"
#include "spooler/LastError.h"
#include "spooler/NotifyBlock.h"

#include <poll.h>

#include <cerrno>

namespace quill::spooler {

std::unique_ptr<ChangeNotification>
CupsSpooler::FindFirstPrinterChangeNotification(PrinterHandle& printer, std::uint32_t, const NotifyOptions&) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    // Only the printers of this computer are watched.
    if (!handle.host().empty()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto registration = std::make_unique<CupsChangeNotification>(Hub(), handle.printerName(), handle.queue());
    if (!registration->m_watched.Join()) return nullptr;
    // The jobs open now: one that ends later is reported even when the events that
    // named it were dropped. Without an answer only the events tell.
    if (const auto open = registration->m_watched.hub->OpenJobs(registration->m_watched.key))
        registration->m_ended.Next(*open);
    return registration;
}

bool CupsSpooler::WaitForSingleObject(ChangeNotification& notification, int timeoutMs) {
    pollfd ready{notification.fd(), POLLIN, 0};
    int result;
    while ((result = ::poll(&ready, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (result < 0) SetLastError(ERROR_INVALID_HANDLE);
    else if (result == 0) SetLastError(ERROR_TIMEOUT);
    return result > 0;
}

std::optional<NotifyInfo> CupsSpooler::FindNextPrinterChangeNotification(ChangeNotification& notification,
                                                                         std::uint32_t& change,
                                                                         const NotifyOptions& options) {
    auto& registration = static_cast<CupsChangeNotification&>(notification);
    const bool discarded = registration.m_watched.Take(registration.m_named);
    change = PRINTER_CHANGE_ALL;
    if (discarded) {
        // Events were lost: this block says so only, and the next fetch reports the
        // printer and every job, as a refresh does.
        registration.m_refresh = true;
        NotifyInfo block;
        block.Flags = PRINTER_NOTIFY_INFO_DISCARDED;
        return block;
    }

    // What the events named stays for the next fetch until this one has succeeded.
    const auto connection = CupsConnection::Open("");
    if (!connection) return std::nullopt;
    const std::string uri = PrinterUri(registration.m_queue);
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
    static const char* const kWanted[] = {"printer-state", "printer-state-reasons", "queued-job-count",
                                          "printer-is-shared"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    const Ipp printer = connection->Send(request);
    if (!printer) return std::nullopt;
    std::vector<JobInfo2> jobs;
    if (!registration.m_refresh) {
        // The jobs that events named, open or ended, with how they ended (also a job
        // cancelled before it ever started).
        auto named = AskForJobsById(*connection, registration.m_named);
        if (!named) return std::nullopt;
        jobs = std::move(*named);
        registration.m_ended.Seen(jobs);
        registration.m_named.clear();
    } else {
        // Every open job, and once more every job that has ended since the last fetch.
        // Ended jobs whose end cannot be read now are read by the next fetch.
        std::optional<std::vector<JobInfo2>> open = AskForJobs(*connection, uri, "not-completed", 0);
        if (!open) return std::nullopt;
        std::set<std::uint32_t> ended;
        for (std::uint32_t id : registration.m_ended.Next(*open)) ended.insert(id);
        std::set<std::uint32_t> openIds;
        for (const JobInfo2& job : *open) openIds.insert(job.JobId);
        for (std::uint32_t id : registration.m_named)
            if (!openIds.count(id)) ended.insert(id);
        jobs = std::move(*open);
        registration.m_named.clear();
        if (const auto finished = AskForJobsById(*connection, ended)) {
            jobs.insert(jobs.end(), finished->begin(), finished->end());
        } else {
            registration.m_named = std::move(ended);
        }
        registration.m_refresh = false;
    }

    ipp_attribute_t* state = ippFindAttribute(printer.get(), "printer-state", IPP_TAG_ENUM);
    ipp_attribute_t* reasons = ippFindAttribute(printer.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    ipp_attribute_t* queued = ippFindAttribute(printer.get(), "queued-job-count", IPP_TAG_INTEGER);
    ipp_attribute_t* shared = ippFindAttribute(printer.get(), "printer-is-shared", IPP_TAG_BOOLEAN);
    PrinterValues values;
    values.status = PrinterStatus(state ? ippGetInteger(state, 0) : IPP_PSTATE_IDLE, reasons);
    values.jobs = static_cast<std::uint32_t>(queued ? ippGetInteger(queued, 0) : 0);
    // The share name as the printer's full record gives it: none for a printer not shared.
    if (shared && ippGetBoolean(shared, 0))
        values.shareName = ShareName(*connection, registration.m_queue).value_or("");
    return BuildNotifyBlock(options, registration.m_name, values, jobs);
}

} // namespace quill::spooler
