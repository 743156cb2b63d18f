#pragma once

#include "spooler/Spooler.h"

#include <cstdint>
#include <set>
#include <vector>

namespace quill::spooler {

// Whether a job record is the last one of its job: completed, cancelled or aborted.
inline bool HasEnded(const JobInfo2& job) {
    return (job.Status & (JOB_STATUS_DELETED | JOB_STATUS_ERROR | JOB_STATUS_PRINTED)) != 0;
}

// The jobs that one watcher of a job list has seen open, and which of them have ended
// since it last looked. CUPS lists only the open jobs; a job that has ended is gone from
// that list, and its last state must be asked for apart. Each watcher keeps its own:
// what one has seen says nothing about what another has.
class EndedJobs {
public:
    // Takes the jobs open now; returns the ids, ascending, of the jobs that were open at
    // the last call (or handed back with Unreported) and are not open now.
    std::vector<std::uint32_t> Next(const std::vector<JobInfo2>& open);
    // Takes records read apart from a listing (jobs that events named): the open ones are
    // watched from now on, the ended ones are not reported again.
    void Seen(const std::vector<JobInfo2>& jobs);
    // Ended jobs whose last state could not be read: the next call reports them again.
    void Unreported(const std::vector<std::uint32_t>& ids);

private:
    std::set<std::uint32_t> m_open;
};

} // namespace quill::spooler
