#pragma once

#include "spooler/EndedJobs.h"
#include "spooler/NotificationHub.h"
#include "spooler/Spooler.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace quill::spooler {

// A registration: its printer, its readable-when-changed descriptor, and what the poller
// has seen for it since the last fetch. A fetch then reads the current values of the
// printer and of the jobs that changed since the last fetch (of every job after a gap in
// the events).
class CupsChangeNotification final : public ChangeNotification {
public:
    CupsChangeNotification(std::shared_ptr<CupsSpooler::NotificationHub> hub, std::string name, std::string queue)
        : m_name(std::move(name)), m_queue(std::move(queue)), m_watched(std::move(hub), QueueKey(m_queue)) {}
    int fd() const override { return m_watched.fd; }

    const std::string m_name;
    const std::string m_queue;
    CupsSpooler::Watched m_watched;
    // The fetching thread's own: the jobs named by events and not yet reported, whether
    // the next fetch reports everything, and the jobs seen open.
    std::set<std::uint32_t> m_named;
    bool m_refresh = false;
    EndedJobs m_ended;
};

} // namespace quill::spooler
