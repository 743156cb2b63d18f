#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace quill::spooler {

// Enumeration flags and levels.
inline constexpr std::uint32_t PRINTER_ENUM_LOCAL = 0x00000002;
inline constexpr std::uint32_t PRINTER_ENUM_CONNECTIONS = 0x00000004;
inline constexpr std::uint32_t PRINTER_ENUM_SHARED = 0x00000020;
// Also the CUPS classes: queues that hold jobs for their member printers (a printer's
// share name is one, see SetPrinterA). A flag of this program's own, apart from the
// enumeration flags above.
inline constexpr std::uint32_t kEnumClasses = 0x10000000;

// Printer attributes.
inline constexpr std::uint32_t PRINTER_ATTRIBUTE_SHARED = 0x00000008;
inline constexpr std::uint32_t PRINTER_ATTRIBUTE_NETWORK = 0x00000010;
inline constexpr std::uint32_t PRINTER_ATTRIBUTE_LOCAL = 0x00000040;

// Printer status bits.
inline constexpr std::uint32_t PRINTER_STATUS_PAUSED = 0x00000001;
inline constexpr std::uint32_t PRINTER_STATUS_ERROR = 0x00000002;
inline constexpr std::uint32_t PRINTER_STATUS_PENDING_DELETION = 0x00000004;
inline constexpr std::uint32_t PRINTER_STATUS_PAPER_JAM = 0x00000008;
inline constexpr std::uint32_t PRINTER_STATUS_PAPER_OUT = 0x00000010;
inline constexpr std::uint32_t PRINTER_STATUS_MANUAL_FEED = 0x00000020;
inline constexpr std::uint32_t PRINTER_STATUS_PAPER_PROBLEM = 0x00000040;
inline constexpr std::uint32_t PRINTER_STATUS_OFFLINE = 0x00000080;
inline constexpr std::uint32_t PRINTER_STATUS_IO_ACTIVE = 0x00000100;
inline constexpr std::uint32_t PRINTER_STATUS_BUSY = 0x00000200;
inline constexpr std::uint32_t PRINTER_STATUS_PRINTING = 0x00000400;
inline constexpr std::uint32_t PRINTER_STATUS_OUTPUT_BIN_FULL = 0x00000800;
inline constexpr std::uint32_t PRINTER_STATUS_NOT_AVAILABLE = 0x00001000;
inline constexpr std::uint32_t PRINTER_STATUS_WAITING = 0x00002000;
inline constexpr std::uint32_t PRINTER_STATUS_PROCESSING = 0x00004000;
inline constexpr std::uint32_t PRINTER_STATUS_INITIALIZING = 0x00008000;
inline constexpr std::uint32_t PRINTER_STATUS_WARMING_UP = 0x00010000;
inline constexpr std::uint32_t PRINTER_STATUS_TONER_LOW = 0x00020000;
inline constexpr std::uint32_t PRINTER_STATUS_NO_TONER = 0x00040000;
inline constexpr std::uint32_t PRINTER_STATUS_PAGE_PUNT = 0x00080000;
inline constexpr std::uint32_t PRINTER_STATUS_USER_INTERVENTION = 0x00100000;
inline constexpr std::uint32_t PRINTER_STATUS_OUT_OF_MEMORY = 0x00200000;
inline constexpr std::uint32_t PRINTER_STATUS_DOOR_OPEN = 0x00400000;
inline constexpr std::uint32_t PRINTER_STATUS_SERVER_UNKNOWN = 0x00800000;
inline constexpr std::uint32_t PRINTER_STATUS_POWER_SAVE = 0x01000000;

