#pragma once

#include <chrono>
#include <string>

namespace quill::platform {

// An activation token made for this process by the Wayland compositor of $WAYLAND_DISPLAY
// (xdg-activation-v1), for a second start that was given none: with it the running copy
// may at least ask for attention. "" when there is no such compositor, it lacks the
// protocol, the program was built without libwayland, or no answer comes within timeout.
std::string RequestActivationToken(const std::string& appId,
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(500));

} // namespace quill::platform
