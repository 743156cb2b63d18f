#pragma once

#include "platform/DebugOutput.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quill::monitor {

// The text box of the "Printer Activities" window as the activity log sees it. Its text
// is the log text: what showText gave when the window opened, followed by every line
// appendText gave since, in that order.
//
// The log calls these from whichever thread writes a line (the user-interface thread
// or a watcher), one call at a time, in the order of the log text, while it holds its
// own lock. So an implementation must not wait for another thread that may write to
// the log (hand the text to the window's thread and return; keep every call in order,
// also those made on the window's own thread), and must not write to the log itself.
// The text is valid during the call only.
class LogWindow {
public:
    virtual ~LogWindow() = default;
    // The whole log text so far; replaces what the text box shows.
    virtual void showText(std::string_view text) = 0;
    // One new line with its CR LF: added at the end, and the text box scrolled to its last line.
    virtual void appendText(std::string_view line) = 0;
};

// The activity log: the log text (LogText), the window that shows it (LogWindow) and the
// debug output. Lines are written from the user-interface thread and from every watcher
// thread; an internal lock keeps each line whole and the window's text equal to the log
// text, whatever threads meet.
class ActivityLog {
public:
    // Writes one line. With the monitor's lock given, the lock is held for the whole
    // line and the line gets the watcher prefix "[*] ". While a window is open the
    // line and CR LF are appended to the log text and to the window; the line without
    // a line end always goes to the debug output. Lines written while no window is open
    // are not kept.
    void write(std::string_view message, std::mutex* lock);

    // The window opens: it is shown the whole log text and then gets every new line.
    void openWindow(LogWindow& window);
    // The window has ended: when this returns, the log no longer calls it. Ignored for
    // a window that is not the open one.
    void closeWindow(const LogWindow& window);

    // Where the copy of every line goes; none: nowhere.
    void setDebugOutput(std::shared_ptr<platform::DebugOutput> output);

    // A copy of the log text.
    std::string text() const;

private:
    mutable std::mutex m_mutex; // guards the members below; never held while waiting for the monitor's lock
    std::string m_text;
    LogWindow* m_window = nullptr;
    std::shared_ptr<platform::DebugOutput> m_debugOutput;
};

// The process's one activity log.
ActivityLog& activityLog();

// Writes one line to the process's activity log; lock is the monitor's lock (MonitorLock)
// for a watcher's line, none for a line of the user-interface thread.
void WriteLog(std::string_view message, std::mutex* lock = nullptr);

// A copy of the process's log text.
std::string LogText();

} // namespace quill::monitor
