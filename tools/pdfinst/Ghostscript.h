#pragma once

#include "JobOwner.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quill::pdfinst {

class JobData;

// Limits on one conversion that no real document meets; a job that reaches one is
// stopped and cupsd's log says which. bytes bounds what the conversion holds on disk: the
// job's copy and Ghostscript's temporary files (each, and together, deleted ones that are
// still open included) and the PDF; memory bounds Ghostscript's address space; pdfBytes
// bounds the PDF alone, lower for one that goes into a user's PDF folder.
struct ConversionLimits {
    static constexpr int kSeconds = 600;
    static constexpr std::uint64_t kBytes = std::uint64_t{2} << 30;
    static constexpr std::uint64_t kMemory = std::uint64_t{2} << 30;
    static constexpr std::uint64_t kUserPdfBytes = std::uint64_t{512} << 20;
    int seconds = kSeconds;
    std::uint64_t bytes = kBytes;
    std::uint64_t memory = kMemory;
    std::uint64_t pdfBytes = kBytes;
};

// The built-in limits, lowered where the server's configuration sets PDFINST_TIME_LIMIT
// (seconds), PDFINST_SIZE_LIMIT (bytes) or PDFINST_MEMORY_LIMIT (bytes); a larger or
// unreadable value leaves the built-in one. forUser: the PDF goes into a user's PDF
// folder, where one job may put kUserPdfBytes, or what PDFINST_USER_LIMIT (bytes) sets up
// to the size limit.
ConversionLimits LimitsFromEnvironment(bool forUser);

// Why a job whose PDF goes beyond limits.pdfBytes was stopped, for cupsd's log.
std::string PdfTooLarge(const ConversionLimits& limits);

struct Conversion {
    std::string pdfVersion; // "1.4"; empty: Ghostscript's default
    // The account Ghostscript runs as; none: this process's own (the job's user).
    std::optional<JobOwner> runAs;
    ConversionLimits limits;
};

// Converts the job's PostScript to PDF with Ghostscript's pdfwrite device, written to out.
// The job's data is first copied into a private temporary folder (PrivateFolder), owned by
// the account that converts, and Ghostscript opens that copy by its path (it reads a pipe
// one byte at a time). Ghostscript runs in its SAFER mode with that folder as its only
// writable place, holds nothing of this process but out and a pipe for its messages, and
// its messages reach cupsd only as DEBUG lines (DebugLines).
// Throws BackendError; with status kBackendOk when StopConversion stopped it.
void ConvertPostScript(JobData& data, int out, const Conversion& how);

// For the SIGTERM handler (async-signal-safe): kills the running Ghostscript, whose
// conversion then ends with its cleanup. False when no conversion runs.
bool StopConversion() noexcept;

} // namespace quill::pdfinst
