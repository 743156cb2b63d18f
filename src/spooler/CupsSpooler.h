#pragma once

#include "spooler/Spooler.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace quill::spooler {

// The spooler on CUPS: the local server is the one libcups is pointed at (CUPS_SERVER,
// client.conf or the default socket); "host\printer" names address another server.
// Safe to call from several threads; each request has a bounded time (CupsConnection.h).
class CupsSpooler final : public Spooler {
public:
    std::optional<std::vector<PrinterInfo4>> EnumPrintersA(std::uint32_t flags) override;
    std::unique_ptr<PrinterHandle> OpenPrinterA(const std::string& name, std::uint32_t access = 0) override;

    std::unique_ptr<PrinterHandle> AddPrinterA(const PrinterInfo2& printer) override;
    bool DeletePrinter(PrinterHandle& printer) override;
    std::optional<PrinterInfo2> GetPrinterA(PrinterHandle& printer) override;
    bool SetPrinterA(PrinterHandle& printer, const PrinterInfo2& info) override;

    std::optional<std::vector<JobInfo2>> EnumJobsA(PrinterHandle& printer) override;
    std::optional<std::vector<JobInfo2>> EnumAllJobs() override;
    std::optional<std::vector<JobInfo2>> EnumEndedJobs(PrinterHandle* printer,
                                                       const std::vector<std::uint32_t>& ids) override;
    bool SetJobA(PrinterHandle& printer, std::uint32_t jobId, std::uint32_t command) override;
    std::optional<bool> ServerSharesPrinters() override;

    std::unique_ptr<JobFeed> WatchJobs() override;
    std::unique_ptr<ChangeNotification> FindFirstPrinterChangeNotification(PrinterHandle& printer, std::uint32_t filter,
                                                                           const NotifyOptions& options) override;
    bool WaitForSingleObject(ChangeNotification& notification, int timeoutMs) override;
    std::optional<NotifyInfo> FindNextPrinterChangeNotification(ChangeNotification& notification, std::uint32_t& change,
                                                                const NotifyOptions& options) override;

    class NotificationHub;
    struct Watched;

private:
    // The jobs not yet ended of one queue, or of every queue when queue is empty.
    std::optional<std::vector<JobInfo2>> Jobs(const std::string& host, const std::string& queue);

    // The hub of this spooler's registrations, made with the first.
    std::shared_ptr<NotificationHub> Hub();

    std::mutex m_watchMutex;
    // The one server-wide event subscription that all change notifications and job feeds
    // share, and its poller (NotificationHub.h).
    std::shared_ptr<NotificationHub> m_notifications;
};

} // namespace quill::spooler
