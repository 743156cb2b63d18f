#pragma once

#include "spooler/LastError.h"
#include "spooler/Spooler.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quill::test {

// A spooler for the watcher threads: scripted printers and enumeration results, and
// notification blocks posted by the test, each of which makes the printer's waitable
// descriptor readable as the real adapter's does. Safe to call from several threads.
class ScriptedSpooler final : public spooler::Spooler {
public:
    // One scripted answer per enumeration; when none is left, the printers below.
    std::deque<std::optional<std::vector<spooler::PrinterInfo4>>> enumResults;
    std::uint32_t enumError = spooler::ERROR_TIMEOUT; // the reason a scripted failure leaves
    std::vector<std::string> printers;
    std::set<std::string> unopenable;
    std::set<std::string> unregistrable;
    // The reasons (last-error codes) with which the next opens or registrations of a
    // printer fail, one per attempt, before they succeed.
    std::map<std::string, std::deque<std::uint32_t>> openFailures;
    std::map<std::string, std::deque<std::uint32_t>> registerFailures;

    // Hands the printer's watcher one fetch result (nullopt: the fetch fails).
    void post(const std::string& printer, std::optional<spooler::NotifyInfo> block) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending[printer].push_back(std::move(block));
        signal(printer);
    }
    // Adds a result for the fetch that follows the next one, without a new signal.
    void queue(const std::string& printer, std::optional<spooler::NotifyInfo> block) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending[printer].push_back(std::move(block));
    }
    int registrations() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(m_fds.size());
    }

    std::optional<std::vector<spooler::PrinterInfo4>> EnumPrintersA(std::uint32_t) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!enumResults.empty()) {
            std::optional<std::vector<spooler::PrinterInfo4>> result = enumResults.front();
            enumResults.pop_front();
            if (!result) spooler::SetLastError(enumError);
            return result;
        }
        std::vector<spooler::PrinterInfo4> list;
        for (const std::string& name : printers) list.push_back({name, "", spooler::PRINTER_ATTRIBUTE_LOCAL});
        return list;
    }
    std::unique_ptr<spooler::PrinterHandle> OpenPrinterA(const std::string& name, std::uint32_t) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (unopenable.count(name)) {
            spooler::SetLastError(spooler::ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
        if (FailNext(openFailures, name)) return nullptr;
        return std::make_unique<Handle>(name);
    }
    std::unique_ptr<spooler::PrinterHandle> AddPrinterA(const spooler::PrinterInfo2&) override { return nullptr; }
    bool DeletePrinter(spooler::PrinterHandle&) override { return false; }
    std::optional<spooler::PrinterInfo2> GetPrinterA(spooler::PrinterHandle&) override { return std::nullopt; }
    bool SetPrinterA(spooler::PrinterHandle&, const spooler::PrinterInfo2&) override { return false; }
    std::optional<std::vector<spooler::JobInfo2>> EnumJobsA(spooler::PrinterHandle&) override { return std::nullopt; }
    std::optional<std::vector<spooler::JobInfo2>> EnumAllJobs() override { return std::nullopt; }
    bool SetJobA(spooler::PrinterHandle&, std::uint32_t, std::uint32_t) override { return false; }

    std::unique_ptr<spooler::ChangeNotification>
    FindFirstPrinterChangeNotification(spooler::PrinterHandle& printer, std::uint32_t,
                                       const spooler::NotifyOptions&) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        const std::string& name = printer.printerName();
        if (unregistrable.count(name)) {
            spooler::SetLastError(spooler::ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        if (FailNext(registerFailures, name)) return nullptr;
        auto notification = std::make_unique<Notification>(*this, name);
        m_fds.insert({name, notification->fd()});
        if (!m_pending[name].empty()) signal(name);
        return notification;
    }
    bool WaitForSingleObject(spooler::ChangeNotification& notification, int) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return !m_pending[static_cast<Notification&>(notification).printer].empty();
    }
    std::optional<spooler::NotifyInfo> FindNextPrinterChangeNotification(spooler::ChangeNotification& notification,
                                                                         std::uint32_t& change,
                                                                         const spooler::NotifyOptions&) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto& n = static_cast<Notification&>(notification);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(n.fd(), &count, sizeof count);
        std::deque<std::optional<spooler::NotifyInfo>>& pending = m_pending[n.printer];
        if (pending.empty()) return std::nullopt;
        std::optional<spooler::NotifyInfo> block = std::move(pending.front());
        pending.pop_front();
        if (!pending.empty()) signal(n.printer); // readable while a result waits
        change = spooler::PRINTER_CHANGE_ALL;
        return block;
    }

private:
    // With m_mutex held: takes the printer's next scripted failure, if any, as the last error.
    static bool FailNext(std::map<std::string, std::deque<std::uint32_t>>& failures, const std::string& name) {
        auto found = failures.find(name);
        if (found == failures.end() || found->second.empty()) return false;
        spooler::SetLastError(found->second.front());
        found->second.pop_front();
        return true;
    }
    struct Handle final : spooler::PrinterHandle {
        explicit Handle(std::string n) : name(std::move(n)) {}
        const std::string& printerName() const override { return name; }
        std::string name;
    };
    struct Notification final : spooler::ChangeNotification {
        Notification(ScriptedSpooler& s, std::string p)
            : owner(s), printer(std::move(p)), descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
        ~Notification() override {
            std::lock_guard<std::mutex> guard(owner.m_mutex);
            owner.m_fds.erase(printer);
            close(descriptor);
        }
        int fd() const override { return descriptor; }
        ScriptedSpooler& owner;
        std::string printer;
        int descriptor;
    };
    void signal(const std::string& printer) {
        auto found = m_fds.find(printer);
        if (found == m_fds.end()) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(found->second, &one, sizeof one);
    }

    mutable std::mutex m_mutex;
    std::map<std::string, std::deque<std::optional<spooler::NotifyInfo>>> m_pending;
    std::map<std::string, int> m_fds; // the registered printers' descriptors
};

} // namespace quill::test
