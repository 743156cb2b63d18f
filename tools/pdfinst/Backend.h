#pragma once

namespace quill::pdfinst {

// The CUPS backend "pdfinst", the port of the managed printer "QUILL Amber PDF Creator".
// Without arguments it names its device; with "job-id user title copies options [file]"
// it writes the job (PDF, or PostScript converted to PDF) as a file into the PDF
// folder of the job's user, and returns a CUPS backend exit status.
//
// Where the files go: ~/PDF of the job's user, written with that user's rights only, when
// cupsd authenticated that user (AUTH_USERNAME; any client may give any user name, so the
// name alone is never believed). Any other job (a name that cupsd did not verify, a user
// this computer does not know, one without a home folder, a system account) goes to
// kSpoolFolder, readable by root alone. Ghostscript never runs as root (ConvertPostScript).
// Environment variables that only the CUPS server's configuration can set (SetEnv in
// cups-files.conf; a job cannot set the backend's environment) move the files and lower
// the limits of a conversion: PDFINST_OUTPUT_DIR replaces ~/PDF for every user,
// PDFINST_SPOOL_DIR the spool folder, and PDFINST_TIME_LIMIT, PDFINST_SIZE_LIMIT,
// PDFINST_MEMORY_LIMIT and PDFINST_USER_LIMIT the limits (LimitsFromEnvironment). The
// test servers use them.
int RunBackend(int argc, char** argv);

} // namespace quill::pdfinst
