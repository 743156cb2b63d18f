#pragma once

#include "Fd.h"

#include <string>
#include <string_view>

namespace quill::pdfinst {

struct JobOwner;

// The folder for jobs of users this computer does not know (only root may read them).
inline constexpr const char* kSpoolFolder = "/var/spool/quill-pdf";

// The owner's PDF folder, opened as the owner: the folder `folder` when given (it must
// exist), else ~/PDF, made (mode 0700) when missing. A symbolic link at the folder's
// name is refused, never followed. Throws BackendError.
Fd OpenOwnerFolder(const JobOwner& owner, const char* folder);

// The spool folder, made by root with mode 0700 when missing; refused when it is a
// symbolic link, not root's, or writable by others. Throws BackendError.
Fd OpenSpoolFolder(const std::string& path);

// The file (mode 0600) in the folder for the job's PDF. Where the file system allows, it
// has no name while it is written (O_TMPFILE) and gets one with PublishOutputFile once
// the PDF is whole: a backend killed on the way (SIGKILL, cupsd stopping) leaves no
// partial PDF. Elsewhere it is named at once, as PublishOutputFile names it.
// Throws BackendError.
struct OutputFile {
    Fd fd;
    std::string name; // empty while the file has no name
};
OutputFile CreateOutputFile(int folder, std::string_view title, std::string_view jobId);

// Gives the file its name, after title and job id (OutputName): never an existing file,
// never through a symbolic link; a taken name is followed by the next attempt. Throws
// BackendError.
void PublishOutputFile(int folder, OutputFile& output, std::string_view title, std::string_view jobId);

} // namespace quill::pdfinst
