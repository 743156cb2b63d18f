#include "zip/PosixFiles.h"

#include "zip/ZipFormat.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::zip::posix {

bool Seek(std::FILE* file, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(INT64_MAX) && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::uint64_t Tell(std::FILE* file) {
    const off_t at = ftello(file);
    return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

bool ReadExactly(std::FILE* file, void* buffer, std::size_t length) {
    return std::fread(buffer, 1, length, file) == length;
}

std::optional<std::uint32_t> FileDosDateTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return TimeToDosDateTime(st.st_mtime);
}

namespace {

FileStamp StampOf(const struct stat& st) {
    FileStamp stamp;
    stamp.dosDateTime = TimeToDosDateTime(st.st_mtime);
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.modifiedSeconds = st.st_mtim.tv_sec;
    stamp.modifiedNanoseconds = st.st_mtim.tv_nsec;
    stamp.changedSeconds = st.st_ctim.tv_sec;
    stamp.changedNanoseconds = st.st_ctim.tv_nsec;
    return stamp;
}

} // namespace

std::optional<FileStamp> StampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return StampOf(st);
}

std::optional<FileStamp> StampOf(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    return StampOf(st);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) return true;
    std::string built;
    std::size_t at = 0;
    if (path[0] == '/') {
        built = "/";
        at = 1;
    }
    while (at <= path.size()) {
        std::size_t next = path.find('/', at);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty()) continue;
        if (!built.empty() && built.back() != '/') built += '/';
        built += part;
        struct stat st {};
        if (::lstat(built.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return false;
            continue;
        }
        if (::mkdir(built.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

int OpenFolderBelow(int base, const std::vector<std::string>& parts, bool create) {
    Fd folder(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    for (const auto& part : parts) {
        if (folder.get() < 0) return -1;
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
            errno = EINVAL;
            return -1;
        }
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(folder.get(), part.c_str(), kFlags);
        if (next < 0 && errno == ENOENT && create) {
            // Made by someone else meanwhile counts as made; the open below still refuses a link.
            if (::mkdirat(folder.get(), part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
            next = ::openat(folder.get(), part.c_str(), kFlags);
        }
        if (next < 0) return -1;
        folder.reset(next);
    }
    return folder.release();
}

bool SafeParts(const std::string& path, std::vector<std::string>& parts) {
    if (path.find('\0') != std::string::npos) return false;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t next = path.find_first_of("\\/", at);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return false;
        parts.push_back(part);
    }
    return true;
}

bool Fd::Close() {
    if (m_fd < 0) return true;
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0;
}

} // namespace quill::zip::posix
