#include "monitor/NotificationThreads.h"

#include "monitor/ActivityLog.h"
#include "monitor/FormatLogText.h"
#include "monitor/MonitorText.h"
#include "spooler/LastError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

namespace quill::monitor {
namespace {

// How long the stop waits for a line a watcher is writing at that moment. Writing a line
// only appends to memory and the debug output, so this is ample unless something hangs.
constexpr std::chrono::milliseconds kLineBound{500};

// The monitor's state exists once; only the user-interface thread touches it.
std::shared_ptr<std::mutex> MonitorLock;
std::optional<std::vector<ThreadEntry>> threadBuffer;

// The owner of every watcher thread. A stop only signals a watcher and never waits for
// it, so its thread is joined once it has ended: when later threads are started, when
// the program ends, and at the latest when this goes (which first stops a monitor
// still running).
class WatcherThreads {
public:
    ~WatcherThreads() {
        if (threadBuffer)
            for (ThreadEntry& entry : *threadBuffer)
                if (entry.watcher) entry.watcher->stop(std::chrono::milliseconds(0));
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return AllEnded(); });
        lock.unlock();
        Join(std::chrono::milliseconds(0));
    }
    void Start(std::function<void()> body) {
        Join(std::chrono::milliseconds(0));
        const std::lock_guard<std::mutex> lock(m_mutex);
        Thread& thread = m_threads.emplace_back();
        try {
            thread.thread = std::thread([this, &thread, body = std::move(body)] {
                body();
                const std::lock_guard<std::mutex> ending(m_mutex);
                thread.ended = true;
                m_changed.notify_all();
            });
        } catch (...) {
            m_threads.pop_back();
            throw;
        }
    }
    // Waits up to bound for every thread to end and joins those that have.
    bool Join(std::chrono::milliseconds bound) {
        std::list<Thread> ended;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_until(lock, std::chrono::system_clock::now() + bound, [this] { return AllEnded(); });
            for (auto it = m_threads.begin(); it != m_threads.end();) {
                auto next = std::next(it);
                if (it->ended) ended.splice(ended.end(), m_threads, it);
                it = next;
            }
        }
        for (Thread& thread : ended) thread.thread.join();
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads.empty();
    }

private:
    struct Thread {
        std::thread thread;
        bool ended = false;
    };
    // With m_mutex held.
    bool AllEnded() const {
        return std::all_of(m_threads.begin(), m_threads.end(), [](const Thread& t) { return t.ended; });
    }

    std::mutex m_mutex; // guards m_threads and every entry's flag
    std::condition_variable m_changed;
    std::list<Thread> m_threads;
};

WatcherThreads& watcherThreads() {
    static WatcherThreads threads;
    return threads;
}

// The size a level-4 snapshot takes in the 32-bit layout: three 32-bit fields per record
// and each non-empty string with its terminating zero.
std::uint32_t SnapshotSize(const std::vector<spooler::PrinterInfo4>& printers) {
    std::uint32_t size = 0;
    for (const spooler::PrinterInfo4& printer : printers) {
        size += 12 + static_cast<std::uint32_t>(printer.pPrinterName.size() + 1);
        if (!printer.pServerName.empty()) size += static_cast<std::uint32_t>(printer.pServerName.size() + 1);
    }
    return size;
}

void Finish() {
    WriteLog("Finished initialisation.");
    WriteLog(kSeparatorLine);
    WriteLog("");
}

} // namespace

bool ThreadControl::CreateThread(std::function<void()> body, std::uint32_t& threadId, std::uint32_t& handle,
                                 std::uint32_t& error) {
    // Identifiers and handle values only name threads in the log; they count up.
    static std::atomic<std::uint32_t> nextId{0x1000};
    static std::atomic<std::uint32_t> nextHandle{0x1A0};
    try {
        watcherThreads().Start(std::move(body));
    } catch (const std::system_error& failure) {
        error = static_cast<std::uint32_t>(failure.code().value());
        return false;
    }
    threadId = nextId += 4;
    handle = nextHandle += 4;
    return true;
}

bool ThreadControl::TerminateThread(ThreadEntry& entry) {
    // An entry whose thread was never created names no thread, and ending it fails.
    if (!entry.watcher || entry.ThreadHandle == kInvalidThreadHandle) return false;
    return entry.watcher->stop(kLineBound);
}

bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler) {
    ThreadControl threads;
    return InitNotificationThreads(std::move(spooler), threads);
}

bool FInitnotificationThreads() {
    ThreadControl threads;
    return FInitnotificationThreads(threads);
}

bool JoinWatcherThreads(std::chrono::milliseconds bound) { return watcherThreads().Join(bound); }

const std::vector<ThreadEntry>& ThreadBuffer() {
    static const std::vector<ThreadEntry> none;
    return threadBuffer ? *threadBuffer : none;
}

