#include "Ghostscript.h"

#include "BackendError.h"
#include "Fd.h"
#include "JobData.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef QUILL_GHOSTSCRIPT
#define QUILL_GHOSTSCRIPT "/usr/bin/gs"
#endif

namespace quill::pdfinst {

namespace {

constexpr int kExecFailed = 127;

[[noreturn]] void RunGhostscript(int in, int out, const std::string& pdfVersion, const std::string& home) {
    if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0) ::_exit(kExecFailed);
    std::string level = "-dCompatibilityLevel=" + pdfVersion;
    std::vector<const char*> args = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                                     "-sDEVICE=pdfwrite",
                                     // The PDF goes to standard output; what the PostScript itself prints
                                     // goes to standard error, so it cannot end up in the file.
                                     "-sOutputFile=-", "-sstdout=%stderr"};
    if (!pdfVersion.empty()) args.push_back(level.c_str());
    args.push_back("-");
    args.push_back(nullptr);
    // CUPS' temporary folder is not writable for the owner: Ghostscript's temporary files go to /tmp.
    const std::string homeVariable = "HOME=" + home;
    const char* environment[] = {"PATH=/usr/bin:/bin", "TMPDIR=/tmp", "LC_ALL=C", homeVariable.c_str(), nullptr};
    ::execve(QUILL_GHOSTSCRIPT, const_cast<char* const*>(args.data()), const_cast<char* const*>(environment));
    ::_exit(kExecFailed);
}

} // namespace

void ConvertPostScript(JobData& data, int out, const std::string& pdfVersion, const std::string& home) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw BackendError(kBackendFailed, std::string("cannot make a pipe: ") + std::strerror(errno));
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) throw BackendError(kBackendFailed, std::string("cannot start Ghostscript: ") + std::strerror(errno));
    if (child == 0) RunGhostscript(readEnd.get(), out, pdfVersion, home);
    readEnd.reset();

    // Ghostscript may stop reading early (a broken file): its end shows as EPIPE here,
    // and its exit status says why.
    bool fed = true;
    try {
        data.Pump(writeEnd.get());
    } catch (const BackendError&) {
        fed = false;
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kExecFailed)
        throw BackendError(kBackendFailed, "cannot run Ghostscript (" QUILL_GHOSTSCRIPT ")");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw BackendError(kBackendCancel, "Ghostscript could not turn the job's PostScript into a PDF");
    if (!fed) throw BackendError(kBackendCancel, "the job's data could not be read to its end");
}

} // namespace quill::pdfinst