// Job status bits.
inline constexpr std::uint32_t JOB_STATUS_PAUSED = 0x00000001;
inline constexpr std::uint32_t JOB_STATUS_ERROR = 0x00000002;
inline constexpr std::uint32_t JOB_STATUS_DELETING = 0x00000004;
inline constexpr std::uint32_t JOB_STATUS_SPOOLING = 0x00000008;
inline constexpr std::uint32_t JOB_STATUS_PRINTING = 0x00000010;
inline constexpr std::uint32_t JOB_STATUS_OFFLINE = 0x00000020;
inline constexpr std::uint32_t JOB_STATUS_PAPEROUT = 0x00000040;
inline constexpr std::uint32_t JOB_STATUS_PRINTED = 0x00000080;
inline constexpr std::uint32_t JOB_STATUS_DELETED = 0x00000100;
inline constexpr std::uint32_t JOB_STATUS_BLOCKED_DEVQ = 0x00000200;
inline constexpr std::uint32_t JOB_STATUS_USER_INTERVENTION = 0x00000400;
inline constexpr std::uint32_t JOB_STATUS_RESTART = 0x00000800;
inline constexpr std::uint32_t JOB_STATUS_COMPLETE = 0x00001000;

// Access rights and job commands.
inline constexpr std::uint32_t PRINTER_ALL_ACCESS = 0x000F000C;
inline constexpr std::uint32_t JOB_CONTROL_PAUSE = 1;
inline constexpr std::uint32_t JOB_CONTROL_RESUME = 2;
inline constexpr std::uint32_t JOB_CONTROL_CANCEL = 3;
inline constexpr std::uint32_t JOB_CONTROL_RESTART = 4;

// Change notifications.
inline constexpr std::uint32_t PRINTER_CHANGE_ALL = 0x7777FFFF;
inline constexpr std::uint16_t PRINTER_NOTIFY_TYPE = 0;
inline constexpr std::uint16_t JOB_NOTIFY_TYPE = 1;
inline constexpr std::uint32_t PRINTER_NOTIFY_OPTIONS_REFRESH = 1;
inline constexpr std::uint32_t PRINTER_NOTIFY_INFO_DISCARDED = 1;

// Field codes of printer records (Type PRINTER_NOTIFY_TYPE).
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_SERVER_NAME = 0x00;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PRINTER_NAME = 0x01;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_SHARE_NAME = 0x02;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PORT_NAME = 0x03;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_DRIVER_NAME = 0x04;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_COMMENT = 0x05;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_LOCATION = 0x06;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_DEVMODE = 0x07;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_SEPFILE = 0x08;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PRINT_PROCESSOR = 0x09;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PARAMETERS = 0x0A;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_DATATYPE = 0x0B;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_SECURITY_DESCRIPTOR = 0x0C;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_ATTRIBUTES = 0x0D;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PRIORITY = 0x0E;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_DEFAULT_PRIORITY = 0x0F;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_START_TIME = 0x10;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_UNTIL_TIME = 0x11;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_STATUS = 0x12;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_STATUS_STRING = 0x13;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_CJOBS = 0x14;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_AVERAGE_PPM = 0x15;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_TOTAL_PAGES = 0x16;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PAGES_PRINTED = 0x17;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_TOTAL_BYTES = 0x18;
inline constexpr std::uint16_t PRINTER_NOTIFY_FIELD_BYTES_PRINTED = 0x19;

// Field codes of job records (Type JOB_NOTIFY_TYPE).
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PRINTER_NAME = 0x00;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_MACHINE_NAME = 0x01;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PORT_NAME = 0x02;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_USER_NAME = 0x03;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_NOTIFY_NAME = 0x04;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_DATATYPE = 0x05;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PRINT_PROCESSOR = 0x06;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PARAMETERS = 0x07;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_DRIVER_NAME = 0x08;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_DEVMODE = 0x09;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_STATUS = 0x0A;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_STATUS_STRING = 0x0B;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_SECURITY_DESCRIPTOR = 0x0C;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_DOCUMENT = 0x0D;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PRIORITY = 0x0E;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_POSITION = 0x0F;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_SUBMITTED = 0x10;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_START_TIME = 0x11;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_UNTIL_TIME = 0x12;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_TIME = 0x13;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_TOTAL_PAGES = 0x14;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_PAGES_PRINTED = 0x15;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_TOTAL_BYTES = 0x16;
inline constexpr std::uint16_t JOB_NOTIFY_FIELD_BYTES_PRINTED = 0x17;

