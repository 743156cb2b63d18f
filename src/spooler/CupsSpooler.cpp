#include "spooler/CupsSpooler.h"

#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsRequest.h"
#include "spooler/EndedJobs.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <algorithm>
#include <cstring>
#include <ctime>
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

namespace {

bool HasKeyword(ipp_attribute_t* reasons, const char* keyword) {
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i) {
        const char* value = ippGetString(reasons, i, nullptr);
        if (value && std::strstr(value, keyword)) return true;
    }
    return false;
}

// The job status bits of a job's state and state reasons.
std::uint32_t JobStatus(int state, ipp_attribute_t* reasons) {
    std::uint32_t status = 0;
    switch (state) {
    case IPP_JSTATE_HELD: status = JOB_STATUS_PAUSED; break;
    case IPP_JSTATE_PROCESSING: status = JOB_STATUS_PRINTING; break;
    case IPP_JSTATE_STOPPED: status = JOB_STATUS_PAUSED; break;
    case IPP_JSTATE_CANCELED: status = JOB_STATUS_DELETING | JOB_STATUS_DELETED; break;
    case IPP_JSTATE_ABORTED: status = JOB_STATUS_ERROR; break;
    case IPP_JSTATE_COMPLETED: status = JOB_STATUS_PRINTED; break;
    default: break;
    }
    if (HasKeyword(reasons, "job-incoming")) status |= JOB_STATUS_SPOOLING;
    if (HasKeyword(reasons, "offline")) status |= JOB_STATUS_OFFLINE;
    if (HasKeyword(reasons, "media-empty") || HasKeyword(reasons, "media-needed")) status |= JOB_STATUS_PAPEROUT;
    return status;
}

SystemTime ToSystemTime(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    SystemTime s;
    s.wYear = static_cast<std::uint16_t>(utc.tm_year + 1900);
    s.wMonth = static_cast<std::uint16_t>(utc.tm_mon + 1);
    s.wDayOfWeek = static_cast<std::uint16_t>(utc.tm_wday);
    s.wDay = static_cast<std::uint16_t>(utc.tm_mday);
    s.wHour = static_cast<std::uint16_t>(utc.tm_hour);
    s.wMinute = static_cast<std::uint16_t>(utc.tm_min);
    s.wSecond = static_cast<std::uint16_t>(utc.tm_sec);
    return s;
}

} // namespace

