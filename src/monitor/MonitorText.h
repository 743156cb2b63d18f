#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quill::monitor {

// The line that opens and closes the start and stop reports.
inline constexpr std::string_view kSeparatorLine =
    "--------------------------------------------------------------------";

// The output file name announced for a printer: every blank becomes an underscore and
// ".log" follows; backslashes and every other byte stay as they are. No file of this
// name is ever created.
std::string OutputFileName(std::string_view printerName);

// The thread table's size as the start reports it: 40 bytes per printer, the size of one
// entry of ten 32-bit fields, whatever an entry takes in memory here.
std::uint32_t ThreadBufferReportedSize(std::size_t printerCount);

} // namespace quill::monitor
