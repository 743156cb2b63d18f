#pragma once

#include "spooler/LastError.h"
#include "spooler/Spooler.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace quill::test {

// A spooler held in memory for unit tests: scripted printers, jobs, notification blocks
// and failures.
class FakeSpooler final : public spooler::Spooler {
public:
    struct Printer {
        spooler::PrinterInfo2 info;
        std::vector<spooler::JobInfo2> jobs;
        std::deque<spooler::NotifyInfo> notifications; // handed out one per fetch
    };

    // Adds a local printer (or a connection, with the network attribute).
    Printer& AddPrinter(const std::string& name, std::uint32_t attributes = spooler::PRINTER_ATTRIBUTE_LOCAL);

    // While the gate is closed, every call waits at it (as a slow server keeps a caller
    // waiting) until it opens or the caller's requests are aborted. Open it before the
    // scripted state is changed again.
    void CloseGate();
    void OpenGate();

    std::vector<Printer> printers; // in the spooler's order
    bool failEnumPrinters = false;
    std::set<std::string> unopenable; // names OpenPrinterA refuses
    bool failAddPrinter = false;
    bool failSetPrinter = false;
    bool failDeletePrinter = false;
    bool failSetJob = false;
    // The reason the scripted failures of AddPrinterA, DeletePrinter, SetPrinterA and SetJobA give (the thread's
    // last error text), as CUPS or the connection would.
    std::string failureReason;
    std::uint32_t failureCode = spooler::ERROR_ACCESS_DENIED;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> jobCommands; // (job id, command) as received
    int enumPrintersCalls = 0;

    std::optional<std::vector<spooler::PrinterInfo4>> EnumPrintersA(std::uint32_t flags) override;
    std::unique_ptr<spooler::PrinterHandle> OpenPrinterA(const std::string& name, std::uint32_t access = 0) override;
    std::unique_ptr<spooler::PrinterHandle> AddPrinterA(const spooler::PrinterInfo2& printer) override;
    bool DeletePrinter(spooler::PrinterHandle& printer) override;
    std::optional<spooler::PrinterInfo2> GetPrinterA(spooler::PrinterHandle& printer) override;
    bool SetPrinterA(spooler::PrinterHandle& printer, const spooler::PrinterInfo2& info) override;
    std::optional<std::vector<spooler::JobInfo2>> EnumJobsA(spooler::PrinterHandle& printer) override;
    std::optional<std::vector<spooler::JobInfo2>> EnumAllJobs() override;
    bool failEnumJobs = false;
    int enumJobsCalls = 0;
    bool SetJobA(spooler::PrinterHandle& printer, std::uint32_t jobId, std::uint32_t command) override;
    std::optional<bool> serverSharesPrinters = true;
    std::optional<bool> ServerSharesPrinters() override { return serverSharesPrinters; }
    std::unique_ptr<spooler::ChangeNotification>
    FindFirstPrinterChangeNotification(spooler::PrinterHandle& printer, std::uint32_t filter,
                                       const spooler::NotifyOptions& options) override;
    bool WaitForSingleObject(spooler::ChangeNotification& notification, int timeoutMs) override;
    std::optional<spooler::NotifyInfo>
    FindNextPrinterChangeNotification(spooler::ChangeNotification& notification, std::uint32_t& change,
                                      const spooler::NotifyOptions& options) override;

private:
    Printer* Find(const std::string& name);
    void PassGate();

    std::mutex m_gateMutex;
    std::condition_variable m_gateOpened;
    bool m_gateClosed = false;
};

} // namespace quill::test
