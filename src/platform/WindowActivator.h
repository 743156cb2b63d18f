#pragma once

#include <cstdint>

namespace quill::platform {

// The window operations a second start uses on the running copy's window.
class WindowActivator {
public:
    static constexpr int SW_RESTORE = 9;

    virtual ~WindowActivator() = default;
    virtual bool IsIconic(std::uint32_t window) = 0;
    virtual bool ShowWindow(std::uint32_t window, int showCommand) = 0;
    virtual bool SetForegroundWindow(std::uint32_t window) = 0;
};

} // namespace quill::platform
