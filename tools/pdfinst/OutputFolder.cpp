#include "OutputFolder.h"

#include "BackendError.h"
#include "JobOwner.h"
#include "OutputName.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace quill::pdfinst {

namespace {

constexpr int kMaxAttempts = 100;

std::string Reason() { return std::strerror(errno); }

// O_NOFOLLOW: a symbolic link planted at the name makes the open fail (ELOOP).
Fd OpenFolderAt(int at, const char* name) {
    return Fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace

Fd OpenOwnerFolder(const JobOwner& owner, const char* folder) {
    if (folder) {
        Fd fd = OpenFolderAt(AT_FDCWD, folder);
        if (!fd)
            throw BackendError(kBackendCancel, std::string("cannot open the PDF folder ") + folder + ": " + Reason());
        return fd;
    }
    // The home folder itself may be a link an administrator made; it is opened with the
    // owner's rights only, so following it gives nothing away.
    const Fd home(::open(owner.home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!home) throw BackendError(kBackendCancel, "cannot open the home folder " + owner.home + ": " + Reason());
    if (::mkdirat(home.get(), "PDF", 0700) != 0 && errno != EEXIST)
        throw BackendError(kBackendCancel, "cannot make " + owner.home + "/PDF: " + Reason());
    Fd pdf = OpenFolderAt(home.get(), "PDF");
    if (!pdf)
        throw BackendError(kBackendCancel,
                           owner.home + "/PDF is not a folder (a symbolic link is not followed): " + Reason());
    return pdf;
}

Fd OpenSpoolFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw BackendError(kBackendFailed, "cannot make the spool folder " + path + ": " + Reason());
    Fd fd = OpenFolderAt(AT_FDCWD, path.c_str());
    if (!fd) throw BackendError(kBackendFailed, "cannot open the spool folder " + path + ": " + Reason());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        throw BackendError(kBackendFailed,
                           "the spool folder " + path + " is not root's alone; nothing is written there");
    return fd;
}

OutputFile CreateOutputFile(int folder, std::string_view title, std::string_view jobId) {
    OutputFile output;
    output.fd = Fd(::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
    if (output.fd) return output;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        throw BackendError(kBackendCancel, "cannot create the PDF: " + Reason());
    PublishOutputFile(folder, output, title, jobId);
    return output;
}

void PublishOutputFile(int folder, OutputFile& output, std::string_view title, std::string_view jobId) {
    if (output.fd && !output.name.empty()) return;
    // The unnamed file is linked through its descriptor's entry in /proc, which needs no
    // privilege (AT_EMPTY_PATH would).
    const std::string self = "/proc/self/fd/" + std::to_string(output.fd ? output.fd.get() : -1);
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        std::string name = OutputName(title, jobId, attempt);
        if (output.fd) {
            // linkat never replaces an existing name, a symbolic link included.
            if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                output.name = std::move(name);
                return;
            }
        } else {
            // O_EXCL also fails on a symbolic link at the name, dangling or not.
            output.fd = Fd(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (output.fd) {
                output.name = std::move(name);
                return;
            }
        }
        if (errno != EEXIST) throw BackendError(kBackendCancel, "cannot create " + name + ": " + Reason());
    }
    throw BackendError(kBackendCancel, "every name for the PDF of job " + std::string(jobId) + " is taken");
}

} // namespace quill::pdfinst