// One printer of an enumeration at level 4.
struct PrinterInfo4 {
    std::string pPrinterName;
    std::string pServerName; // empty for a printer of this computer
    std::uint32_t Attributes = 0;
};

// The full printer record (level 2).
struct PrinterInfo2 {
    std::string pServerName;
    std::string pPrinterName;
    std::string pShareName;
    std::string pPortName;
    std::string pDriverName;
    std::string pComment;
    std::string pLocation;
    std::string pSepFile;
    std::string pPrintProcessor;
    std::string pDatatype;
    std::string pParameters;
    // Who may do what with the printer: the name of one of the server's operation policies
    // (CUPS' printer-op-policy); empty, or one the server does not have: its default.
    std::string pSecurityDescriptor;
    std::uint32_t Attributes = 0;
    std::uint32_t Priority = 0;
    std::uint32_t DefaultPriority = 0;
    std::uint32_t StartTime = 0;
    std::uint32_t UntilTime = 0;
    std::uint32_t Status = 0;
    std::uint32_t cJobs = 0;
    std::uint32_t AveragePPM = 0;
};

// A point in time in UTC, to the millisecond.
struct SystemTime {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;
    std::uint16_t wDayOfWeek = 0;
    std::uint16_t wDay = 0;
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// One job (level 2).
struct JobInfo2 {
    std::uint32_t JobId = 0;
    std::string pPrinterName;
    std::string pMachineName;
    std::string pUserName;
    std::string pDocument;
    std::string pNotifyName;
    std::string pDatatype;
    std::string pPrintProcessor;
    std::string pParameters;
    std::string pDriverName;
    std::string pStatus;
    std::uint32_t Status = 0;
    std::uint32_t Priority = 0;
    std::uint32_t Position = 0;
    std::uint32_t StartTime = 0;
    std::uint32_t UntilTime = 0;
    std::uint32_t TotalPages = 0;
    std::uint32_t Size = 0;
    SystemTime Submitted;
    std::uint32_t Time = 0;
    std::uint32_t PagesPrinted = 0;
};

// Which fields of which kind of object a notification registration watches.
struct NotifyOptionsType {
    std::uint16_t Type = 0;
    std::vector<std::uint16_t> Fields;
};
struct NotifyOptions {
    std::uint32_t Version = 2;
    std::uint32_t Flags = 0;
    std::vector<NotifyOptionsType> Types;
};

// One record of a notification block: a number pair, or a buffer (text is kept
// without its terminating zero; a time is a SystemTime).
struct NotifyData {
    std::uint16_t Type = 0;
    std::uint16_t Field = 0;
    std::uint32_t Id = 0;
    std::variant<std::monostate, std::uint32_t, std::string, SystemTime> Data;
};
struct NotifyInfo {
    std::uint32_t Version = 2;
    std::uint32_t Flags = 0;
    std::vector<NotifyData> aData;
};

// An open printer; closed (ClosePrinter) when destroyed.
class PrinterHandle {
public:
    virtual ~PrinterHandle() = default;
    virtual const std::string& printerName() const = 0;
};

// A change notification registration; ended (FindClosePrinterChangeNotification) when
// destroyed. fd() becomes readable when a change is waiting.
class ChangeNotification {
public:
    virtual ~ChangeNotification() = default;
    virtual int fd() const = 0;
};

// What a job feed has gathered since it was last asked.
struct JobChanges {
    bool reload = false;          // every job must be read again: the first look, lost events, a new server
    std::set<std::uint32_t> jobs; // the jobs that events named since, and those still being sent
    bool printers = false;        // printers or classes were added, deleted or changed
    // Whether no job is to be read (the printers are a list of their own).
    bool empty() const { return !reload && jobs.empty(); }
};

// The changes of the jobs of this computer's print server as they happen; ended when
// destroyed. fd() becomes readable when changes are waiting (Take reads it empty). The
// feed reads on one connection of its own, on the thread that reads the jobs.
class JobFeed : public ChangeNotification {
public:
    virtual JobChanges Take() = 0;
    // The records of the given jobs, open or ended, in id order (none given: every open
    // job, in the spooler's order); jobs the spooler no longer knows are left out; nullopt
    // when they could not be read.
    virtual std::optional<std::vector<JobInfo2>> ReadJobs(const std::set<std::uint32_t>& ids) = 0;
};

// The print spooler operations the program uses. A failure is an empty result
// (nullopt, nullptr or false): nothing is there or nothing was done.
class Spooler {
public:
    virtual ~Spooler() = default;

