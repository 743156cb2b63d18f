#include "monitor/MonitorText.h"

#include <algorithm>

namespace quill::monitor {

std::string OutputFileName(std::string_view printerName) {
    std::string name(printerName.substr(0, printerName.find('\0')));
    std::replace(name.begin(), name.end(), ' ', '_');
    name += ".log";
    return name;
}

std::uint32_t ThreadBufferReportedSize(std::size_t printerCount) {
    constexpr std::uint32_t kEntrySize = 40;
    return static_cast<std::uint32_t>(printerCount) * kEntrySize;
}

} // namespace quill::monitor
