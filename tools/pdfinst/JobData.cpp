#include "JobData.h"

#include "BackendError.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quill::pdfinst {

namespace {

constexpr std::size_t kHeadBytes = 1024;

// A read that is interrupted by a signal is tried again.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
    ssize_t n;
    do n = ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

DataKind KindOf(std::string_view head) {
    // A print job may begin with a Ctrl-D that ends a previous job, or a UTF-8 byte order mark.
    if (head.starts_with('\x04')) head.remove_prefix(1);
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
    if (head.starts_with("%PDF-")) return DataKind::Pdf;
    if (head.starts_with("%!")) return DataKind::PostScript;
    return DataKind::Other;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

JobData::JobData(const char* file) {
    if (file) {
        m_owned = Fd(::open(file, O_RDONLY | O_CLOEXEC));
        if (!m_owned)
            throw BackendError(kBackendCancel, std::string("cannot open the job's file: ") + std::strerror(errno));
        m_fd = m_owned.get();
    }
    std::array<char, kHeadBytes> buffer;
    while (m_head.size() < kHeadBytes) {
        const ssize_t n = ReadSome(m_fd, buffer.data(), kHeadBytes - m_head.size());
        if (n < 0) throw BackendError(kBackendCancel, std::string("cannot read the job: ") + std::strerror(errno));
        if (n == 0) break;
        m_head.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

bool JobData::Pump(int out, std::uint64_t most) {
    std::uint64_t pumped = m_head.size();
    if (pumped > most) return false;
    if (!WriteAll(out, m_head))
        throw BackendError(kBackendFailed, std::string("cannot write the PDF: ") + std::strerror(errno));
    m_head.clear();
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ReadSome(m_fd, buffer.data(), buffer.size());
        if (n < 0) throw BackendError(kBackendCancel, std::string("cannot read the job: ") + std::strerror(errno));
        if (n == 0) return true;
        pumped += static_cast<std::uint64_t>(n);
        if (pumped > most) return false;
        if (!WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
            throw BackendError(kBackendFailed, std::string("cannot write the PDF: ") + std::strerror(errno));
    }
}

} // namespace quill::pdfinst
