#include "spooler/CupsJobFeed.h"

#include "spooler/CupsConnection.h"
#include "spooler/CupsJobQueries.h"

namespace quill::spooler {

CupsJobFeed::CupsJobFeed(std::shared_ptr<CupsSpooler::NotificationHub> hub) : m_watched(std::move(hub), "") {}

CupsJobFeed::~CupsJobFeed() = default;

JobChanges CupsJobFeed::Take() {
    JobChanges changes;
    const bool discarded = m_watched.Take(changes.jobs, &changes.printers);
    changes.reload = m_first || discarded;
    m_first = false;
    const std::lock_guard<std::mutex> guard(m_mutex);
    changes.jobs.merge(m_incomplete);
    m_incomplete.clear();
    return changes;
}

std::optional<std::vector<JobInfo2>> CupsJobFeed::ReadJobs(const std::set<std::uint32_t>& ids) {
    if (!m_connection) m_connection = CupsConnection::Open("");
    if (!m_connection) return std::nullopt;
    std::set<std::uint32_t> incomplete;
    auto jobs = ids.empty() ? AskForJobs(*m_connection, kServerUri, "not-completed", 0, &incomplete)
                            : AskForJobsById(*m_connection, ids, kServerUri, &incomplete);
    if (!jobs) m_connection.reset(); // a new one next time
    const std::lock_guard<std::mutex> guard(m_mutex);
    m_incomplete.merge(incomplete);
    return jobs;
}

std::unique_ptr<JobFeed> CupsSpooler::WatchJobs() {
    auto feed = std::make_unique<CupsJobFeed>(Hub());
    if (!feed->m_watched.Join()) return nullptr;
    return feed;
}

} // namespace quill::spooler
