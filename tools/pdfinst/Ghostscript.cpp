#include "Ghostscript.h"

#include "BackendError.h"
#include "DebugLines.h"
#include "Fd.h"
#include "JobData.h"
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

// The running Ghostscript (a pidfd, so that a signal never reaches a reused process id),
// and whether a cancel stopped it.
volatile std::sig_atomic_t g_converter = -1;
volatile std::sig_atomic_t g_stopped = 0;

void Kill(int pidfd) { ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

// Holds SIGTERM back while Ghostscript and its folder are set up or cleaned up: a cancel
// then arriving waits until it can stop Ghostscript, or until the folder is gone.
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

std::uint64_t LimitFromEnvironment(const char* name, std::uint64_t builtIn) {
    const char* text = std::getenv(name);
    if (!text || !std::isdigit(static_cast<unsigned char>(text[0]))) return builtIn;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > builtIn) return builtIn;
    return value;
}

std::string Size(std::uint64_t bytes) {
    constexpr std::uint64_t kMegabyte = 1 << 20;
    return bytes % kMegabyte == 0 ? std::to_string(bytes / kMegabyte) + " MB" : std::to_string(bytes) + " bytes";
}

[[noreturn]] void RunGhostscript(int in, int out, int messages, const Conversion& how, const std::string& folder,
                                 pid_t backend) {
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(messages, STDERR_FILENO) < 0)
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
    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_FSIZE, &size) != 0 || ::setrlimit(RLIMIT_CORE, &noCore) != 0 || ::chdir(folder.c_str()) != 0)
        ::_exit(kExecFailed);

    std::string level = "-dCompatibilityLevel=" + how.pdfVersion;
    std::vector<const char*> args = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                                     "-sDEVICE=pdfwrite",
                                     // The PDF goes to standard output; what the PostScript itself prints
                                     // goes to standard error, the pipe read by the backend.
                                     "-sOutputFile=-", "-sstdout=%stderr"};
    if (!how.pdfVersion.empty()) args.push_back(level.c_str());
    args.push_back("-");
    args.push_back(nullptr);
    // SAFER lets Ghostscript read and write below its temporary folder: that is the private one.
    const std::string tmpdir = "TMPDIR=" + folder, tmp = "TMP=" + folder, temp = "TEMP=" + folder,
                      home = "HOME=" + folder;
    const char* environment[] = {"PATH=/usr/bin:/bin", tmpdir.c_str(), tmp.c_str(), temp.c_str(),
                                 home.c_str(),         "LC_ALL=C",     nullptr};
    ::execve(QUILL_GHOSTSCRIPT, const_cast<char* const*>(args.data()), const_cast<char* const*>(environment));
    ::_exit(kExecFailed);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool Again() { return errno == EAGAIN || errno == EINTR; }

struct Watch {
    bool timedOut = false;
    bool tooLarge = false; // the temporary files together
    bool stopped = false;  // by a cancel
    bool unfed = false;    // the job could not be read, or Ghostscript stopped reading it, before its end
};

// Feeds the job's data to Ghostscript and passes its messages on until it ends, is
// cancelled, runs out of time or fills its temporary folder beyond the size limit; kills
// it in the last three cases. The folder is measured four times a second: RLIMIT_FSIZE bounds
// each file, this bounds how many.
Watch Supervise(JobData& data, Fd input, int messages, int pidfd, const PrivateFolder& folder,
                const ConversionLimits& limits) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kMeasureEvery = std::chrono::milliseconds(250);
    const auto deadline = Clock::now() + std::chrono::seconds(limits.seconds);
    auto nextMeasure = Clock::now() + kMeasureEvery;
    SetNonBlocking(input.get());
    SetNonBlocking(messages);
    DebugLines lines(stderr);
    std::string pending = data.TakeHead();
    std::size_t sent = 0;
    bool jobOpen = true;
    std::array<char, 65536> buffer;
    Watch watch;
    for (;;) {
        // All of the job given: Ghostscript sees its end.
        if (input && sent == pending.size() && !jobOpen) input.reset();
        const bool wantJob = input && sent == pending.size();
        std::array<pollfd, 4> fds = {{{wantJob ? data.fd() : -1, POLLIN, 0},
                                      {input && !wantJob ? input.get() : -1, POLLOUT, 0},
                                      {messages, POLLIN, 0},
                                      {pidfd, POLLIN, 0}}};
        const auto now = Clock::now();
        if (now >= deadline) {
            watch.timedOut = true;
            break;
        }
        if (now >= nextMeasure) {
            if (folder.Bytes() >= limits.bytes) {
                watch.tooLarge = true;
                break;
            }
            nextMeasure = now + kMeasureEvery;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, nextMeasure) - now);
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        if (g_stopped) {
            watch.stopped = true;
            break;
        }
        if (ready < 0) continue; // a signal; the deadline still holds
        if (fds[0].revents) {
            const ssize_t n = ::read(data.fd(), buffer.data(), buffer.size());
            if (n > 0) {
                pending.assign(buffer.data(), static_cast<std::size_t>(n));
                sent = 0;
            } else if (n == 0 || !Again()) {
                jobOpen = false;
                if (n < 0) watch.unfed = true;
            }
        }
        if (fds[1].revents) {
            const ssize_t n = ::write(input.get(), pending.data() + sent, pending.size() - sent);
            if (n > 0) sent += static_cast<std::size_t>(n);
            else if (!Again()) {
                input.reset();
                watch.unfed = true;
            }
        }
        if (fds[2].revents) {
            const ssize_t n = ::read(messages, buffer.data(), buffer.size());
            if (n > 0) lines.Add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            else if (n == 0 || !Again()) messages = -1;
        }
        if (fds[3].revents) break; // Ghostscript has ended
    }
    if (watch.timedOut || watch.tooLarge || watch.stopped) Kill(pidfd);
    // What Ghostscript printed last.
    for (ssize_t n; messages >= 0 && (n = ::read(messages, buffer.data(), buffer.size())) > 0;)
        lines.Add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    lines.Finish();
    return watch;
}

int Reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

ConversionLimits LimitsFromEnvironment() {
    ConversionLimits limits;
    limits.seconds = static_cast<int>(LimitFromEnvironment("PDFINST_TIME_LIMIT", ConversionLimits::kSeconds));
    limits.bytes = LimitFromEnvironment("PDFINST_SIZE_LIMIT", ConversionLimits::kBytes);
    return limits;
}

bool StopConversion() noexcept {
    const int pidfd = g_converter;
    if (pidfd < 0) return false;
    g_stopped = 1;
    Kill(pidfd);
    return true;
}

void ConvertPostScript(JobData& data, int out, const Conversion& how) {
    TermBlocker term;
    const PrivateFolder folder(how.runAs);
    int ends[2][2];
    if (::pipe2(ends[0], O_CLOEXEC) != 0 || ::pipe2(ends[1], O_CLOEXEC) != 0)
        throw BackendError(kBackendFailed, std::string("cannot make a pipe: ") + std::strerror(errno));
    Fd inputRead(ends[0][0]), inputWrite(ends[0][1]), messagesRead(ends[1][0]), messagesWrite(ends[1][1]);
    const pid_t backend = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) throw BackendError(kBackendFailed, std::string("cannot start Ghostscript: ") + std::strerror(errno));
    if (child == 0) RunGhostscript(inputRead.get(), out, messagesWrite.get(), how, folder.path(), backend);
    inputRead.reset();
    messagesWrite.reset();
    const Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    if (!pidfd) {
        const std::string reason = std::strerror(errno);
        ::kill(child, SIGKILL);
        Reap(child);
        throw BackendError(kBackendFailed, "cannot watch Ghostscript: " + reason);
    }

    g_stopped = 0;
    g_converter = pidfd.get();
    term.Allow();
    const Watch watch = Supervise(data, std::move(inputWrite), messagesRead.get(), pidfd.get(), folder, how.limits);
    term.Block();
    g_converter = -1;
    const int status = Reap(child);

    // Ghostscript ended by SIGTERM: CUPS cancels the job, and may signal the backend's children too.
    if (watch.stopped || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
        throw BackendError(kBackendOk, "the job was cancelled; no PDF is kept");
    if (watch.timedOut)
        throw BackendError(kBackendCancel, "the job was stopped: converting it to PDF took longer than " +
                                               std::to_string(how.limits.seconds) + " s, which no document needs");
    struct stat written {};
    if (watch.tooLarge || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) ||
        (::fstat(out, &written) == 0 && static_cast<std::uint64_t>(written.st_size) >= how.limits.bytes))
        throw BackendError(kBackendCancel, "the job was stopped: converting it to PDF wrote more than " +
                                               Size(how.limits.bytes) + ", which no document needs");
    if (WIFEXITED(status) && WEXITSTATUS(status) == kExecFailed)
        throw BackendError(kBackendFailed, "cannot run Ghostscript (" QUILL_GHOSTSCRIPT ")");
    if (how.runAs && WIFEXITED(status) && WEXITSTATUS(status) == kCannotBecomeConverter)
        throw BackendError(kBackendFailed, "cannot run Ghostscript as the user " + how.runAs->name);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw BackendError(kBackendCancel, "Ghostscript could not turn the job's PostScript into a PDF");
    if (watch.unfed) throw BackendError(kBackendCancel, "the job's data could not be read to its end");
}

} // namespace quill::pdfinst
