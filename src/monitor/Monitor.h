#pragma once

#include "monitor/NotificationThread.h"
#include "monitor/WatcherPool.h"
#include "spooler/Spooler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quill::monitor {

// The value of a thread handle that names no thread.
inline constexpr std::uint32_t kInvalidThreadHandle = 0xFFFFFFFF;

// One row of the thread table: a printer of the snapshot and its watcher.
struct ThreadEntry {
    std::uint32_t ThreadId = 0;
    std::uint32_t ThreadHandle = kInvalidThreadHandle;
    std::uint32_t Count = 0; // entries in the table, the same in every entry
    std::mutex* Lock = nullptr;
    ThreadEntry* Self = nullptr;
    std::uint32_t NameSize = 0;    // length of the printer name + 1
    std::uint32_t LogNameSize = 0; // length of the output file name + 1
    std::string PrinterName;
    std::optional<std::string> LogFileName;
    // What the watcher thread shares with the stop; also holds the entry's Running flag.
    std::shared_ptr<Watcher> watcher;
};

// How watchers are started and ended. Tests replace it to make a start or an end fail.
class ThreadControl {
public:
    ThreadControl() = default;
    // Watchers run on pool.
    explicit ThreadControl(std::shared_ptr<WatcherPool> pool) : m_pool(std::move(pool)) {}
    virtual ~ThreadControl() = default;
    // Starts a watcher: body begins it on the pool and returns at once; false when the
    // pool cannot run, with the platform's reason in error.
    virtual bool CreateThread(std::function<void()> body, std::uint32_t& threadId, std::uint32_t& handle,
                              std::uint32_t& error);
    // Ends an entry's watcher without waiting for it; false when that could not be made sure.
    virtual bool TerminateThread(ThreadEntry& entry);

private:
    std::shared_ptr<WatcherPool> m_pool;
};

// The printer activity monitor of one "Printer Activities" window: its lock (MonitorLock),
// its thread table (ThreadBuffer) and the pool its watchers run on, whose threads it
// joins. Its state is touched by one thread at a time: the thread that runs the start,
// then the one that runs the stop; no other window reaches it.
class Monitor {
public:
    Monitor();
    // Stops watchers still running and joins the pool's threads.
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Starts the monitor: a snapshot of the local printers, the thread table and one
    // watcher thread per printer, narrating every step in the activity log. True when the
    // table was built and a thread start was attempted for every entry. The spooler calls
    // it makes may each wait for the bounded request time.
    bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler, ThreadControl& threads);
    bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler);

    // Stops every watcher at once, without waiting for any, and releases the table and the
    // lock. True exactly when ending the last entry's watcher succeeded.
    bool FInitnotificationThreads(ThreadControl& threads);
    bool FInitnotificationThreads();

    // After the stop: ends the pool and joins its threads, waiting up to bound; true when
    // none is left. No watcher starts afterwards.
    bool JoinWatcherThreads(std::chrono::milliseconds bound);

    // The thread table; empty before the first start and after a stop.
    const std::vector<ThreadEntry>& ThreadBuffer() const;

private:
    const std::shared_ptr<WatcherPool> m_pool;
    ThreadControl m_control{m_pool};
    std::shared_ptr<std::mutex> m_monitorLock;
    std::optional<std::vector<ThreadEntry>> m_threadBuffer;
};

} // namespace quill::monitor
