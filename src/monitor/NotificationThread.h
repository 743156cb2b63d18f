#pragma once

#include "monitor/WatcherPool.h"
#include "spooler/Spooler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

namespace quill::monitor {

// The watched fields of every fetch: eight job fields, then five printer fields, with the
// refresh flag, so each fetch brings the current values of all of them. Shared by all
// watchers, never changed.
const spooler::NotifyOptions& NotifyOptions();

// One printer's watcher: it opens its printer, registers for change notifications and
// writes a line per record of every notification block until the stop ends it. Its
// steps run one at a time as tasks of the monitor's WatcherPool, in the order a thread
// of its own would run them, and its lines come in that order. The watcher and the thread
// table each hold it, so a stop that releases the table leaves the watcher nothing
// dangling; after the stop has ended a watcher, that watcher writes no more lines.
class Watcher : public std::enable_shared_from_this<Watcher> {
public:
    Watcher(std::shared_ptr<spooler::Spooler> spooler, std::string printerName, std::shared_ptr<std::mutex> lock,
            std::weak_ptr<WatcherPool> pool);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Ends the watcher without waiting for a notification: it is no longer woken, its
    // request under way gives up, it writes no further line. Waits at most `bound` for a
    // line the watcher is writing at this moment; false when that line is still being
    // written then (the watcher still writes nothing after it).
    bool stop(std::chrono::milliseconds bound);

    // Set (all bits) by the start once the watcher runs; cleared by a watcher whose
    // printer cannot be opened.
    std::atomic<std::uint32_t> Running{0};

private:
    friend void NotificationThread(const std::shared_ptr<Watcher>& watcher);
    using Step = void (Watcher::*)();
    // Runs a step as one task: with the stop as its requests' abort flag, and without a
    // password prompt (a request the server wants one for fails).
    void run(Step step);
    void open();
    void registerForChanges();
    void handleChange();
    // Runs the step again after a growing pause: the server was busy, slow or restarting.
    void retry(Step step);
    // Handles the next change once the registration's descriptor is readable.
    void waitForChange();
    // Writes "[T] " lines and event separators with the monitor's lock; false once stopped.
    bool log(std::string_view message);

    const std::shared_ptr<spooler::Spooler> m_spooler;
    const std::string m_printerName;
    const std::shared_ptr<std::mutex> m_lock; // MonitorLock of the run that started the watcher
    const std::weak_ptr<WatcherPool> m_pool;
    std::mutex m_gate; // guards m_stopped's change and m_writing
    std::condition_variable m_lineDone;
    bool m_writing = false; // a line is being written
    std::atomic<bool> m_stopped{false};
    std::atomic<int> m_watchedFd{-1}; // the descriptor the pool watches for it
    // The steps' own, one step at a time.
    std::unique_ptr<spooler::PrinterHandle> m_printer;
    std::unique_ptr<spooler::ChangeNotification> m_notification;
    std::uint32_t m_change = spooler::PRINTER_CHANGE_ALL;
    std::chrono::milliseconds m_retryPause;
    std::minstd_rand m_random;
};

// The watcher's start routine: it begins on the monitor's pool and returns at once.
void NotificationThread(const std::shared_ptr<Watcher>& watcher);

} // namespace quill::monitor
