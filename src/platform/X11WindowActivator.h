#pragma once

#include "platform/WindowActivator.h"

#include <memory>
#include <string>

struct _XDisplay; // Xlib's Display

namespace quill::platform {

// Window operations on the X display of $DISPLAY. With a window manager, restore and
// activation go through EWMH (_NET_ACTIVE_WINDOW); without one, the window is mapped,
// raised and given the input focus. Every call fails without effect when there is no
// display or the window is gone.
class X11WindowActivator final : public WindowActivator {
public:
    X11WindowActivator();
    ~X11WindowActivator() override;

    bool IsIconic(std::uint32_t window) override;
    bool ShowWindow(std::uint32_t window, int showCommand) override;
    bool SetForegroundWindow(std::uint32_t window) override;

    // Ends the launcher's startup notification for startupId (its busy cursor and
    // "starting" entry): a second start shows no window that would end it. False without a
    // display.
    bool CompleteStartup(const std::string& startupId);

private:
    struct Display;
    ::_XDisplay* Connection();
    std::unique_ptr<Display> m_display;
};

} // namespace quill::platform
