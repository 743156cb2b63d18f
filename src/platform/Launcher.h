#pragma once

#include <string>

namespace quill::platform {

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOW = 5;

// Starts a program with a parameter string and a show command, without waiting for it
// and without learning its outcome.
class Launcher {
public:
    virtual ~Launcher() = default;
    virtual void ShellExecuteA(const std::string& file, const std::string& parameters, int showCommand) = 0;
    // Starts it as ShellExecuteA does, and returns a descriptor that reaches end of file
    // when the started program has ended, for the caller to watch and close; -1 when
    // its end cannot be watched (it may have started all the same).
    virtual int ShellExecuteWatched(const std::string& file, const std::string& parameters, int showCommand) {
        ShellExecuteA(file, parameters, showCommand);
        return -1;
    }
};

// Starts "rundll32.exe" as the printer user-interface helper: the program `helper` with
// the parameter string and the show command as its two arguments, detached (its own
// session, no terminal, reaped by init).
class HelperLauncher final : public Launcher {
public:
    explicit HelperLauncher(std::string helper) : m_helper(std::move(helper)) {}
    void ShellExecuteA(const std::string& file, const std::string& parameters, int showCommand) override;
    // The helper holds the write end of a pipe, unknown to it, until it ends.
    int ShellExecuteWatched(const std::string& file, const std::string& parameters, int showCommand) override;

private:
    void Start(const std::string& parameters, int showCommand, int endWriter);
    std::string m_helper;
};

} // namespace quill::platform
