// Change notifications on CUPS. All registrations share one server-wide pull
// subscription (ippget, every event): a subscription on one queue misses the cancel of
// a job that never started, and the server allows only a few subscriptions. One poller
// thread asks for new events at most every 100 ms (Get-Notifications answers at once and
// cannot wait) and makes each registration's descriptor readable when an event names its
// printer. A fetch then reads the current values of the printer and of its jobs.
#include "spooler/CupsSpooler.h"

#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsRequest.h"
#include "spooler/LastError.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <thread>

namespace quill::spooler {
namespace {

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int kLeaseSeconds = 60;
// Renewed well before the lease ends, so a busy server does not end it first.
constexpr std::chrono::seconds kRenewEvery{20};
constexpr const char* kServerUri = "ipp://localhost/";

// CUPS compares queue names ignoring case.
std::string QueueKey(std::string queue) {
    std::transform(queue.begin(), queue.end(), queue.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return queue;
}

ipp_t* NewRequest(ipp_op_t operation) {
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, kServerUri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

void Signal(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

} // namespace

// A registration: its printer, its readable-when-changed descriptor, and what the poller
// has seen for it since the last fetch.
class CupsChangeNotification final : public ChangeNotification {
public:
    CupsChangeNotification(std::shared_ptr<CupsSpooler::NotificationHub> hub, std::string name, std::string queue);
    ~CupsChangeNotification() override;
    int fd() const override { return m_fd; }

    const std::string m_name;
    const std::string m_queue;
    const std::string m_key;
    int m_fd;
    std::shared_ptr<CupsSpooler::NotificationHub> m_hub;
    // The fetching thread's own: the jobs open at the last fetch.
    std::set<std::uint32_t> m_openJobs;
    // Guarded by the hub's mutex.
    bool m_discarded = false;
    std::set<std::uint32_t> m_eventJobs; // jobs named by events since the last fetch
};

class CupsSpooler::NotificationHub : public std::enable_shared_from_this<NotificationHub> {
public:
    void Add(CupsChangeNotification* registration) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_registrations.insert(registration);
        if (!m_polling) {
            m_polling = true;
            std::thread([hub = shared_from_this()] { hub->Run(); }).detach();
        }
    }
    void Remove(CupsChangeNotification* registration) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_registrations.erase(registration);
    }
    // What the poller saw for a registration since the last call; cleared.
    void TakeSeen(CupsChangeNotification& registration, bool& discarded, std::set<std::uint32_t>& jobs) {
        std::lock_guard<std::mutex> guard(m_mutex);
        discarded = registration.m_discarded;
        registration.m_discarded = false;
        jobs.swap(registration.m_eventJobs);
        registration.m_eventJobs.clear();
    }

private:
    void Run();
    bool Subscribe(CupsConnection& connection);
    // Cancels the subscription; false when the server did not answer.
    bool Cancel(CupsConnection& connection);
    enum class Events { Read, NoAnswer, Gone };
    // Reads the new events. Gone: the subscription has ended (the server restarted
    // without it, or dropped it).
    Events ReadEvents(CupsConnection& connection);
    void Deliver(const std::vector<std::pair<std::string, std::uint32_t>>& events, bool gap);

    std::mutex m_mutex;
    std::set<CupsChangeNotification*> m_registrations;
    bool m_polling = false;
    // The poller thread's own.
    int m_subscription = 0;
    int m_nextSequence = 1;
};

CupsChangeNotification::CupsChangeNotification(std::shared_ptr<CupsSpooler::NotificationHub> hub, std::string name,
                                               std::string queue)
    : m_name(std::move(name)), m_queue(std::move(queue)), m_key(QueueKey(m_queue)),
      m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_hub(std::move(hub)) {}

CupsChangeNotification::~CupsChangeNotification() {
    m_hub->Remove(this);
    if (m_fd >= 0) ::close(m_fd);
}

void CupsSpooler::NotificationHub::Run() {
    std::unique_ptr<CupsConnection> connection;
    auto renewAt = std::chrono::steady_clock::now() + kRenewEvery;
    bool lost = false; // a subscription ended: events may have been missed
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_registrations.empty()) {
                m_polling = false;
                break;
            }
        }
        if (!connection) connection = CupsConnection::Open("");
        if (connection && !m_subscription) {
            if (Subscribe(*connection)) {
                renewAt = std::chrono::steady_clock::now() + kRenewEvery;
                if (lost) Deliver({}, true);
                lost = false;
            } else {
                connection.reset();
            }
        }
        if (connection && m_subscription) {
            const Events read = ReadEvents(*connection);
            if (read == Events::Gone) {
                // Cancelled as well, in case the server only refused to answer for it:
                // no subscription of the monitor's is ever left behind.
                if (!Cancel(*connection)) m_subscription = 0;
                lost = true;
            } else if (read == Events::NoAnswer) {
                // The server is busy, stopped or gone: a new connection on the next round.
                connection.reset();
            } else if (std::chrono::steady_clock::now() >= renewAt) {
                ipp_t* renew = NewRequest(IPP_OP_RENEW_SUBSCRIPTION);
                ippAddInteger(renew, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", m_subscription);
                ippAddInteger(renew, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", kLeaseSeconds);
                connection->Send(renew);
                renewAt = std::chrono::steady_clock::now() + kRenewEvery;
            }
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    // The last registration has ended: the subscription goes with it. A server that does
    // not answer is asked again until the lease would have ended it anyway.
    const auto leaseEnd = std::chrono::steady_clock::now() + std::chrono::seconds(kLeaseSeconds);
    while (m_subscription && std::chrono::steady_clock::now() < leaseEnd) {
        if (!connection) connection = CupsConnection::Open("");
        if (connection && Cancel(*connection)) break;
        connection.reset();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

bool CupsSpooler::NotificationHub::Cancel(CupsConnection& connection) {
    ipp_t* cancel = NewRequest(IPP_OP_CANCEL_SUBSCRIPTION);
    ippAddInteger(cancel, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", m_subscription);
    // Any answer ends it: a subscription the server no longer knows is gone as well.
    if (!connection.Request(cancel)) return false;
    m_subscription = 0;
    return true;
}

bool CupsSpooler::NotificationHub::Subscribe(CupsConnection& connection) {
    ipp_t* request = NewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "all");
    ippAddInteger(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", kLeaseSeconds);
    const Ipp answer = connection.Send(request);
    if (!answer) return false;
    ipp_attribute_t* id = ippFindAttribute(answer.get(), "notify-subscription-id", IPP_TAG_INTEGER);
    if (!id) return false;
    m_subscription = ippGetInteger(id, 0);
    m_nextSequence = 1;
    return true;
}

CupsSpooler::NotificationHub::Events CupsSpooler::NotificationHub::ReadEvents(CupsConnection& connection) {
    ipp_t* request = NewRequest(IPP_OP_GET_NOTIFICATIONS);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids", m_subscription);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers", m_nextSequence);
    const Ipp answer = connection.Request(request);
    if (!answer) return Events::NoAnswer;
    if (ippGetStatusCode(answer.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) return Events::Gone;

    std::vector<std::pair<std::string, std::uint32_t>> events; // printer, job id (0: none)
    bool gap = false;
    int sequence = 0;
    std::string printer;
    std::uint32_t job = 0;
    auto flush = [&] {
        if (sequence) {
            // The server keeps only the last events of a subscription: a jump in the
            // numbers means that some were dropped.
            if (sequence > m_nextSequence) gap = true;
            m_nextSequence = std::max(m_nextSequence, sequence + 1);
            if (!printer.empty()) events.emplace_back(QueueKey(printer), job);
        }
        sequence = 0;
        printer.clear();
        job = 0;
    };
    ForEachObject(
        answer.get(), IPP_TAG_EVENT_NOTIFICATION,
        [&](const std::string& name, ipp_attribute_t* attr) {
            if (name == "notify-sequence-number") sequence = ippGetInteger(attr, 0);
            else if (name == "printer-name") printer = TextOf(attr);
            else if (name == "notify-printer-uri" && printer.empty()) printer = QueueOfUri(TextOf(attr));
            else if (name == "notify-job-id") job = static_cast<std::uint32_t>(ippGetInteger(attr, 0));
        },
        flush);
    if (!events.empty() || gap) Deliver(events, gap);
    return Events::Read;
}

void CupsSpooler::NotificationHub::Deliver(const std::vector<std::pair<std::string, std::uint32_t>>& events, bool gap) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (CupsChangeNotification* registration : m_registrations) {
        bool named = false;
        for (const auto& [queue, job] : events) {
            if (queue != registration->m_key) continue;
            named = true;
            if (job) registration->m_eventJobs.insert(job);
        }
        if (gap) registration->m_discarded = true;
        if (named || gap) Signal(registration->m_fd);
    }
}

std::unique_ptr<ChangeNotification>
CupsSpooler::FindFirstPrinterChangeNotification(PrinterHandle& printer, std::uint32_t, const NotifyOptions&) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    // Only the printers of this computer are watched.
    if (!handle.host().empty()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<NotificationHub> hub;
    {
        const std::lock_guard lock(m_watchMutex);
        if (!m_notifications) m_notifications = std::make_shared<NotificationHub>();
        hub = m_notifications;
    }
    auto registration = std::make_unique<CupsChangeNotification>(hub, handle.printerName(), handle.queue());
    if (registration->m_fd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    hub->Add(registration.get());
    return registration;
}

bool CupsSpooler::WaitForSingleObject(ChangeNotification& notification, int timeoutMs) {
    pollfd ready{notification.fd(), POLLIN, 0};
    int result;
    while ((result = ::poll(&ready, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (result < 0) SetLastError(ERROR_INVALID_HANDLE);
    else if (result == 0) SetLastError(ERROR_TIMEOUT);
    return result > 0;
}

std::optional<NotifyInfo> CupsSpooler::FindNextPrinterChangeNotification(ChangeNotification& notification,
                                                                         std::uint32_t& change,
                                                                         const NotifyOptions& options) {
    auto& registration = static_cast<CupsChangeNotification&>(notification);
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(registration.m_fd, &count, sizeof count);
    bool discarded = false;
    std::set<std::uint32_t> eventJobs;
    registration.m_hub->TakeSeen(registration, discarded, eventJobs);

    const auto connection = CupsConnection::Open("");
    if (!connection) return std::nullopt;
    const std::string uri = PrinterUri(registration.m_queue);
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    static const char* const kWanted[] = {"printer-state", "printer-state-reasons", "queued-job-count"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, kWanted);
    const Ipp printer = connection->Send(request);
    if (!printer) return std::nullopt;
    std::optional<std::vector<JobInfo2>> jobs = AskForJobs(*connection, uri, "not-completed", 0);
    if (!jobs) return std::nullopt;

    // Jobs that were open at the last fetch or named by an event, and are no longer
    // open, have ended since: they are reported once more, with how they ended (also a
    // job cancelled before it ever started).
    std::set<std::uint32_t> open, ended;
    for (const JobInfo2& job : *jobs) open.insert(job.JobId);
    for (std::uint32_t id : registration.m_openJobs)
        if (!open.count(id)) ended.insert(id);
    for (std::uint32_t id : eventJobs)
        if (!open.count(id)) ended.insert(id);
    if (!ended.empty()) {
        if (const auto finished = AskForJobs(*connection, uri, "completed", *ended.begin()))
            for (const JobInfo2& job : *finished)
                if (ended.count(job.JobId)) jobs->push_back(job);
    }
    registration.m_openJobs = std::move(open);

    ipp_attribute_t* state = ippFindAttribute(printer.get(), "printer-state", IPP_TAG_ENUM);
    ipp_attribute_t* reasons = ippFindAttribute(printer.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    ipp_attribute_t* queued = ippFindAttribute(printer.get(), "queued-job-count", IPP_TAG_INTEGER);

    NotifyInfo block;
    block.Flags = discarded ? PRINTER_NOTIFY_INFO_DISCARDED : 0;
    for (const NotifyOptionsType& type : options.Types) {
        if (type.Type == JOB_NOTIFY_TYPE) {
            for (const JobInfo2& job : *jobs) {
                for (std::uint16_t field : type.Fields) {
                    NotifyData record{JOB_NOTIFY_TYPE, field, job.JobId, std::monostate()};
                    switch (field) {
                    case JOB_NOTIFY_FIELD_PRINTER_NAME: record.Data = registration.m_name; break;
                    case JOB_NOTIFY_FIELD_MACHINE_NAME: record.Data = job.pMachineName; break;
                    case JOB_NOTIFY_FIELD_USER_NAME: record.Data = job.pUserName; break;
                    case JOB_NOTIFY_FIELD_DOCUMENT: record.Data = job.pDocument; break;
                    case JOB_NOTIFY_FIELD_STATUS: record.Data = job.Status; break;
                    case JOB_NOTIFY_FIELD_PRIORITY: record.Data = job.Priority; break;
                    case JOB_NOTIFY_FIELD_TOTAL_PAGES: record.Data = job.TotalPages; break;
                    case JOB_NOTIFY_FIELD_PAGES_PRINTED: record.Data = job.PagesPrinted; break;
                    case JOB_NOTIFY_FIELD_TOTAL_BYTES: record.Data = job.Size; break;
                    case JOB_NOTIFY_FIELD_SUBMITTED: record.Data = job.Submitted; break;
                    default: continue; // a field CUPS does not know
                    }
                    block.aData.push_back(std::move(record));
                }
            }
        } else if (type.Type == PRINTER_NOTIFY_TYPE) {
            for (std::uint16_t field : type.Fields) {
                NotifyData record{PRINTER_NOTIFY_TYPE, field, 0, std::monostate()};
                switch (field) {
                case PRINTER_NOTIFY_FIELD_STATUS:
                    record.Data = PrinterStatus(state ? ippGetInteger(state, 0) : IPP_PSTATE_IDLE, reasons);
                    break;
                case PRINTER_NOTIFY_FIELD_CJOBS:
                    record.Data = static_cast<std::uint32_t>(queued ? ippGetInteger(queued, 0) : 0);
                    break;
                case PRINTER_NOTIFY_FIELD_PRINTER_NAME: record.Data = registration.m_name; break;
                // A printer of this computer has no server name; CUPS has no share names.
                case PRINTER_NOTIFY_FIELD_SERVER_NAME: record.Data = std::string(); break;
                case PRINTER_NOTIFY_FIELD_SHARE_NAME: record.Data = std::string(); break;
                default: continue;
                }
                block.aData.push_back(std::move(record));
            }
        }
    }
    change = PRINTER_CHANGE_ALL;
    return block;
}

} // namespace quill::spooler
