#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The file system as the ZIP component uses it: positioned reads of the archive stream,
// the folders of the destination and what the file system says about a file.
namespace quill::zip::posix {

bool Seek(std::FILE* file, std::uint64_t offset);
// The stream's position; 0 when it cannot be told.
std::uint64_t Tell(std::FILE* file);
bool ReadExactly(std::FILE* file, void* buffer, std::size_t length);

// The DOS date and time of a file's last write; nullopt when it cannot be read.
std::optional<std::uint32_t> FileDosDateTime(const std::string& path);

// What the file system says about a file at one moment. Two stamps differ when the file
// was rewritten, however quickly: the DOS value alone has two-second steps.
struct FileStamp {
    std::uint32_t dosDateTime = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    long modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    long changedNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> StampOf(const std::string& path);
std::optional<FileStamp> StampOf(int fd);

// Whether anything (a file, folder or link) stands at the path; links are not followed.
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);

// Creates a folder and every missing parent. A symbolic link on the way counts as a
// failure: extraction never follows one.
bool ForceDirectories(const std::string& path);

// Opens the folder base/parts[0]/parts[1]/... one part at a time, each relative to the
// one before, never following a symbolic link (O_NOFOLLOW | O_DIRECTORY): a part that is
// a link, or anything but a folder, fails the whole. With create, missing parts are made
// (mode 0777 less the umask). The descriptor, or -1 with errno set.
int OpenFolderBelow(int base, const std::vector<std::string>& parts, bool create);

// Splits "a\b\c" into its parts; false when a part would lead elsewhere ("..") or the
// name holds a NUL byte. Empty and "." parts are dropped.
bool SafeParts(const std::string& path, std::vector<std::string>& parts);

// Open file descriptor, closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    int get() const { return m_fd; }
    void reset(int fd) {
        Close();
        m_fd = fd;
    }
    // Hands the descriptor over; the owner no longer closes it.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now; false when the close reported an error.
    bool Close();

private:
    int m_fd = -1;
};

} // namespace quill::zip::posix
