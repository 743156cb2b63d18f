#pragma once

#include "monitor/NotificationThread.h"
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

// How watcher threads are created and ended. Tests replace it to make a creation or an
// end fail.
class ThreadControl {
public:
    virtual ~ThreadControl() = default;
    // Starts body on a new thread that runs at once; false when none could be created,
    // with the platform's reason in error.
    virtual bool CreateThread(std::function<void()> body, std::uint32_t& threadId, std::uint32_t& handle,
                              std::uint32_t& error);
    // Ends an entry's watcher without waiting for it; false when that could not be made sure.
    virtual bool TerminateThread(ThreadEntry& entry);
};

// Starts the monitor: a snapshot of the local printers, the thread table ThreadBuffer and
// one watcher thread per printer, narrating every step in the activity log. True when the
// table was built and a thread start was attempted for every entry. The spooler calls it
// makes may each wait for the bounded request time.
bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler, ThreadControl& threads);
bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler);

// Stops every watcher at once, without waiting for any, and releases the table and the
// lock. True exactly when ending the last entry's watcher succeeded.
bool FInitnotificationThreads(ThreadControl& threads);
bool FInitnotificationThreads();

// Joins the watcher threads that have ended, waiting up to bound for the others; true
// when no watcher thread is left. A watcher ends soon after its stop: its spooler
// requests give up at once.
bool JoinWatcherThreads(std::chrono::milliseconds bound);

// The thread table of the running monitor; empty before the first start and after a stop.
// Only the thread that runs the start and, after it, the stop reads it.
const std::vector<ThreadEntry>& ThreadBuffer();

} // namespace quill::monitor
