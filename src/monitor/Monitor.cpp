#include "monitor/Monitor.h"

#include "monitor/ActivityLog.h"
#include "monitor/FormatLogText.h"
#include "monitor/MonitorText.h"
#include "spooler/LastError.h"

#include <atomic>
#include <cstdio>
#include <cerrno>
#include <exception>
#include <new>

namespace quill::monitor {
namespace {

// How long the stop waits for a line a watcher is writing at that moment. Writing a line
// only appends to memory and the debug output, so this is ample unless something hangs.
constexpr std::chrono::milliseconds kLineBound{500};
// How long the monitor's end waits for its threads at a time.
constexpr std::chrono::milliseconds kJoinBound{1500};

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
    // Identifiers and handle values only name watchers in the log; they count up.
    static std::atomic<std::uint32_t> nextId{0x1000};
    static std::atomic<std::uint32_t> nextHandle{0x1A0};
    int reason = ENOSYS;
    if (!m_pool || !m_pool->Start(reason)) {
        error = static_cast<std::uint32_t>(reason);
        return false;
    }
    // The watcher begins on the pool; this returns at once.
    const std::function<void()> begin = std::move(body);
    begin();
    threadId = nextId += 4;
    handle = nextHandle += 4;
    return true;
}

bool ThreadControl::TerminateThread(ThreadEntry& entry) {
    // An entry whose watcher was never started names none, and ending it fails.
    if (!entry.watcher || entry.ThreadHandle == kInvalidThreadHandle) return false;
    return entry.watcher->stop(kLineBound);
}

Monitor::Monitor() : m_pool(std::make_shared<WatcherPool>()) {}

Monitor::~Monitor() {
    if (m_threadBuffer)
        for (ThreadEntry& entry : *m_threadBuffer)
            if (entry.watcher) entry.watcher->stop(std::chrono::milliseconds(0));
    // The pool's threads end within a request's abort (a connect under way within its
    // second); none may be left holding the pool when it goes.
    if (!m_pool->Stop(kJoinBound)) {
        std::fputs("quill: waiting for the monitor's threads, which did not end in time\n", stderr);
        while (!m_pool->Stop(kJoinBound)) {
        }
    }
}

bool Monitor::InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler) {
    return InitNotificationThreads(std::move(spooler), m_control);
}

bool Monitor::FInitnotificationThreads() { return FInitnotificationThreads(m_control); }

bool Monitor::JoinWatcherThreads(std::chrono::milliseconds bound) { return m_pool->Stop(bound); }

const std::vector<ThreadEntry>& Monitor::ThreadBuffer() const {
    static const std::vector<ThreadEntry> none;
    return m_threadBuffer ? *m_threadBuffer : none;
}

bool Monitor::InitNotificationThreads(std::shared_ptr<spooler::Spooler> spooler, ThreadControl& threads) {
    bool result = false;
    WriteLog(kSeparatorLine);
    WriteLog("Starting initialisation.");
    WriteLog("Initialising critical section ...");
    m_monitorLock = std::make_shared<std::mutex>();
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
            m_threadBuffer.emplace(count);
            WriteLog(FormatLogText("Got required amount of memory for ThreadBuffer. (%d Bytes)",
                                   {ThreadBufferReportedSize(count)}));
        } catch (const std::bad_alloc&) {
            m_threadBuffer.reset();
            WriteLog("Failed to get required amount of memory for ThreadBuffer.");
        }
        WriteLog("");
        WriteLog("Copying the following names:");
        if (!m_threadBuffer) return false;

        std::vector<ThreadEntry>& table = *m_threadBuffer;
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
            entry.Lock = m_monitorLock.get();
            entry.ThreadHandle = kInvalidThreadHandle;
            entry.watcher = std::make_shared<Watcher>(spooler, entry.PrinterName, m_monitorLock, m_pool);
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

bool Monitor::FInitnotificationThreads(ThreadControl& threads) {
    bool result = false;
    WriteLog(kSeparatorLine);
    WriteLog("Starting finalisation.");
    if (m_threadBuffer && !m_threadBuffer->empty()) {
        std::vector<ThreadEntry>& table = *m_threadBuffer;
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
    m_threadBuffer.reset();
    m_monitorLock.reset();
    WriteLog("Finished finalisation.");
    WriteLog(kSeparatorLine);
    return result;
}

} // namespace quill::monitor
