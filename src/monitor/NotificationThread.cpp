#include "monitor/NotificationThread.h"

#include "monitor/ActivityLog.h"
#include "monitor/DescribeNotifyData.h"
#include "monitor/FormatLogText.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace quill::monitor {

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

Watcher::Watcher(std::shared_ptr<spooler::Spooler> spooler, std::string printerName, std::shared_ptr<std::mutex> lock)
    : m_spooler(std::move(spooler)), m_printerName(std::move(printerName)), m_lock(std::move(lock)),
      m_stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Watcher::~Watcher() {
    if (m_stopFd >= 0) close(m_stopFd);
}

bool Watcher::stop(std::chrono::milliseconds bound) {
    {
        std::lock_guard<std::mutex> gate(m_gate);
        m_stopped = true;
    }
    if (m_stopFd >= 0) {
        const std::uint64_t one = 1;
        // The counter cannot overflow from one write; a failed write leaves the flag,
        // which the watcher reads before every line.
        [[maybe_unused]] const ssize_t written = write(m_stopFd, &one, sizeof one);
    }
    // A line in progress ends before this returns; every later line sees the flag. The
    // wait uses the system clock, whose timed wait every thread checker understands.
    std::unique_lock<std::mutex> gate(m_gate);
    return m_lineDone.wait_until(gate, std::chrono::system_clock::now() + bound, [this] { return !m_writing; });
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

bool Watcher::waitForChange(const spooler::ChangeNotification& notification) {
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {notification.fd(), POLLIN, 0}};
    while (!m_stopped) {
        // No time limit: the watcher sleeps until the spooler or the stop wakes it.
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) return false;
        if (fds[0].revents) return false;
        if (ready > 0 && fds[1].revents) return true;
    }
    return false;
}

void NotificationThread(std::shared_ptr<Watcher> watcher) {
    // After the stop the watcher's spooler requests give up at once, so its thread ends soon.
    const spooler::AbortScope abort(watcher->m_stopped);
    // A watcher has nobody to ask for a password: a request the server wants one for fails.
    const spooler::PasswordScope refuse(nullptr);
    spooler::Spooler& spooler = *watcher->m_spooler;
    const std::string& name = watcher->m_printerName;

    std::unique_ptr<spooler::PrinterHandle> printer = spooler.OpenPrinterA(name);
    if (!printer) {
        watcher->log("[T] " + FormatLogText("Openprinter() failed for \"%s\"", {name}));
        watcher->Running = 0;
        return;
    }
    // The handle's value is only shown: the low 32 bits of the handle object's address.
    const auto handleValue = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(printer.get()));
    if (!watcher->log("[T] " + FormatLogText("Openprinter() called successfully for \"%s\" [hPrinter = %8.8X]",
                                             {name, handleValue})))
        return;

    std::uint32_t change = spooler::PRINTER_CHANGE_ALL;
    std::unique_ptr<spooler::ChangeNotification> notification =
        spooler.FindFirstPrinterChangeNotification(*printer, change, NotifyOptions());
    if (!notification) {
        watcher->log("[T] Invalid notification handle returned! (hNotify = INVALID_HANDLE_VALUE)");
        return;
    }
    if (!watcher->log("[T] " + FormatLogText("Starting notification loop [%s].", {name}))) return;

    while (watcher->waitForChange(*notification)) {
        // A wake-up without the handle being signalled is no event: wait again.
        if (!spooler.WaitForSingleObject(*notification, 0)) continue;
        if (!watcher->log("")) return;
        if (!watcher->log("[T] " + FormatLogText("----->>> Got notification event [%s]", {name}))) return;

        std::optional<spooler::NotifyInfo> block =
            spooler.FindNextPrinterChangeNotification(*notification, change, NotifyOptions());
        if (!block) {
            if (!watcher->log("[T] No next notification handle: FindNextPrinterChangeNotification() = FALSE")) return;
            continue;
        }
        if (block->Flags & spooler::PRINTER_NOTIFY_INFO_DISCARDED) {
            if (!watcher->log("[T] Trying to get get notification again due to too small buffer "
                              "(PRINTER_NOTIFY_INFO_DISCARDED)."))
                return;
            // The second fetch's result is not tested: its block, if any, replaces the first.
            block = spooler.FindNextPrinterChangeNotification(*notification, change, NotifyOptions());
        }
        if (!block) continue;
        for (const spooler::NotifyData& record : block->aData) {
            if (std::optional<std::string> text = DescribeNotifyData(record)) {
                if (!watcher->log("[T] " + *text)) return;
            }
        }
    }
}

} // namespace quill::monitor
