#pragma once

#include <string>
#include <string_view>

namespace quill::pdfinst {

// At most this many bytes of the job title go into a file name.
inline constexpr std::size_t kTitleBytes = 96;

// The job title as one harmless name part: no '/', no control character, no leading
// '.' or space, a trailing ".pdf" or ".ps" dropped, at most kTitleBytes bytes (never
// cutting a UTF-8 sequence). Empty when nothing of the title is left.
std::string SafeTitle(std::string_view title);

// The name of the PDF file of a job: "TITLE-job-ID.pdf" ("job-ID.pdf" without a usable
// title); attempt 2, 3, ... give "TITLE-job-ID (2).pdf" ... for when the first is taken.
// jobId must consist of digits.
std::string OutputName(std::string_view title, std::string_view jobId, int attempt = 1);

} // namespace quill::pdfinst
