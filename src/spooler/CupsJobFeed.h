#pragma once

#include "spooler/NotificationHub.h"
#include "spooler/Spooler.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace quill::spooler {

class CupsConnection;

// The job changes of every queue, and a connection of its own to read the jobs on.
class CupsJobFeed final : public JobFeed {
public:
    explicit CupsJobFeed(std::shared_ptr<CupsSpooler::NotificationHub> hub);
    ~CupsJobFeed() override;
    int fd() const override { return m_watched.fd; }
    JobChanges Take() override;
    std::optional<std::vector<JobInfo2>> ReadJobs(const std::set<std::uint32_t>& ids) override;

    CupsSpooler::Watched m_watched;

private:
    bool m_first = true;
    std::unique_ptr<CupsConnection> m_connection; // kept open from one read to the next
    // Jobs whose document had not arrived when they were read: read again at the next look.
    std::mutex m_mutex;
    std::set<std::uint32_t> m_incomplete;
};

} // namespace quill::spooler
