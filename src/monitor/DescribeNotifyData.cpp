#include "monitor/DescribeNotifyData.h"

#include "monitor/FormatLogText.h"

#include <array>

namespace quill::monitor {
namespace {

namespace sp = quill::spooler;

// How a row shows its record's data.
enum class Kind {
    String,    // the record's text through "%s"
    Number,    // the record's 32-bit number through the row's own conversion
    TimeOfDay, // the record's number as minutes after midnight, through "%2.2d:%2.2d"
    Status,    // the record's number as status bits, through "%s"
    Submitted, // the record's time as a FILETIME, high then low 32 bits, through "%8.8X%8.8X"
    Remark,    // the row's fixed text; the record's data is not read
};

struct FieldRow {
    Kind kind;
    std::string_view format;
};

// Rows indexed by the printer record's field code.
constexpr std::array<FieldRow, 26> kPrinterRows{{
    {Kind::String, "PRINTER_NOTIFY_FIELD_SERVER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_SHARE_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_PORT_NAME: (not supported)"},
    {Kind::String, "PRINTER_NOTIFY_FIELD_DRIVER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_COMMENT: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_LOCATION: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_DEVMODE: (too complex)"},
    {Kind::String, "PRINTER_NOTIFY_FIELD_SEPFILE: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_PRINT_PROCESSOR: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_PARAMETERS: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "PRINTER_NOTIFY_FIELD_DATATYPE: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_SECURITY_DESCRIPTOR: (too complex)"},
    {Kind::Number, "PRINTER_NOTIFY_FIELD_ATTRIBUTES: %8.8X"},
    {Kind::Number, "PRINTER_NOTIFY_FIELD_PRIORITY: %8.8X"},
    {Kind::Number, "PRINTER_NOTIFY_FIELD_DEFAULT_PRIORITY: %8.8X"},
    {Kind::TimeOfDay, "PRINTER_NOTIFY_FIELD_START_TIME: %2.2d:%2.2d"},
    {Kind::TimeOfDay, "PRINTER_NOTIFY_FIELD_UNTIL_TIME: %2.2d:%2.2d"},
    {Kind::Status, "PRINTER_NOTIFY_FIELD_STATUS = (%s)"},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_STATUS_STRING: (not supported)"},
    {Kind::Number, "PRINTER_NOTIFY_FIELD_CJOBS: %d"},
    {Kind::Number, "PRINTER_NOTIFY_FIELD_AVERAGE_PPM: %d per minute"},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_TOTAL_PAGES: (not supported)"},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_PAGES_PRINTED: (not supported)"},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_TOTAL_BYTES: (not supported)"},
    {Kind::Remark, "PRINTER_NOTIFY_FIELD_BYTES_PRINTED: (not supported)"},
}};

// Rows indexed by the job record's field code.
constexpr std::array<FieldRow, 24> kJobRows{{
    {Kind::String, "JOB_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_MACHINE_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_PORT_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_USER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_NOTIFY_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_DATATYPE: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_PRINT_PROCESSOR: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_PARAMETERS: NotifyData.Data.pbuf = \"%s\""},
    {Kind::String, "JOB_NOTIFY_FIELD_DRIVER_NAME: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Remark, "JOB_NOTIFY_FIELD_DEVMODE: (too complex)"},
    {Kind::Status, "JOB_NOTIFY_FIELD_STATUS = (%s)"},
    {Kind::String, "JOB_NOTIFY_FIELD_STATUS_STRING: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Remark, "JOB_NOTIFY_FIELD_SECURITY_DESCRIPTOR: (not supported)"},
    {Kind::String, "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"%s\""},
    {Kind::Number, "JOB_NOTIFY_FIELD_PRIORITY: NotifyData.adwData[0] = %d"},
    {Kind::Number, "JOB_NOTIFY_FIELD_POSITION: NotifyData.adwData[0] = %d"},
    {Kind::Submitted, "JOB_NOTIFY_FIELD_SUBMITTED: SYSTEMTIME(NotifyData.Data.pbuf^) = %8.8X%8.8X"},
    {Kind::TimeOfDay, "JOB_NOTIFY_FIELD_START_TIME: %2.2d:%2.2d"},
    {Kind::TimeOfDay, "JOB_NOTIFY_FIELD_UNTIL_TIME: %2.2d:%2.2d"},
    {Kind::Number, "JOB_NOTIFY_FIELD_TIME: NotifyData.adwData[0] = %d sec"},
    {Kind::Number, "JOB_NOTIFY_FIELD_TOTAL_PAGES: NotifyData.adwData[0] = %d"},
    {Kind::Number, "JOB_NOTIFY_FIELD_PAGES_PRINTED: NotifyData.adwData[0] = %d"},
    {Kind::Number, "JOB_NOTIFY_FIELD_TOTAL_BYTES: NotifyData.adwData[0] = %d"},
    {Kind::Number, "JOB_NOTIFY_FIELD_BYTES_PRINTED: NotifyData.adwData[0] = %d"},
}};

constexpr std::array<StatusBitName, 25> kPrinterStatus{{
    {sp::PRINTER_STATUS_PAUSED, "PRINTER_STATUS_PAUSED"},
    {sp::PRINTER_STATUS_ERROR, "PRINTER_STATUS_ERROR"},
    {sp::PRINTER_STATUS_PENDING_DELETION, "PRINTER_STATUS_PENDING_DELETION"},
    {sp::PRINTER_STATUS_PAPER_JAM, "PRINTER_STATUS_PAPER_JAM"},
    {sp::PRINTER_STATUS_PAPER_OUT, "PRINTER_STATUS_PAPER_OUT"},
    {sp::PRINTER_STATUS_MANUAL_FEED, "PRINTER_STATUS_MANUAL_FEED"},
    {sp::PRINTER_STATUS_PAPER_PROBLEM, "PRINTER_STATUS_PAPER_PROBLEM"},
    {sp::PRINTER_STATUS_OFFLINE, "PRINTER_STATUS_OFFLINE"},
    {sp::PRINTER_STATUS_IO_ACTIVE, "PRINTER_STATUS_IO_ACTIVE"},
    {sp::PRINTER_STATUS_BUSY, "PRINTER_STATUS_BUSY"},
    {sp::PRINTER_STATUS_PRINTING, "PRINTER_STATUS_PRINTING"},
    {sp::PRINTER_STATUS_OUTPUT_BIN_FULL, "PRINTER_STATUS_OUTPUT_BIN_FULL"},
    {sp::PRINTER_STATUS_NOT_AVAILABLE, "PRINTER_STATUS_NOT_AVAILABLE"},
    {sp::PRINTER_STATUS_WAITING, "PRINTER_STATUS_WAITING"},
    {sp::PRINTER_STATUS_PROCESSING, "PRINTER_STATUS_PROCESSING"},
    {sp::PRINTER_STATUS_INITIALIZING, "PRINTER_STATUS_INITIALIZING"},
    {sp::PRINTER_STATUS_WARMING_UP, "PRINTER_STATUS_WARMING_UP"},
    {sp::PRINTER_STATUS_TONER_LOW, "PRINTER_STATUS_TONER_LOW"},
    {sp::PRINTER_STATUS_NO_TONER, "PRINTER_STATUS_NO_TONER"},
    {sp::PRINTER_STATUS_PAGE_PUNT, "PRINTER_STATUS_PAGE_PUNT"},
    {sp::PRINTER_STATUS_USER_INTERVENTION, "PRINTER_STATUS_USER_INTERVENTION"},
    {sp::PRINTER_STATUS_OUT_OF_MEMORY, "PRINTER_STATUS_OUT_OF_MEMORY"},
    {sp::PRINTER_STATUS_DOOR_OPEN, "PRINTER_STATUS_DOOR_OPEN"},
    {sp::PRINTER_STATUS_SERVER_UNKNOWN, "PRINTER_STATUS_SERVER_UNKNOWN"},
    {sp::PRINTER_STATUS_POWER_SAVE, "PRINTER_STATUS_POWER_SAVE"},
}};

// Alphabetical order of the names, which is the order in which they are shown.
constexpr std::array<StatusBitName, 12> kJobStatus{{
    {sp::JOB_STATUS_BLOCKED_DEVQ, "JOB_STATUS_BLOCKED_DEVQ"},
    {sp::JOB_STATUS_DELETED, "JOB_STATUS_DELETED"},
    {sp::JOB_STATUS_DELETING, "JOB_STATUS_DELETING"},
    {sp::JOB_STATUS_ERROR, "JOB_STATUS_ERROR"},
    {sp::JOB_STATUS_OFFLINE, "JOB_STATUS_OFFLINE"},
    {sp::JOB_STATUS_PAPEROUT, "JOB_STATUS_PAPEROUT"},
    {sp::JOB_STATUS_PAUSED, "JOB_STATUS_PAUSED"},
    {sp::JOB_STATUS_PRINTED, "JOB_STATUS_PRINTED"},
    {sp::JOB_STATUS_PRINTING, "JOB_STATUS_PRINTING"},
    {sp::JOB_STATUS_RESTART, "JOB_STATUS_RESTART"},
    {sp::JOB_STATUS_SPOOLING, "JOB_STATUS_SPOOLING"},
    {sp::JOB_STATUS_USER_INTERVENTION, "JOB_STATUS_USER_INTERVENTION"},
}};

// Shown when a submission time cannot be converted.
constexpr std::uint32_t kUnconvertibleHigh = 0xF0F0;
constexpr std::uint32_t kUnconvertibleLow = 0xF0F;

constexpr std::uint64_t kTicksPerMillisecond = 10000;
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
    static constexpr std::array<unsigned, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::string_view textOf(const sp::NotifyData& record) {
    const std::string* text = std::get_if<std::string>(&record.Data);
    return text ? std::string_view(*text) : std::string_view();
}

std::uint32_t numberOf(const sp::NotifyData& record) {
    const std::uint32_t* number = std::get_if<std::uint32_t>(&record.Data);
    return number ? *number : 0;
}

std::string describe(const FieldRow& row, std::span<const StatusBitName> statusTable, const sp::NotifyData& record) {
    switch (row.kind) {
    case Kind::String: return FormatLogText(row.format, {textOf(record)});
    case Kind::Number: return FormatLogText(row.format, {numberOf(record)});
    case Kind::TimeOfDay: {
        const std::uint32_t minutes = numberOf(record);
        return FormatLogText(row.format, {minutes / 60, minutes % 60});
    }
    case Kind::Status: return FormatLogText(row.format, {FormatStatusBits(numberOf(record), statusTable)});
    case Kind::Submitted: {
        std::uint32_t high = kUnconvertibleHigh;
        std::uint32_t low = kUnconvertibleLow;
        const sp::SystemTime* time = std::get_if<sp::SystemTime>(&record.Data);
        if (std::optional<std::uint64_t> fileTime = time ? SystemTimeToFileTime(*time) : std::nullopt) {
            high = static_cast<std::uint32_t>(*fileTime >> 32);
            low = static_cast<std::uint32_t>(*fileTime);
        }
        return FormatLogText(row.format, {high, low});
    }
    case Kind::Remark: break;
    }
    return FormatLogText(row.format);
}

} // namespace

std::span<const StatusBitName> printerStatusTable() { return kPrinterStatus; }
std::span<const StatusBitName> jobStatusTable() { return kJobStatus; }

std::string FormatStatusBits(std::uint32_t value, std::span<const StatusBitName> table) {
    std::string text;
    for (const StatusBitName& row : table) {
        if ((value & row.bit) == 0) continue;
        text += text.empty() ? " " : "| ";
        text += row.name;
        text += ' ';
    }
    return text;
}

std::optional<std::uint64_t> SystemTimeToFileTime(const spooler::SystemTime& time) {
    if (time.wYear < 1601 || time.wYear > 30827) return std::nullopt;
    if (time.wMonth < 1 || time.wMonth > 12) return std::nullopt;
    if (time.wDay < 1 || time.wDay > daysInMonth(time.wYear, time.wMonth)) return std::nullopt;
    if (time.wHour > 23 || time.wMinute > 59 || time.wSecond > 59 || time.wMilliseconds > 999) return std::nullopt;

    const auto days =
        static_cast<std::uint64_t>(daysFromCivil(time.wYear, time.wMonth, time.wDay) + kDaysFrom1601To1970);
    const std::uint64_t milliseconds =
        ((days * 24 + time.wHour) * 60 + time.wMinute) * 60000 + time.wSecond * 1000ull + time.wMilliseconds;
    return milliseconds * kTicksPerMillisecond;
}

std::optional<std::string> DescribeNotifyData(const spooler::NotifyData& record) {
    if (record.Type == sp::PRINTER_NOTIFY_TYPE) {
        if (record.Field >= kPrinterRows.size()) return std::string("UNKNOWN printer notification.");
        return describe(kPrinterRows[record.Field], kPrinterStatus, record);
    }
    if (record.Type == sp::JOB_NOTIFY_TYPE) {
        if (record.Field >= kJobRows.size()) return std::string("UNKNOWN job notification.");
        return describe(kJobRows[record.Field], kJobStatus, record);
    }
    return std::nullopt;
}

} // namespace quill::monitor
