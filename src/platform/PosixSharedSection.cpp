#include "platform/PosixSharedSection.h"

#include "platform/Fd.h"
#include "platform/PrivateFolder.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quill::platform {
namespace {

constexpr const char* kStartSuffix = ".start";

class PosixView final : public SectionView {
public:
    explicit PosixView(void* address) : m_address(address) {}
    ~PosixView() override { ::munmap(m_address, SharedSection::kSectionSize); }
    unsigned char* bytes() override { return static_cast<unsigned char*>(m_address); }

private:
    void* m_address;
};

class PosixHandle final : public SectionHandle {
public:
    // folder is -1 for a section of this process alone, which no name reaches.
    PosixHandle(int fd, int folder, std::string fileName, bool holdsLock)
        : m_fd(fd), m_folder(folder), m_fileName(std::move(fileName)), m_holdsLock(holdsLock) {}

    ~PosixHandle() override {
        // The last running copy removes the object, as the system does with a section
        // whose last handle closes, and the lock object of the starts with it. Ends run
        // under the start lock, so no start can be between opening the object and
        // locking it here; a start that waits for the removed lock object sees that it
        // is gone and takes the new one (LockStarts).
        if (m_holdsLock && m_folder.get() >= 0 && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(m_folder.get(), m_fileName.c_str(), 0);
            ::unlinkat(m_folder.get(), (m_fileName + kStartSuffix).c_str(), 0);
        }
    }

    std::unique_ptr<SectionView> MapViewOfFile() override {
        struct stat st {};
        if (::fstat(m_fd.get(), &st) != 0 || st.st_size < static_cast<off_t>(SharedSection::kSectionSize))
            return nullptr;
        void* address = ::mmap(nullptr, SharedSection::kSectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd.get(), 0);
        if (address == MAP_FAILED) return nullptr;
        return std::make_unique<PosixView>(address);
    }

private:
    Fd m_fd;
    Fd m_folder;
    std::string m_fileName;
    bool m_holdsLock;
};

class PosixStartLock final : public StartLock {
public:
    explicit PosixStartLock(int fd) : m_fd(fd) {}
    ~PosixStartLock() override { ::flock(m_fd.get(), LOCK_UN); }

private:
    Fd m_fd;
};

// Whether fd is still the object that the name gives in folder.
bool StillNamed(int fd, int folder, const std::string& fileName) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::fstatat(folder, fileName.c_str(), &b, AT_SYMLINK_NOFOLLOW) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A fresh section reads as zeros.
bool ResetToZeros(int fd) { return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, SharedSection::kSectionSize) == 0; }

// Opens a section or lock object in the private folder, never through a link; an object
// that is not a plain file of the user's own counts as not there (only root could have
// put it into the user's folder).
int OpenObject(int folder, const std::string& fileName, int flags) {
    const int fd = ::openat(folder, fileName.c_str(), flags | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) return fd;
    ::close(fd);
    errno = EPERM;
    return -1;
}

// The section's file name in the private folder.
std::string FileName(const std::string& name) { return PosixSharedSection::ObjectName(name).substr(1); }

// A section that no other copy can find: where the user has no private folder, a copy
// runs as the first one rather than use a place that another user could have prepared.
SharedSection::Created PrivateToThisProcess() {
    SharedSection::Created result;
    Fd fd(::memfd_create("quill-section", MFD_CLOEXEC));
    if (fd.get() < 0 || ::ftruncate(fd.get(), SharedSection::kSectionSize) != 0) {
        result.error = errno;
        return result;
    }
    result.handle = std::make_unique<PosixHandle>(fd.release(), -1, "", false);
    return result;
}

} // namespace

std::string PosixSharedSection::ObjectName(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    // NAME_MAX is 255; keep room for the prefix and the ".start" of the lock object.
    constexpr std::size_t kMaxEscaped = 200;
    if (escaped.size() > kMaxEscaped) {
        std::uint64_t hash = 14695981039346656037ull; // FNV-1a over the whole name
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char tail[20];
        std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(hash));
        escaped = escaped.substr(0, kMaxEscaped - 17) + tail;
    }
    return "/quill-" + std::to_string(::getuid()) + "-" + escaped;
}

PosixSharedSection::PosixSharedSection(std::vector<std::string> fallbackParents)
    : m_fallbackParents(std::move(fallbackParents)) {}

SharedSection::Created PosixSharedSection::CreateFileMappingA(const std::string& name) {
    const auto folder = PrivateFolder::Open(m_fallbackParents);
    if (!folder) return PrivateToThisProcess();
    const std::string fileName = FileName(name);
    Created result;
    Fd fd(OpenObject(folder->fd(), fileName, O_CREAT | O_EXCL));
    if (fd.get() >= 0) {
        if (!ResetToZeros(fd.get())) {
            result.error = errno;
            ::unlinkat(folder->fd(), fileName.c_str(), 0);
            return result;
        }
    } else if (errno == EEXIST) {
        Fd existing(OpenObject(folder->fd(), fileName, 0));
        if (existing.get() < 0) return PrivateToThisProcess();
        if (::flock(existing.get(), LOCK_EX | LOCK_NB) == 0) {
            // No running copy holds it: what it says is left over from copies that died.
            if (!ResetToZeros(existing.get())) {
                result.error = errno;
                return result;
            }
        } else {
            result.alreadyExists = true;
        }
        fd.reset(existing.release());
    } else {
        result.error = errno;
        return result;
    }
    ::flock(fd.get(), LOCK_SH);
    const int folderFd = ::fcntl(folder->fd(), F_DUPFD_CLOEXEC, 0);
    result.handle = std::make_unique<PosixHandle>(fd.release(), folderFd, fileName, true);
    return result;
}

std::unique_ptr<SectionHandle> PosixSharedSection::OpenFileMappingA(const std::string& name) {
    const auto folder = PrivateFolder::Open(m_fallbackParents);
    if (!folder) return nullptr;
    const int fd = OpenObject(folder->fd(), FileName(name), 0);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixHandle>(fd, -1, "", false);
}

std::unique_ptr<StartLock> PosixSharedSection::LockStarts(const std::string& name) {
    const auto folder = PrivateFolder::Open(m_fallbackParents);
    if (!folder) return nullptr;
    const std::string fileName = FileName(name) + kStartSuffix;
    // A copy holds this lock only for a few calls; should one hang while holding it,
    // a start goes on unserialised after five seconds rather than hang as well.
    for (int i = 0; i < 500; ++i) {
        Fd fd(OpenObject(folder->fd(), fileName, O_CREAT));
        if (fd.get() < 0) return nullptr;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // The last copy removes the lock object as it ends: a lock on a removed one
            // serialises nothing, so take the one that the name gives now.
            if (StillNamed(fd.get(), folder->fd(), fileName)) return std::make_unique<PosixStartLock>(fd.release());
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

} // namespace quill::platform
