#include "FakeSpooler.h"

#include "spooler/LastError.h"
#include "spooler/PrinterName.h"
#include "spooler/RequestAbort.h"

#include <algorithm>
#include <chrono>

namespace quill::test {
namespace {

class FakeHandle final : public spooler::PrinterHandle {
public:
    explicit FakeHandle(std::string name) : m_name(std::move(name)) {}
    const std::string& printerName() const override { return m_name; }

private:
    std::string m_name;
};

class FakeNotification final : public spooler::ChangeNotification {
public:
    explicit FakeNotification(std::string name) : printer(std::move(name)) {}
    int fd() const override { return -1; }
    std::string printer;
};

} // namespace

FakeSpooler::Printer& FakeSpooler::AddPrinter(const std::string& name, std::uint32_t attributes) {
    Printer printer;
    printer.info.pPrinterName = name;
    printer.info.Attributes = attributes;
    printers.push_back(printer);
    return printers.back();
}

void FakeSpooler::CloseGate() {
    const std::lock_guard lock(m_gateMutex);
    m_gateClosed = true;
}

void FakeSpooler::OpenGate() {
    {
        const std::lock_guard lock(m_gateMutex);
        m_gateClosed = false;
    }
    m_gateOpened.notify_all();
}

void FakeSpooler::PassGate() {
    std::unique_lock lock(m_gateMutex);
    while (m_gateClosed && !spooler::AbortScope::Requested())
        m_gateOpened.wait_for(lock, std::chrono::milliseconds(10));
}

FakeSpooler::Printer* FakeSpooler::Find(const std::string& name) {
    const std::string printerName = spooler::SplitPrinterPath(name).printer;
    for (auto& printer : printers)
        if (spooler::SameQueue(printer.info.pPrinterName, printerName)) return &printer;
    return nullptr;
}

std::optional<std::vector<spooler::PrinterInfo4>> FakeSpooler::EnumPrintersA(std::uint32_t flags) {
    PassGate();
    ++enumPrintersCalls;
    if (failEnumPrinters) return std::nullopt;
    std::vector<spooler::PrinterInfo4> result;
    for (const auto& printer : printers) {
        const std::uint32_t attributes = printer.info.Attributes;
        const bool connection = attributes & spooler::PRINTER_ATTRIBUTE_NETWORK;
        const bool wanted =
            connection ? (flags & spooler::PRINTER_ENUM_CONNECTIONS) : (flags & spooler::PRINTER_ENUM_LOCAL);
        if (!wanted) continue;
        if ((flags & spooler::PRINTER_ENUM_SHARED) && !(attributes & spooler::PRINTER_ATTRIBUTE_SHARED)) continue;
        result.push_back({printer.info.pPrinterName, printer.info.pServerName, attributes});
    }
    return result;
}

std::unique_ptr<spooler::PrinterHandle> FakeSpooler::OpenPrinterA(const std::string& name, std::uint32_t) {
    PassGate();
    if (unopenable.count(name) || !Find(name)) {
        spooler::SetLastError(spooler::ERROR_INVALID_PRINTER_NAME, "The printer or class does not exist.");
        return nullptr;
    }
    return std::make_unique<FakeHandle>(name);
}

std::unique_ptr<spooler::PrinterHandle> FakeSpooler::AddPrinterA(const spooler::PrinterInfo2& printer) {
    if (failAddPrinter) {
        spooler::SetLastError(failureCode, failureReason);
        return nullptr;
    }
    if (Find(printer.pPrinterName)) {
        spooler::SetLastError(spooler::ERROR_PRINTER_ALREADY_EXISTS, "The printer exists already.");
        return nullptr;
    }
    printers.push_back({printer, {}, {}});
    return std::make_unique<FakeHandle>(printer.pPrinterName);
}

bool FakeSpooler::DeletePrinter(spooler::PrinterHandle& handle) {
    Printer* printer = Find(handle.printerName());
    if (!printer) return false;
    if (failDeletePrinter) {
        spooler::SetLastError(failureCode, failureReason);
        return false;
    }
    // As a real spooler: a printer that holds jobs is marked, and goes with its last job.
    if (!printer->jobs.empty()) printer->info.Status |= spooler::PRINTER_STATUS_PENDING_DELETION;
    else printers.erase(printers.begin() + (printer - printers.data()));
    return true;
}

std::optional<spooler::PrinterInfo2> FakeSpooler::GetPrinterA(spooler::PrinterHandle& handle) {
    Printer* printer = Find(handle.printerName());
    if (!printer) return std::nullopt;
    return printer->info;
}

bool FakeSpooler::SetPrinterA(spooler::PrinterHandle& handle, const spooler::PrinterInfo2& info) {
    Printer* printer = Find(handle.printerName());
    if (!printer) return false;
    if (failSetPrinter) {
        spooler::SetLastError(failureCode, failureReason);
        return false;
    }
    printer->info = info;
    return true;
}

std::optional<std::vector<spooler::JobInfo2>> FakeSpooler::EnumJobsA(spooler::PrinterHandle& handle) {
    PassGate();
    ++enumJobsCalls;
    Printer* printer = Find(handle.printerName());
    if (!printer || failEnumJobs) return std::nullopt;
    return printer->jobs;
}

std::optional<std::vector<spooler::JobInfo2>> FakeSpooler::EnumAllJobs() {
    PassGate();
    ++enumJobsCalls;
    if (failEnumJobs) return std::nullopt;
    std::vector<spooler::JobInfo2> all;
    for (const auto& printer : printers)
        for (auto job : printer.jobs) {
            if (job.pPrinterName.empty()) job.pPrinterName = printer.info.pPrinterName;
            all.push_back(job);
        }
    return all;
}

bool FakeSpooler::SetJobA(spooler::PrinterHandle& handle, std::uint32_t jobId, std::uint32_t command) {
    PassGate();
    jobCommands.emplace_back(jobId, command);
    Printer* printer = Find(handle.printerName());
    if (!printer) return false;
    if (failSetJob) {
        spooler::SetLastError(failureCode, failureReason);
        return false;
    }
    return std::any_of(printer->jobs.begin(), printer->jobs.end(),
                       [jobId](const spooler::JobInfo2& job) { return job.JobId == jobId; });
}

std::unique_ptr<spooler::ChangeNotification>
FakeSpooler::FindFirstPrinterChangeNotification(spooler::PrinterHandle& handle, std::uint32_t,
                                                const spooler::NotifyOptions&) {
    if (!Find(handle.printerName())) return nullptr;
    return std::make_unique<FakeNotification>(handle.printerName());
}

bool FakeSpooler::WaitForSingleObject(spooler::ChangeNotification& notification, int) {
    Printer* printer = Find(static_cast<FakeNotification&>(notification).printer);
    return printer && !printer->notifications.empty();
}

std::optional<spooler::NotifyInfo>
FakeSpooler::FindNextPrinterChangeNotification(spooler::ChangeNotification& notification, std::uint32_t& change,
                                               const spooler::NotifyOptions&) {
    Printer* printer = Find(static_cast<FakeNotification&>(notification).printer);
    if (!printer || printer->notifications.empty()) return std::nullopt;
    change = spooler::PRINTER_CHANGE_ALL;
    spooler::NotifyInfo block = printer->notifications.front();
    printer->notifications.pop_front();
    return block;
}

} // namespace quill::test
