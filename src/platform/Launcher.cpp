#include "platform/Launcher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace quill::platform {

void HelperLauncher::ShellExecuteA(const std::string&, const std::string& parameters, int showCommand) {
    Start(parameters, showCommand, -1);
}

int HelperLauncher::ShellExecuteWatched(const std::string&, const std::string& parameters, int showCommand) {
    int ends[2];
    // Close-on-exec here, so that no other program started by this process holds it.
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        Start(parameters, showCommand, -1);
        return -1;
    }
    Start(parameters, showCommand, ends[1]);
    ::close(ends[1]);
    return ends[0];
}

void HelperLauncher::Start(const std::string& parameters, int showCommand, int endWriter) {
    const std::string show = std::to_string(showCommand);
    // Fork twice, so that the helper is nobody's child here and needs no waiting for.
    const pid_t first = ::fork();
    if (first < 0) return; // not reported, as a failed start is not
    if (first == 0) {
        ::setsid();
        const pid_t second = ::fork();
        if (second != 0) ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        // The helper keeps the pipe's write end open until it ends.
        if (endWriter >= 0) ::fcntl(endWriter, F_SETFD, 0);
        ::execl(m_helper.c_str(), m_helper.c_str(), parameters.c_str(), show.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(first, &status, 0);
}

} // namespace quill::platform
