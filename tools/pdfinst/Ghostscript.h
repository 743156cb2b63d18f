#pragma once

#include "JobOwner.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quill::pdfinst {

class JobData;

// Limits on one conversion that no real document meets; a job that reaches one is
// stopped and cupsd's log says which. bytes bounds what the conversion writes: the PDF,
// and Ghostscript's temporary files each and together.
struct ConversionLimits {
    static constexpr int kSeconds = 600;
    static constexpr std::uint64_t kBytes = std::uint64_t{2} << 30;
    int seconds = kSeconds;
    std::uint64_t bytes = kBytes;
};

// The built-in limits, lowered where the server's configuration sets PDFINST_TIME_LIMIT
// (seconds) or PDFINST_SIZE_LIMIT (bytes); a larger or unreadable value leaves the
// built-in one.
ConversionLimits LimitsFromEnvironment();

struct Conversion {
    std::string pdfVersion; // "1.4"; empty: Ghostscript's default
    // The account Ghostscript runs as; none: this process's own (the job's user).
    std::optional<JobOwner> runAs;
    ConversionLimits limits;
};

// Converts the job's PostScript to PDF with Ghostscript's pdfwrite device, written to out.
// Ghostscript runs in its SAFER mode with a private temporary folder (PrivateFolder) as
// its only writable place, holds nothing of this process but the job's data, out and a
// pipe for its messages, and its messages reach cupsd only as DEBUG lines (DebugLines).
// Throws BackendError; with status kBackendOk when StopConversion stopped it.
void ConvertPostScript(JobData& data, int out, const Conversion& how);

// For the SIGTERM handler (async-signal-safe): kills the running Ghostscript, whose
// conversion then ends with its cleanup. False when no conversion runs.
bool StopConversion() noexcept;

} // namespace quill::pdfinst
