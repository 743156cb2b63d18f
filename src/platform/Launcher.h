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
};

// Starts "rundll32.exe" as the printer user-interface helper: the program `helper` with
// the parameter string and the show command as its two arguments, detached (its own
// session, no terminal, reaped by init).
class HelperLauncher final : public Launcher {
public:
    explicit HelperLauncher(std::string helper) : m_helper(std::move(helper)) {}
    void ShellExecuteA(const std::string& file, const std::string& parameters, int showCommand) override;

private:
    std::string m_helper;
};

} // namespace quill::platform
