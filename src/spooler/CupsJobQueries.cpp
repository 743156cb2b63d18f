#include "spooler/CupsJobQueries.h"

#include "spooler/CupsConnection.h"
#include "spooler/EndedJobs.h"
#include "spooler/PrinterName.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace quill::spooler {

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

} // namespace quill::spooler
