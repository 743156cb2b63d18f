#pragma once

#include <string>

namespace quill::platform {

// How a second start reaches the running copy of the same executable: the running copy
// takes requests under the instance key, and a second start hands it the activation token
// it was started with, so that the running copy can bring its own window forward where
// only the window's owner may (Wayland).
class ActivationChannel {
public:
    virtual ~ActivationChannel() = default;
    // The running copy: starts taking requests under key; false when it cannot.
    virtual bool Listen(const std::string& key) = 0;
    // A second start: hands token (empty when it has none) to the copy listening under
    // key, within a short time; false when no copy took it.
    virtual bool SendActivation(const std::string& key, const std::string& token) = 0;
};

} // namespace quill::platform
