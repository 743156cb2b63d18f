#include "Ghostscript.h"

#include "BackendError.h"
#include "DebugLines.h"
#include "Fd.h"
#include "JobData.h"
#include "ConversionUsage.h"
#include "PrivateFolder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef QUILL_GHOSTSCRIPT
#define QUILL_GHOSTSCRIPT "/usr/bin/gs"
#endif

namespace quill::pdfinst {

namespace {

constexpr int kExecFailed = 127;
constexpr int kCannotBecomeConverter = 126;

// Whether a conversion runs (its folder exists), the running Ghostscript (a pidfd, so that
// a signal never reaches a reused process id), and whether a cancel stopped it.
volatile std::sig_atomic_t g_converting = 0;
volatile std::sig_atomic_t g_converter = -1;
volatile std::sig_atomic_t g_stopped = 0;

void Kill(int pidfd) { ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

// Holds SIGTERM back while Ghostscript and its folder are set up or cleaned up: a cancel
// then arriving waits until it can stop the conversion, or until the folder is gone.
class TermBlocker {
public:
    TermBlocker() {
        ::sigemptyset(&m_term);
        ::sigaddset(&m_term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &m_term, &m_before);
    }
    ~TermBlocker() { ::sigprocmask(SIG_SETMASK, &m_before, nullptr); }
    TermBlocker(const TermBlocker&) = delete;
    TermBlocker& operator=(const TermBlocker&) = delete;
    void Allow() { ::sigprocmask(SIG_UNBLOCK, &m_term, nullptr); }
    void Block() { ::sigprocmask(SIG_BLOCK, &m_term, nullptr); }

private:
    sigset_t m_term;
    sigset_t m_before;
};

// The conversion as the SIGTERM handler sees it, for as long as the object lives.
class Converting {
public:
    Converting() {
        g_stopped = 0;
        g_converting = 1;
    }
    ~Converting() {
        g_converter = -1;
        g_converting = 0;
    }
    Converting(const Converting&) = delete;
    Converting& operator=(const Converting&) = delete;
};

// A limit that the server's configuration sets: a number of at least 1 and at most most.
std::optional<std::uint64_t> LimitFromEnvironment(const char* name, std::uint64_t most) {
    const char* text = std::getenv(name);
    if (!text || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > most) return std::nullopt;
    return value;
}

std::string Size(std::uint64_t bytes) {
    constexpr std::uint64_t kMegabyte = 1 << 20;
    return bytes % kMegabyte == 0 ? std::to_string(bytes / kMegabyte) + " MB" : std::to_string(bytes) + " bytes";
}

[[noreturn]] void RunGhostscript(int out, int messages, const Conversion& how, const PrivateFolder& folder,
                                 pid_t backend) {
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // The document is read from its copy; standard input gives nothing.
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
        ::dup2(messages, STDERR_FILENO) < 0)
        ::_exit(kExecFailed);
    // Nothing else of the backend's: not cupsd's back and side channels, not the folders.
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    if (how.runAs) {
        try {
            BecomeOwner(*how.runAs);
        } catch (const BackendError&) {
            ::_exit(kCannotBecomeConverter);
        }
    }
    // Ghostscript does not outlive the backend (set after the change of user, which clears it).
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != backend) ::_exit(kExecFailed);
    const rlimit size{how.limits.bytes, how.limits.bytes};
    const rlimit memory{how.limits.memory, how.limits.memory};
    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_FSIZE, &size) != 0 || ::setrlimit(RLIMIT_CORE, &noCore) != 0 ||
        ::chdir(folder.path().c_str()) != 0)
        ::_exit(kExecFailed);

    std::string level = "-dCompatibilityLevel=" + how.pdfVersion;
    const std::string document = folder.documentPath();
    std::vector<const char*> args = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                                     "-sDEVICE=pdfwrite",
                                     // The PDF goes to standard output; what the PostScript itself prints
                                     // goes to standard error, the pipe read by the backend.
                                     "-sOutputFile=-", "-sstdout=%stderr"};
    if (!how.pdfVersion.empty()) args.push_back(level.c_str());
    args.push_back(document.c_str());
    args.push_back(nullptr);
    // SAFER lets Ghostscript read and write below its temporary folder: that is the private one.
    const std::string tmpdir = "TMPDIR=" + folder.path(), tmp = "TMP=" + folder.path(), temp = "TEMP=" + folder.path(),
                      home = "HOME=" + folder.path();
    const char* environment[] = {"PATH=/usr/bin:/bin", tmpdir.c_str(), tmp.c_str(), temp.c_str(),
                                 home.c_str(),         "LC_ALL=C",     nullptr};
    // The address-space limit comes last: nothing may be mapped after it in this process,
    // whose own mappings (a sanitizer's shadow memory, say) may already exceed it.
    if (::setrlimit(RLIMIT_AS, &memory) != 0) ::_exit(kExecFailed);
    ::execve(QUILL_GHOSTSCRIPT, const_cast<char* const*>(args.data()), const_cast<char* const*>(environment));
    ::_exit(kExecFailed);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool Again() { return errno == EAGAIN || errno == EINTR; }

