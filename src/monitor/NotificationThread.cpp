#include "monitor/NotificationThread.h"

#include "monitor/ActivityLog.h"
#include "monitor/DescribeNotifyData.h"
#include "monitor/FormatLogText.h"
#include "spooler/LastError.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include <algorithm>
#include <functional>

namespace quill::monitor {
namespace {

// A server too busy to answer is asked again after a pause that doubles up to the longest.
constexpr std::chrono::milliseconds kFirstRetry{200};
constexpr std::chrono::milliseconds kLongestRetry{10000};

// Whether the last request failed because of the printer (it does not exist, or access to
// it is refused) rather than because the server was busy, slow, restarting or not there:
// only then is the failure written; otherwise the printer is asked for again.
bool PrinterRefused() {
    switch (spooler::GetLastError()) {
    case spooler::ERROR_INVALID_PRINTER_NAME:
    case spooler::ERROR_ACCESS_DENIED: return true;
    default: return false;
    }
}

// Likewise for a registration: the server cannot watch the printer at all, or nothing is
// left to watch it with.
bool RegistrationRefused() {
    switch (spooler::GetLastError()) {
    case spooler::ERROR_INVALID_PRINTER_NAME:
    case spooler::ERROR_ACCESS_DENIED:
    case spooler::ERROR_NOT_SUPPORTED:
    case spooler::ERROR_NOT_ENOUGH_MEMORY:
    case spooler::ERROR_INVALID_HANDLE: return true;
    default: return false;
    }
}

} // namespace

const spooler::NotifyOptions& NotifyOptions() {
    using namespace spooler;
    static const spooler::NotifyOptions options{
        2,
        PRINTER_NOTIFY_OPTIONS_REFRESH,
        {
            {JOB_NOTIFY_TYPE,
             {JOB_NOTIFY_FIELD_PRINTER_NAME, JOB_NOTIFY_FIELD_MACHINE_NAME, JOB_NOTIFY_FIELD_STATUS,
              JOB_NOTIFY_FIELD_DOCUMENT, JOB_NOTIFY_FIELD_USER_NAME, JOB_NOTIFY_FIELD_TOTAL_PAGES,
              JOB_NOTIFY_FIELD_PAGES_PRINTED, JOB_NOTIFY_FIELD_SUBMITTED}},
            {PRINTER_NOTIFY_TYPE,
             {PRINTER_NOTIFY_FIELD_STATUS, PRINTER_NOTIFY_FIELD_CJOBS, PRINTER_NOTIFY_FIELD_PRINTER_NAME,
              PRINTER_NOTIFY_FIELD_SERVER_NAME, PRINTER_NOTIFY_FIELD_SHARE_NAME}},
        }};
    return options;
}

Watcher::Watcher(std::shared_ptr<spooler::Spooler> spooler, std::string printerName, std::shared_ptr<std::mutex> lock,
                 std::weak_ptr<WatcherPool> pool)
    : m_spooler(std::move(spooler)), m_printerName(std::move(printerName)), m_lock(std::move(lock)),
      m_pool(std::move(pool)), m_retryPause(kFirstRetry),
      // Spread over the pause, so that watchers refused at once do not all come back at once.
      m_random(static_cast<unsigned>(std::hash<std::string>()(m_printerName))) {}

Watcher::~Watcher() {
    const int fd = m_watchedFd.exchange(-1);
    if (fd >= 0)
        if (const std::shared_ptr<WatcherPool> pool = m_pool.lock()) pool->Forget(fd);
}

bool Watcher::stop(std::chrono::milliseconds bound) {
    {
        std::lock_guard<std::mutex> gate(m_gate);
        m_stopped = true;
    }
    // No longer woken; a step that is about to ask for the descriptor to be watched sees
    // the flag afterwards and forgets it itself.
    const int fd = m_watchedFd.exchange(-1);
    if (fd >= 0)
        if (const std::shared_ptr<WatcherPool> pool = m_pool.lock()) pool->Forget(fd);
    // A line in progress ends before this returns; every later line sees the flag.
    std::unique_lock<std::mutex> gate(m_gate);
    return m_lineDone.wait_until(gate, std::chrono::steady_clock::now() + bound, [this] { return !m_writing; });
}

bool Watcher::log(std::string_view message) {
    {
        std::lock_guard<std::mutex> gate(m_gate);
        if (m_stopped) return false;
        m_writing = true;
    }
    WriteLog(message, m_lock.get());
    {
        std::lock_guard<std::mutex> gate(m_gate);
        m_writing = false;
    }
    m_lineDone.notify_all();
    return true;
}

void Watcher::run(Step step) {
    if (m_stopped) return;
    // After the stop the watcher's spooler requests give up at once.
    const spooler::AbortScope abort(m_stopped);
    // A watcher has nobody to ask for a password.
    const spooler::PasswordScope refuse(nullptr);
    (this->*step)();
}

void Watcher::retry(Step step) {
    const auto jittered = m_retryPause / 2 + std::chrono::milliseconds(m_random() % (m_retryPause.count() / 2 + 1));
    m_retryPause = std::min(m_retryPause * 2, kLongestRetry);
    if (const std::shared_ptr<WatcherPool> pool = m_pool.lock())
        pool->PostAfter(jittered, [self = shared_from_this(), step] { self->run(step); });
}

void Watcher::waitForChange() {
    const std::shared_ptr<WatcherPool> pool = m_pool.lock();
    if (!pool) return;
    const int fd = m_notification->fd();
    m_watchedFd = fd;
    pool->WatchOnce(fd, [self = shared_from_this()] { self->run(&Watcher::handleChange); });
    // A stop that came meanwhile may not have seen the descriptor.
    if (m_stopped && m_watchedFd.exchange(-1) >= 0) pool->Forget(fd);
}

void NotificationThread(const std::shared_ptr<Watcher>& watcher) {
    const std::shared_ptr<WatcherPool> pool = watcher->m_pool.lock();
    int error = 0;
    if (pool && pool->Start(error)) pool->Post([watcher] { watcher->run(&Watcher::open); });
}

void Watcher::open() {
    // A printer that the server was too busy to open is asked for again: the failure line
    // is for a printer that is not there or may not be opened.
    m_printer = m_spooler->OpenPrinterA(m_printerName);
    if (!m_printer) {
        if (m_stopped) return;
        if (!PrinterRefused()) return retry(&Watcher::open);
        log("[T] " + FormatLogText("Openprinter() failed for \"%s\"", {m_printerName}));
        Running = 0;
        return;
    }
    m_retryPause = kFirstRetry;
    // The handle's value is only shown: the low 32 bits of the handle object's address.
    const auto handleValue = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_printer.get()));
    if (!log("[T] " + FormatLogText("Openprinter() called successfully for \"%s\" [hPrinter = %8.8X]",
                                    {m_printerName, handleValue})))
        return;
    registerForChanges();
}

