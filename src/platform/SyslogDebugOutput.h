#pragma once

#include "platform/DebugOutput.h"

namespace quill::platform {

// Debug output into the system log at debug level, under the program's ident
// "quill-server-management". Create one per process: it opens the process's log connection.
class SyslogDebugOutput : public DebugOutput {
public:
    SyslogDebugOutput();
    ~SyslogDebugOutput() override;
    SyslogDebugOutput(const SyslogDebugOutput&) = delete;
    SyslogDebugOutput& operator=(const SyslogDebugOutput&) = delete;

    void write(std::string_view message) override;
    // A message at warning level, for what an administrator should see.
    void warning(std::string_view message);
};

} // namespace quill::platform