using Clock = std::chrono::steady_clock;

struct Watch {
    bool timedOut = false;
    bool tooLarge = false;          // the job's copy and the temporary files together
    bool pdfTooLarge = false;       // the PDF beyond pdfBytes
    bool vmError = false;           // Ghostscript said it ran out of memory
    bool stopped = false;           // by a cancel
    bool unfed = false;             // the job could not be read to its end
    int copyError = 0;              // errno of a failed write of the job's copy
    std::uint64_t addressSpace = 0; // the largest seen
};

int MillisecondsUntil(Clock::time_point when) {
    return static_cast<int>(
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count()));
}

// Copies the job's data into the folder's copy of it, until the data ends, a cancel comes,
// the time runs out or the copy reaches the size limit. Called with SIGTERM blocked: a
// cancel is taken only while waiting for data, so that it cannot come between the look at
// g_stopped and the wait, where nothing would end the wait.
void CopyJob(JobData& data, const PrivateFolder& folder, Clock::time_point deadline, const ConversionLimits& limits,
             Watch& watch) {
    sigset_t waiting;
    ::sigprocmask(SIG_SETMASK, nullptr, &waiting);
    ::sigdelset(&waiting, SIGTERM);
    std::string head = data.TakeHead();
    std::uint64_t copied = head.size();
    if (!WriteAll(folder.document(), head)) {
        watch.copyError = errno;
        return;
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        if (copied >= limits.bytes) {
            watch.tooLarge = true;
            return;
        }
        if (Clock::now() >= deadline) {
            watch.timedOut = true;
            return;
        }
        if (g_stopped) {
            watch.stopped = true;
            return;
        }
        pollfd job{data.fd(), POLLIN, 0};
        const int wait = MillisecondsUntil(deadline);
        const timespec timeout{wait / 1000, (wait % 1000) * 1000000L};
        const int ready = ::ppoll(&job, 1, &timeout, &waiting);
        if (g_stopped) {
            watch.stopped = true;
            return;
        }
        if (ready <= 0) continue; // a signal, or the deadline
        const ssize_t n = ::read(data.fd(), buffer.data(), buffer.size());
        if (n == 0) return;
        if (n < 0) {
            if (Again()) continue;
            watch.unfed = true;
            return;
        }
        copied += static_cast<std::uint64_t>(n);
        if (!WriteAll(folder.document(), std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            watch.copyError = errno;
            return;
        }
    }
}

// Passes Ghostscript's messages on until it ends, is cancelled, runs out of time, or takes
// more room than the limits allow; kills it in the last cases. What it takes is measured
// four times a second: RLIMIT_FSIZE bounds each file, this bounds them together, deleted
// ones still open included, and the PDF.
void Supervise(int messages, int pidfd, pid_t converter, int out, const PrivateFolder& folder,
               Clock::time_point deadline, const ConversionLimits& limits, Watch& watch) {
    constexpr auto kMeasureEvery = std::chrono::milliseconds(250);
    auto nextMeasure = Clock::now() + kMeasureEvery;
    struct stat pdf {};
    ::fstat(out, &pdf);
    SetNonBlocking(messages);
    DebugLines lines(stderr);
    // Ghostscript's word for memory it could not get; the tail of the last read, so that a
    // word split between two reads is found too.
    static constexpr std::string_view kVmError = "/VMerror";
    std::string tail;
    std::array<char, 65536> buffer;
    const auto take = [&](std::string_view bytes) {
        lines.Add(bytes);
        tail.append(bytes);
        if (tail.find(kVmError) != std::string::npos) watch.vmError = true;
        tail.erase(0, tail.size() - std::min(tail.size(), kVmError.size() - 1));
    };
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            watch.timedOut = true;
            break;
        }
        if (now >= nextMeasure) {
            if (DiskBytes(folder, converter, {pdf.st_dev, pdf.st_ino}) >= limits.bytes) {
                watch.tooLarge = true;
                break;
            }
            struct stat written {};
            if (::fstat(out, &written) == 0 && static_cast<std::uint64_t>(written.st_size) > limits.pdfBytes) {
                watch.pdfTooLarge = true;
                break;
            }
            watch.addressSpace = std::max(watch.addressSpace, AddressSpace(converter));
            nextMeasure = now + kMeasureEvery;
        }
        std::array<pollfd, 2> fds = {{{messages, POLLIN, 0}, {pidfd, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), MillisecondsUntil(std::min(deadline, nextMeasure)));
        if (g_stopped) {
            watch.stopped = true;
            break;
        }
        if (ready < 0) continue; // a signal; the deadline still holds
        if (fds[0].revents) {
            const ssize_t n = ::read(messages, buffer.data(), buffer.size());
            if (n > 0) take(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            else if (n == 0 || !Again()) messages = -1;
        }
        if (fds[1].revents) break; // Ghostscript has ended
    }
    if (watch.timedOut || watch.tooLarge || watch.pdfTooLarge || watch.stopped) Kill(pidfd);
    // What Ghostscript printed last.
    for (ssize_t n; messages >= 0 && (n = ::read(messages, buffer.data(), buffer.size())) > 0;)
        take(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    lines.Finish();
}

int Reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

[[noreturn]] void ThrowTimedOut(const ConversionLimits& limits) {
    throw BackendError(kBackendCancel, "the job was stopped: converting it to PDF took longer than " +
                                           std::to_string(limits.seconds) + " s, which no document needs");
}

[[noreturn]] void ThrowTooLarge(const ConversionLimits& limits) {
    throw BackendError(kBackendCancel, "the job was stopped: converting it to PDF wrote more than " +
                                           Size(limits.bytes) + ", which no document needs");
}

[[noreturn]] void ThrowCancelled() { throw BackendError(kBackendOk, "the job was cancelled; no PDF is kept"); }

} // namespace

ConversionLimits LimitsFromEnvironment(bool forUser) {
    ConversionLimits limits;
    limits.seconds = static_cast<int>(
        LimitFromEnvironment("PDFINST_TIME_LIMIT", ConversionLimits::kSeconds).value_or(ConversionLimits::kSeconds));
    limits.bytes =
        LimitFromEnvironment("PDFINST_SIZE_LIMIT", ConversionLimits::kBytes).value_or(ConversionLimits::kBytes);
    limits.memory =
        LimitFromEnvironment("PDFINST_MEMORY_LIMIT", ConversionLimits::kMemory).value_or(ConversionLimits::kMemory);
    limits.pdfBytes = limits.bytes;
    if (forUser)
        limits.pdfBytes = LimitFromEnvironment("PDFINST_USER_LIMIT", limits.bytes)
                              .value_or(std::min(ConversionLimits::kUserPdfBytes, limits.bytes));
    return limits;
}

std::string PdfTooLarge(const ConversionLimits& limits) {
    if (limits.pdfBytes >= limits.bytes)
        return "the job was stopped: its PDF is larger than " + Size(limits.bytes) + ", which no document needs";
    return "the job was stopped: its PDF is larger than " + Size(limits.pdfBytes) +
           ", the most one job may put into a user's PDF folder";
}

bool StopConversion() noexcept {
    if (!g_converting) return false;
    g_stopped = 1;
    const int pidfd = g_converter;
    if (pidfd >= 0) Kill(pidfd);
    return true;
}

void ConvertPostScript(JobData& data, int out, const Conversion& how) {
    const auto deadline = Clock::now() + std::chrono::seconds(how.limits.seconds);
    TermBlocker term;
    const PrivateFolder folder(how.runAs);
    const Converting converting;
    Watch watch;
    CopyJob(data, folder, deadline, how.limits, watch);
    if (watch.stopped || g_stopped) ThrowCancelled();
    if (watch.timedOut) ThrowTimedOut(how.limits);
    if (watch.tooLarge) ThrowTooLarge(how.limits);
    if (watch.unfed) throw BackendError(kBackendCancel, "the job's data could not be read to its end");
    if (watch.copyError != 0)
        throw BackendError(kBackendFailed,
                           "cannot copy the job into " + folder.path() + ": " + std::strerror(watch.copyError));

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw BackendError(kBackendFailed, std::string("cannot make a pipe: ") + std::strerror(errno));
    Fd messagesRead(ends[0]), messagesWrite(ends[1]);
    const pid_t backend = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) throw BackendError(kBackendFailed, std::string("cannot start Ghostscript: ") + std::strerror(errno));
    if (child == 0) RunGhostscript(out, messagesWrite.get(), how, folder, backend);
    messagesWrite.reset();
    const Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    if (!pidfd) {
        const std::string reason = std::strerror(errno);
        ::kill(child, SIGKILL);
        Reap(child);
        throw BackendError(kBackendFailed, "cannot watch Ghostscript: " + reason);
    }

    g_converter = pidfd.get();
    // A cancel that came while Ghostscript started finds it now.
    if (g_stopped) Kill(pidfd.get());
    term.Allow();
    Supervise(messagesRead.get(), pidfd.get(), child, out, folder, deadline, how.limits, watch);
    term.Block();
    g_converter = -1;
    const int status = Reap(child);

    // Ghostscript ended by SIGTERM: CUPS cancels the job, and may signal the backend's children too.
    if (watch.stopped || g_stopped || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) ThrowCancelled();
    if (watch.timedOut) ThrowTimedOut(how.limits);
    struct stat written {};
    const bool wrote = ::fstat(out, &written) == 0;
    if (watch.tooLarge || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) ||
        (wrote && static_cast<std::uint64_t>(written.st_size) >= how.limits.bytes))
        ThrowTooLarge(how.limits);
    if (watch.pdfTooLarge || (wrote && static_cast<std::uint64_t>(written.st_size) > how.limits.pdfBytes))
        throw BackendError(kBackendCancel, PdfTooLarge(how.limits));
    if (WIFEXITED(status) && WEXITSTATUS(status) == kExecFailed)
        throw BackendError(kBackendFailed, "cannot run Ghostscript (" QUILL_GHOSTSCRIPT ")");
    if (how.runAs && WIFEXITED(status) && WEXITSTATUS(status) == kCannotBecomeConverter)
        throw BackendError(kBackendFailed, "cannot run Ghostscript as the user " + how.runAs->name);
    const bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    // Out of memory, as Ghostscript says it, or ended by a signal close to its limit.
    if (failed && (watch.vmError || watch.addressSpace >= how.limits.memory / 4 * 3))
        throw BackendError(kBackendCancel, "the job was stopped: converting it to PDF needed more than " +
                                               Size(how.limits.memory) + " of memory, which no document needs");
    if (failed) throw BackendError(kBackendCancel, "Ghostscript could not turn the job's PostScript into a PDF");
}

} // namespace quill::pdfinst