void Watcher::registerForChanges() {
    m_change = spooler::PRINTER_CHANGE_ALL;
    m_notification = m_spooler->FindFirstPrinterChangeNotification(*m_printer, m_change, NotifyOptions());
    if (!m_notification) {
        if (m_stopped) return;
        if (!RegistrationRefused()) return retry(&Watcher::registerForChanges);
        log("[T] Invalid notification handle returned! (hNotify = INVALID_HANDLE_VALUE)");
        return;
    }
    if (!log("[T] " + FormatLogText("Starting notification loop [%s].", {m_printerName}))) return;
    waitForChange();
}

void Watcher::handleChange() {
    spooler::Spooler& spooler = *m_spooler;
    // A wake-up without the handle being signalled is no event: wait again.
    if (!spooler.WaitForSingleObject(*m_notification, 0)) return waitForChange();
    if (!log("")) return;
    if (!log("[T] " + FormatLogText("----->>> Got notification event [%s]", {m_printerName}))) return;

    std::optional<spooler::NotifyInfo> block =
        spooler.FindNextPrinterChangeNotification(*m_notification, m_change, NotifyOptions());
    if (!block) {
        if (!log("[T] No next notification handle: FindNextPrinterChangeNotification() = FALSE")) return;
        return waitForChange();
    }
    if (block->Flags & spooler::PRINTER_NOTIFY_INFO_DISCARDED) {
        if (!log("[T] Trying to get get notification again due to too small buffer "
                 "(PRINTER_NOTIFY_INFO_DISCARDED)."))
            return;
        // The second fetch's result is not tested: its block, if any, replaces the first.
        block = spooler.FindNextPrinterChangeNotification(*m_notification, m_change, NotifyOptions());
    }
    if (block) {
        for (const spooler::NotifyData& record : block->aData) {
            if (std::optional<std::string> text = DescribeNotifyData(record)) {
                if (!log("[T] " + *text)) return;
            }
        }
    }
    waitForChange();
}

} // namespace quill::monitor
