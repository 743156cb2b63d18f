#include "platform/Launcher.h"

#include "platform/HelperParameters.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

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
    // The helper's environment, made before the fork: the child only calls what is safe
    // after a fork in a program with threads. A watched helper learns where to say how its
    // command went.
    const std::string outcome = std::string(helper::kOutcomeVariable) + "=" + std::to_string(endWriter);
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry)
        if (std::string(*entry).rfind(std::string(helper::kOutcomeVariable) + "=", 0) != 0)
            environment.push_back(*entry);
    if (endWriter >= 0) environment.push_back(const_cast<char*>(outcome.c_str()));
    environment.push_back(nullptr);
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
        char* const arguments[] = {const_cast<char*>(m_helper.c_str()), const_cast<char*>(parameters.c_str()),
                                   const_cast<char*>(show.c_str()), nullptr};
        ::execve(m_helper.c_str(), arguments, environment.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(first, &status, 0);
}

} // namespace quill::platform
