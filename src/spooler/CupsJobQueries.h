#pragma once

// The job records of a CUPS server: Get-Jobs and Get-Job-Attributes answers read into
// JobInfo2 records.
#include "spooler/CupsRequest.h"
#include "spooler/Spooler.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quill::spooler {

// A job's size in bytes from its job-k-octets: the record's 32 bits hold up to 4 GiB - 1,
// so a larger job shows that much rather than a wrapped small size.
constexpr std::uint32_t JobSizeBytes(int kOctets) {
    if (kOctets <= 0) return 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(kOctets) * 1024u;
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
}

class CupsConnection;
// The jobs of one Get-Jobs answer on a printer or server URI, in the server's order:
// whichJobs "not-completed", "completed" or "all", from firstJobId on when it is not 0;
// nullopt when the request failed.
std::optional<std::vector<JobInfo2>> AskForJobs(CupsConnection& connection, const std::string& uri,
                                                const char* whichJobs, std::uint32_t firstJobId,
                                                std::set<std::uint32_t>* incomplete = nullptr);
// Up to this many jobs are read one by one; more in listings from the oldest on.
inline constexpr std::size_t kJobsAskedOneByOne = 20;
// The records of the given jobs, open or ended, in id order, asked about the server's
// or one queue's jobs (uri); jobs the server no longer knows are left out; nullopt when a
// request failed. Into *incomplete (here and above): the jobs whose document is still on
// its way (CUPS sends no event when it has arrived).
std::optional<std::vector<JobInfo2>> AskForJobsById(CupsConnection& connection, const std::set<std::uint32_t>& ids,
                                                    const std::string& uri = kServerUri,
                                                    std::set<std::uint32_t>* incomplete = nullptr);

} // namespace quill::spooler