bool InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler, ThreadControl& threads) {
    bool result = false;
    WriteLog(kSeparatorLine);
    WriteLog("Starting initialisation.");
    WriteLog("Initialising critical section ...");
    MonitorLock = std::make_shared<std::mutex>();
    WriteLog("Getting needed buffer size for printer information (PRINTER_INFO_4).");

    // The size query: a list with nothing in it means there is nothing to watch.
    const std::optional<std::vector<spooler::PrinterInfo4>> sized = spooler->EnumPrintersA(spooler::PRINTER_ENUM_LOCAL);
    if (sized && sized->empty()) {
        Finish();
        return false;
    }
    try {
        WriteLog(FormatLogText("Required size is: %d Bytes", {sized ? SnapshotSize(*sized) : 0u}));
        const std::optional<std::vector<spooler::PrinterInfo4>> snapshot =
            spooler->EnumPrintersA(spooler::PRINTER_ENUM_LOCAL);
        if (!snapshot) {
            WriteLog(FormatLogText("Something went wrong during enumeration of the Printers (GetLastError: %X)",
                                   {spooler::GetLastError()}));
            return false;
        }
        WriteLog("Enumerated the printers successfully!");

        const auto count = static_cast<std::uint32_t>(snapshot->size());
        try {
            threadBuffer.emplace(count);
            WriteLog(FormatLogText("Got required amount of memory for ThreadBuffer. (%d Bytes)",
                                   {ThreadBufferReportedSize(count)}));
        } catch (const std::bad_alloc&) {
            threadBuffer.reset();
            WriteLog("Failed to get required amount of memory for ThreadBuffer.");
        }
        WriteLog("");
        WriteLog("Copying the following names:");
        if (!threadBuffer) return false;

        std::vector<ThreadEntry>& table = *threadBuffer;
        for (std::uint32_t i = 0; i < count; ++i) {
            ThreadEntry& entry = table[i];
            try {
                const std::string& name = (*snapshot)[i].pPrinterName;
                // The copy ends at the name's first zero byte, as a zero-terminated copy does.
                entry.PrinterName = name.substr(0, name.find('\0'));
                entry.NameSize = static_cast<std::uint32_t>(entry.PrinterName.size() + 1);
                entry.Count = count;
                entry.Self = &entry;
                WriteLog(FormatLogText("%2.2d. %s", {i + 1, entry.PrinterName}));
            } catch (const std::bad_alloc&) {
                WriteLog("An exception occured while reading PRINTER_INFO_4 into ThreadBuffer. Catched.");
            }
        }

        const std::uint32_t entries = table.empty() ? 0 : table.front().Count;
        for (std::uint32_t i = 0; i < entries && i < table.size(); ++i) {
            ThreadEntry& entry = table[i];
            try {
                entry.LogFileName = OutputFileName(entry.PrinterName);
                entry.LogNameSize = static_cast<std::uint32_t>(entry.LogFileName->size() + 1);
                WriteLog(FormatLogText("Output will be written to: \"%s\"", {*entry.LogFileName}));
            } catch (const std::bad_alloc&) {
                entry.LogFileName.reset();
            }
            entry.Lock = MonitorLock.get();
            entry.ThreadHandle = kInvalidThreadHandle;
            entry.watcher = std::make_shared<Watcher>(spooler, entry.PrinterName, MonitorLock);
            // The flag is set before the thread runs, so a watcher that cannot open its
            // printer always leaves it cleared.
            entry.watcher->Running = 0xFFFFFFFF;
            std::uint32_t error = 0;
            const bool created = threads.CreateThread([watcher = entry.watcher] { NotificationThread(watcher); },
                                                      entry.ThreadId, entry.ThreadHandle, error);
            if (created) {
                WriteLog(FormatLogText("Started thread successfully [%s]\r\n-> Threadhandle = %8.8X",
                                       {entry.PrinterName, entry.ThreadHandle}));
            } else {
                entry.watcher->Running = 0;
                WriteLog(FormatLogText("Thread could not be started [%s]\r\n-> GetLastError = %d",
                                       {entry.PrinterName, error}));
            }
        }
        result = true;
    } catch (const std::exception&) {
        // There is no pending input/output error code here to show.
        WriteLog(FormatLogText("Handled some exception %d", {0}));
        result = false;
    }
    Finish();
    return result;
}

bool FInitnotificationThreads(ThreadControl& threads) {
    bool result = false;
    WriteLog(kSeparatorLine);
    WriteLog("Starting finalisation.");
    if (threadBuffer && !threadBuffer->empty()) {
        std::vector<ThreadEntry>& table = *threadBuffer;
        const std::uint32_t count = table.front().Count;
        for (std::uint32_t i = 0; i < count && i < table.size(); ++i) {
            if (threads.TerminateThread(table[i])) {
                result = (i == count - 1);
            } else {
                WriteLog(FormatLogText("Could not terminate thread number %d [ThreadID = %8.8X]",
                                       {i + 1, table[i].ThreadId}));
            }
        }
    }
    // Watchers keep their own reference to the lock, so one that was not ended in time
    // finds it still there; it writes nothing after being stopped.
    threadBuffer.reset();
    MonitorLock.reset();
    WriteLog("Finished finalisation.");
    WriteLog(kSeparatorLine);
    return result;
}

} // namespace quill::monitor
