#pragma once

#include "spooler/Spooler.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quill::spooler {

// What a fetch read of a watched printer.
struct PrinterValues {
    std::uint32_t status = 0; // printer status bits
    std::uint32_t jobs = 0;   // queued jobs
    std::string shareName;    // empty for a printer not shared
};

// The block a fetch reports: for each type the options ask for, in their order, the
// asked fields that CUPS knows, of the printer (named printerName, as the user named it)
// or of each of the jobs in turn.
NotifyInfo BuildNotifyBlock(const NotifyOptions& options, const std::string& printerName, const PrinterValues& printer,
                            const std::vector<JobInfo2>& jobs);

} // namespace quill::spooler
