#include "platform/PosixSharedSection.h"

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

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

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
    PosixHandle(int fd, std::string objectName, bool holdsLock)
        : m_fd(fd), m_objectName(std::move(objectName)), m_holdsLock(holdsLock) {}

    ~PosixHandle() override {
        // The last running copy removes the object, as the system does with a section
        // whose last handle closes, and the lock object of the starts with it. Ends run
        // under the start lock, so no start can be between opening the object and
        // locking it here; a start that waits for the removed lock object sees that it
        // is gone and takes the new one (LockStarts).
        if (m_holdsLock && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::shm_unlink(m_objectName.c_str());
            ::shm_unlink((m_objectName + kStartSuffix).c_str());
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
    std::string m_objectName;
    bool m_holdsLock;
};

class PosixStartLock final : public StartLock {
public:
    explicit PosixStartLock(int fd) : m_fd(fd) {}
    ~PosixStartLock() override { ::flock(m_fd.get(), LOCK_UN); }

private:
    Fd m_fd;
};

// Whether fd is still the object that the name gives.
bool StillNamed(int fd, const std::string& objectName) {
    Fd named(::shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0600));
    struct stat a {
    }, b{};
    return named.get() >= 0 && ::fstat(fd, &a) == 0 && ::fstat(named.get(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A fresh section reads as zeros.
bool ResetToZeros(int fd) { return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, SharedSection::kSectionSize) == 0; }

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

SharedSection::Created PosixSharedSection::CreateFileMappingA(const std::string& name) {
    const std::string objectName = ObjectName(name);
    Created result;
    Fd fd(::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() >= 0) {
        if (!ResetToZeros(fd.get())) {
            result.error = errno;
            ::shm_unlink(objectName.c_str());
            return result;
        }
    } else if (errno == EEXIST) {
        Fd existing(::shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0600));
        if (existing.get() < 0) {
            result.error = errno;
            return result;
        }
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
    result.handle = std::make_unique<PosixHandle>(fd.release(), objectName, true);
    return result;
}

std::unique_ptr<SectionHandle> PosixSharedSection::OpenFileMappingA(const std::string& name) {
    const std::string objectName = ObjectName(name);
    int fd = ::shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixHandle>(fd, objectName, false);
}

std::unique_ptr<StartLock> PosixSharedSection::LockStarts(const std::string& name) {
    const std::string objectName = ObjectName(name) + kStartSuffix;
    // A copy holds this lock only for a few calls; should one hang while holding it,
    // a start goes on unserialised after five seconds rather than hang as well.
    for (int i = 0; i < 500; ++i) {
        Fd fd(::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (fd.get() < 0) return nullptr;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // The last copy removes the lock object as it ends: a lock on a removed one
            // serialises nothing, so take the one that the name gives now.
            if (StillNamed(fd.get(), objectName)) return std::make_unique<PosixStartLock>(fd.release());
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

} // namespace quill::platform
