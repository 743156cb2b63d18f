#include "platform/PrivateFolder.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quill::platform {
namespace {

// The folder at path, opened, when it is the user's own and closed to everyone else; -1
// otherwise. The last part is never followed if it is a link; the checks are made on
// what was opened.
int OpenOwnFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0) return fd;
    ::close(fd);
    return -1;
}

} // namespace

const std::vector<std::string>& PrivateFolder::DefaultParents() {
    static const std::vector<std::string> parents = {"/dev/shm", "/tmp"};
    return parents;
}

std::optional<PrivateFolder> PrivateFolder::Open(const std::vector<std::string>& parents) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        if (const int fd = OpenOwnFolder(runtime); fd >= 0) return PrivateFolder(fd, runtime);
    }
    for (const auto& parent : parents) {
        const std::string path = parent + "/quill-" + std::to_string(::geteuid());
        // mkdir never follows a link at path, and the mode holds whatever the umask says.
        if (::mkdir(path.c_str(), 0700) == 0) ::chmod(path.c_str(), 0700);
        if (const int fd = OpenOwnFolder(path); fd >= 0) return PrivateFolder(fd, path);
    }
    return std::nullopt;
}

PrivateFolder::PrivateFolder(PrivateFolder&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)) {}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

PrivateFolder::~PrivateFolder() {
    if (m_fd >= 0) ::close(m_fd);
}

} // namespace quill::platform