namespace {

// Asks for the job attributes that a JobInfo2 holds.
void AskForJobRecords(ipp_t* request) {
    static const char* const kWanted[] = {"job-id",
                                          "job-printer-uri",
                                          "job-originating-host-name",
                                          "job-originating-user-name",
                                          "job-name",
                                          "job-state",
                                          "job-state-reasons",
                                          "job-k-octets",
                                          "job-impressions-completed",
                                          "time-at-creation",
                                          "job-priority",
                                          "number-of-documents"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(sizeof kWanted / sizeof kWanted[0]), nullptr, kWanted);
}

// The jobs of an answer, in the server's order; into *incomplete the ids of those whose
// document has not arrived yet (their size is not known).
void AddJobRecords(ipp_t* answer, std::vector<JobInfo2>& jobs, std::set<std::uint32_t>* incomplete = nullptr) {
    // A job's "machine" is the computer it came from; jobs of this computer name it. CUPS
    // leaves the origin out of other users' jobs (as their owner and document): unknown,
    // it stays empty rather than being taken for this computer.
    const auto own = ThisComputer::Now();
    JobInfo2 job;
    int state = 0;
    ipp_attribute_t* reasons = nullptr;
    int documents = -1;
    bool any = false;
    auto flush = [&] {
        if (any) {
            job.Status = JobStatus(state, reasons);
            if (!job.pMachineName.empty() && own->Is(job.pMachineName)) job.pMachineName = own->name();
            if (incomplete && documents == 0 && !HasEnded(job)) incomplete->insert(job.JobId);
            jobs.push_back(job);
        }
        job = JobInfo2();
        state = 0;
        reasons = nullptr;
        documents = -1;
        any = false;
    };
    ForEachObject(
        answer, IPP_TAG_JOB,
        [&](const std::string& n, ipp_attribute_t* attr) {
            any = true;
            if (n == "job-id") job.JobId = static_cast<std::uint32_t>(ippGetInteger(attr, 0));
            else if (n == "job-printer-uri") job.pPrinterName = QueueOfUri(TextOf(attr));
            else if (n == "job-originating-host-name") job.pMachineName = TextOf(attr);
            else if (n == "job-originating-user-name") job.pUserName = TextOf(attr);
            else if (n == "job-name") job.pDocument = TextOf(attr);
            else if (n == "job-state") state = ippGetInteger(attr, 0);
            else if (n == "job-state-reasons") reasons = attr;
            else if (n == "job-k-octets") job.Size = JobSizeBytes(ippGetInteger(attr, 0));
            else if (n == "job-impressions-completed")
                job.PagesPrinted = static_cast<std::uint32_t>(ippGetInteger(attr, 0));
            else if (n == "time-at-creation" && ippGetValueTag(attr) == IPP_TAG_INTEGER)
                job.Submitted = ToSystemTime(static_cast<std::time_t>(ippGetInteger(attr, 0)));
            else if (n == "job-priority") job.Priority = static_cast<std::uint32_t>(ippGetInteger(attr, 0));
            else if (n == "number-of-documents") documents = ippGetInteger(attr, 0);
        },
        flush);
}

} // namespace

// The jobs of one Get-Jobs answer in the server's order.
std::optional<std::vector<JobInfo2>> AskForJobs(CupsConnection& connection, const std::string& uri,
                                                const char* whichJobs, std::uint32_t firstJobId,
                                                std::set<std::uint32_t>* incomplete) {
    ipp_t* request = NewRequest(IPP_OP_GET_JOBS, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, whichJobs);
    if (firstJobId)
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "first-job-id", static_cast<int>(firstJobId));
    AskForJobRecords(request);
    const auto answer = connection.AskForList(request);
    if (!answer) return std::nullopt;
    std::vector<JobInfo2> jobs;
    AddJobRecords(answer.get(), jobs, incomplete);
    return jobs;
}

std::optional<std::vector<JobInfo2>> AskForJobsById(CupsConnection& connection, const std::set<std::uint32_t>& ids,
                                                    const std::string& uri, std::set<std::uint32_t>* incomplete) {
    std::vector<JobInfo2> jobs;
    if (ids.empty()) return jobs;
    if (ids.size() <= kJobsAskedOneByOne) {
        for (std::uint32_t id : ids) {
            ipp_t* request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, uri);
            ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", static_cast<int>(id));
            AskForJobRecords(request);
            const auto answer = connection.AskForList(request);
            if (!answer) return std::nullopt;
            AddJobRecords(answer.get(), jobs, incomplete); // none when the server no longer knows it
        }
        return jobs;
    }
    // Many at once (a whole queue cancelled, say) come in listings from the oldest on. The
    // server cuts a listing short (at 500 jobs), so each next one starts after the last
    // job of the one before.
    for (std::uint32_t next = *ids.begin(); next <= *ids.rbegin();) {
        auto listed = AskForJobs(connection, uri, "all", next, incomplete);
        if (!listed) return std::nullopt;
        std::uint32_t last = 0;
        for (JobInfo2& job : *listed) {
            last = std::max(last, job.JobId);
            if (ids.count(job.JobId)) jobs.push_back(std::move(job));
        }
        if (last < next) break; // nothing from `next` on
        next = last + 1;
    }
    std::sort(jobs.begin(), jobs.end(), [](const JobInfo2& a, const JobInfo2& b) { return a.JobId < b.JobId; });
    return jobs;
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
