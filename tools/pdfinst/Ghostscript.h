#pragma once

#include <string>

namespace quill::pdfinst {

class JobData;

// Converts the job's PostScript to PDF with Ghostscript's pdfwrite device, written to
// out. pdfVersion ("1.4") sets the PDF version when not empty. Ghostscript runs with
// the rights this process has now (the owner's) and in its SAFER mode. Throws BackendError.
void ConvertPostScript(JobData& data, int out, const std::string& pdfVersion, const std::string& home);

} // namespace quill::pdfinst
