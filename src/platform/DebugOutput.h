#pragma once

#include <string_view>

namespace quill::platform {

// The process's debug output channel: every activity log line is copied here, whether a
// window shows it or not. Called from several threads at once.
class DebugOutput {
public:
    virtual ~DebugOutput() = default;
    // One message, without a line end; it may hold line breaks of its own.
    virtual void write(std::string_view message) = 0;
};

} // namespace quill::platform
