#include "monitor/ActivityLog.h"

namespace quill::monitor {
namespace {

// Marks a line written by a watcher, which passes the monitor's lock.
constexpr std::string_view kWatcherPrefix = "[*] ";
constexpr std::string_view kLineEnd = "\r\n";

} // namespace

void ActivityLog::write(std::string_view message, std::mutex* lock) {
    // A watcher holds the monitor's lock for its whole line, window and debug output
    // included, so watcher lines reach both outputs in the same order.
    std::unique_lock<std::mutex> monitorLock;
    std::string line;
    if (lock) {
        monitorLock = std::unique_lock<std::mutex>(*lock);
        line = kWatcherPrefix;
    }
    line += message;

    std::shared_ptr<platform::DebugOutput> debugOutput;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_window) {
            const std::size_t start = m_text.size();
            m_text += line;
            m_text += kLineEnd;
            // Only the new line goes to the window, so a line costs the same however long the log is.
            m_window->appendText(std::string_view(m_text).substr(start));
        }
        debugOutput = m_debugOutput;
    }
    // Outside the internal lock: the user-interface thread never waits for a watcher's debug output.
    if (debugOutput) debugOutput->write(line);
}

void ActivityLog::openWindow(LogWindow& window) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_window = &window;
    window.showText(m_text);
}

void ActivityLog::closeWindow(const LogWindow& window) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_window == &window) m_window = nullptr;
}

void ActivityLog::setDebugOutput(std::shared_ptr<platform::DebugOutput> output) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_debugOutput = std::move(output);
}

std::string ActivityLog::text() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_text;
}

ActivityLog& activityLog() {
    static ActivityLog log;
    return log;
}

void WriteLog(std::string_view message, std::mutex* lock) { activityLog().write(message, lock); }

std::string LogText() { return activityLog().text(); }

} // namespace quill::monitor
