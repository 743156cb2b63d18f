#include "spooler/EndedJobs.h"

namespace quill::spooler {

std::vector<std::uint32_t> EndedJobs::Next(const std::vector<JobInfo2>& open) {
    std::set<std::uint32_t> now;
    for (const auto& job : open) now.insert(job.JobId);
    std::vector<std::uint32_t> ended;
    for (std::uint32_t id : m_open)
        if (!now.count(id)) ended.push_back(id);
    m_open = std::move(now);
    return ended;
}

void EndedJobs::Seen(const std::vector<JobInfo2>& jobs) {
    for (const auto& job : jobs) {
        if (HasEnded(job)) m_open.erase(job.JobId);
        else m_open.insert(job.JobId);
    }
}

void EndedJobs::Unreported(const std::vector<std::uint32_t>& ids) { m_open.insert(ids.begin(), ids.end()); }

} // namespace quill::spooler
