#pragma once

#include "spooler/Spooler.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quill::monitor {

// One row of a status table: a bit and the name shown for it.
struct StatusBitName {
    std::uint32_t bit;
    std::string_view name;
};

// The printer status bits in ascending bit order, and the job status bits in the
// alphabetical order of their names. Bits that neither table names are never shown.
std::span<const StatusBitName> printerStatusTable();
std::span<const StatusBitName> jobStatusTable();

// The names of the bits of value that the table names, in table order: " A " for the
// first, "| B " for each further one; empty when none is set.
std::string FormatStatusBits(std::uint32_t value, std::span<const StatusBitName> table);

// A submission time as a FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
// Nothing when a member is out of its range (year 1601 to 30827, a day that the month
// has, hours, minutes, seconds, milliseconds); the day of the week is not checked.
std::optional<std::uint64_t> SystemTimeToFileTime(const spooler::SystemTime& time);

// The activity log text for one record of a notification block, or nothing for a
// record that is neither a printer nor a job record. A record whose data is not of
// the kind its field shows (a number where text is shown, for example) is shown as an
// empty string, as 0, or as an unconvertible time.
std::optional<std::string> DescribeNotifyData(const spooler::NotifyData& record);

} // namespace quill::monitor
