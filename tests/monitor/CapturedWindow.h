#pragma once

#include "monitor/ActivityLog.h"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quill::monitor {

// The open "Printer Activities" window as the log sees it: keeps every line it is given.
class CapturedWindow : public LogWindow {
public:
    CapturedWindow() { activityLog().openWindow(*this); }
    ~CapturedWindow() override { activityLog().closeWindow(*this); }
    void showText(std::string_view) override {}
    void appendText(std::string_view line) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_text += line;
    }
    // The lines appended since the window opened, without their CR LF.
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<std::string> result;
        std::size_t start = 0;
        for (std::size_t end; (end = m_text.find("\r\n", start)) != std::string::npos; start = end + 2)
            result.push_back(m_text.substr(start, end - start));
        return result;
    }
    std::vector<std::string> watcherLines() const {
        std::vector<std::string> result;
        for (const std::string& line : lines())
            if (line.rfind("[*] ", 0) == 0) result.push_back(line);
        return result;
    }
    std::vector<std::string> interfaceLines() const {
        std::vector<std::string> result;
        for (const std::string& line : lines())
            if (line.rfind("[*] ", 0) != 0) result.push_back(line);
        return result;
    }
    // Waits (generously; this is no speed test) until the watchers have written count lines.
    bool waitForWatcherLines(std::size_t count) const {
        return waitFor([&] { return watcherLines().size() >= count; }, std::chrono::seconds(10));
    }
    // Waits until the condition holds; false when it did not within the bound.
    template <typename Condition> static bool waitFor(Condition condition, std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_text;
};

} // namespace quill::monitor