    // The printers in the spooler's order; level 4.
    virtual std::optional<std::vector<PrinterInfo4>> EnumPrintersA(std::uint32_t flags) = 0;
    // name: a printer name, or machine + "\" + printer; access 0 is the default access.
    virtual std::unique_ptr<PrinterHandle> OpenPrinterA(const std::string& name, std::uint32_t access = 0) = 0;

    virtual std::unique_ptr<PrinterHandle> AddPrinterA(const PrinterInfo2& printer) = 0;
    virtual bool DeletePrinter(PrinterHandle& printer) = 0;
    virtual std::optional<PrinterInfo2> GetPrinterA(PrinterHandle& printer) = 0;
    virtual bool SetPrinterA(PrinterHandle& printer, const PrinterInfo2& info) = 0;

    // The jobs of the printer that have not ended yet.
    virtual std::optional<std::vector<JobInfo2>> EnumJobsA(PrinterHandle& printer) = 0;
    // The jobs of every printer of this computer in one answer, in the spooler's order
    // (a poll of all printers in one request).
    virtual std::optional<std::vector<JobInfo2>> EnumAllJobs() = 0;
    // The last records of those of the given jobs (ids ascending) that have ended
    // (completed, cancelled or aborted), on one printer or, without one, on every printer
    // of this computer; jobs the spooler no longer knows are left out. Job listings hold
    // only the jobs not yet ended: a caller that keeps what it has seen (EndedJobs) asks
    // here how the others ended. By default no ended job is known.
    virtual std::optional<std::vector<JobInfo2>> EnumEndedJobs(PrinterHandle* printer,
                                                               const std::vector<std::uint32_t>& ids) {
        (void)printer;
        (void)ids;
        return std::vector<JobInfo2>();
    }
    virtual bool SetJobA(PrinterHandle& printer, std::uint32_t jobId, std::uint32_t command) = 0;

    // Whether this computer's print server lets other computers reach the printers it
    // shares at all; nullopt when that cannot be told (the reason: LastFailure()).
    virtual std::optional<bool> ServerSharesPrinters() { return std::nullopt; }

    // A feed of the job changes of this computer's printers, or nullptr when the spooler
    // offers none (the jobs are then polled). Waits until it sees every change from now on.
    virtual std::unique_ptr<JobFeed> WatchJobs() { return nullptr; }

    virtual std::unique_ptr<ChangeNotification>
    FindFirstPrinterChangeNotification(PrinterHandle& printer, std::uint32_t filter, const NotifyOptions& options) = 0;
    // Waits up to timeoutMs (-1: no limit) for the registration's handle; true when signalled.
    virtual bool WaitForSingleObject(ChangeNotification& notification, int timeoutMs) = 0;
    // The change word and the block with the watched fields; nullopt on failure.
    virtual std::optional<NotifyInfo> FindNextPrinterChangeNotification(ChangeNotification& notification,
                                                                        std::uint32_t& change,
                                                                        const NotifyOptions& options) = 0;
};

} // namespace quill::spooler
