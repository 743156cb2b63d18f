#pragma once

#include "spooler/Spooler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quill::monitor {

// The watched fields of every fetch: eight job fields, then five printer fields, with the
// refresh flag, so each fetch brings the current values of all of them. Shared by all
// watchers, never changed.
const spooler::NotifyOptions& NotifyOptions();

// What one watcher thread shares with the monitor's stop. The watcher and the thread
// table each hold it, so a stop that releases the table leaves the watcher nothing
// dangling; after the stop has ended a watcher, that watcher writes no more lines.
class Watcher {
public:
    Watcher(std::shared_ptr<spooler::Spooler> spooler, std::string printerName, std::shared_ptr<std::mutex> lock);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Ends the watcher without waiting for a notification: its wait wakes, it writes no
    // further line and returns. Waits at most `bound` for a line the watcher is writing
    // at this moment; false when that line is still being written then (the watcher
    // still writes nothing after it).
    bool stop(std::chrono::milliseconds bound);

    // Set (all bits) by the start once the thread runs; cleared by a watcher whose
    // printer cannot be opened.
    std::atomic<std::uint32_t> Running{0};

private:
    friend void NotificationThread(std::shared_ptr<Watcher> watcher);
    // Writes "[T] " lines and event separators with the monitor's lock; false once stopped.
    bool log(std::string_view message);
    // Sleeps until the registration's descriptor is readable or the stop comes; false on the stop.
    bool waitForChange(const spooler::ChangeNotification& notification);

    std::shared_ptr<spooler::Spooler> m_spooler;
    const std::string m_printerName;
    const std::shared_ptr<std::mutex> m_lock; // MonitorLock of the run that started the watcher
    std::mutex m_gate;                        // guards m_stopped's change and m_writing
    std::condition_variable m_lineDone;
    bool m_writing = false; // a line is being written
    std::atomic<bool> m_stopped{false};
    int m_stopFd = -1; // an eventfd the stop makes readable
};

// The watcher thread's body: opens its printer, registers for change notifications and
// writes a line per record of every notification block until the stop ends it.
void NotificationThread(std::shared_ptr<Watcher> watcher);

} // namespace quill::monitor
