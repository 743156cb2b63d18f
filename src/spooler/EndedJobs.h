#pragma once

#include "spooler/Spooler.h"

#include <cstdint>
#include <set>
#include <vector>

namespace quill::spooler {

// The jobs that one watcher of a job list has seen open, and which of them have ended
// since it last looked. CUPS lists only the open jobs; a job that has ended is gone from
// that list, and its last state must be asked for apart. Each watcher keeps its own:
// what one has seen says nothing about what another has.
class EndedJobs {
public:
    // Takes the jobs open now; returns the ids, ascending, of the jobs that were open at
    // the last call (or handed back with Unreported) and are not open now.
    std::vector<std::uint32_t> Next(const std::vector<JobInfo2>& open);
    // Ended jobs whose last state could not be read: the next call reports them again.
    void Unreported(const std::vector<std::uint32_t>& ids);

private:
    std::set<std::uint32_t> m_open;
};

} // namespace quill::spooler
