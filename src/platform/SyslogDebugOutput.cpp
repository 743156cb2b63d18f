#include "platform/SyslogDebugOutput.h"

#include <syslog.h>

#include <string>

namespace quill::platform {

SyslogDebugOutput::SyslogDebugOutput() { ::openlog("quill-server-management", LOG_PID, LOG_USER); }

SyslogDebugOutput::~SyslogDebugOutput() { ::closelog(); }

void SyslogDebugOutput::write(std::string_view message) {
    // The message is bytes and may hold a zero byte: the system log takes it up to there.
    const std::string text(message);
    ::syslog(LOG_DEBUG, "%s", text.c_str());
}

void SyslogDebugOutput::warning(std::string_view message) {
    const std::string text(message);
    ::syslog(LOG_WARNING, "%s", text.c_str());
}

} // namespace quill::platform
