// Cost of one activity log line while a window is open, with 10 lines in the log and with
// 100,000: the window is handed the new line only, so both figures should be alike. The
// window here copies each line, as a text box would take it. Prints nanoseconds per line
// (median of 5 runs of 10,000 lines).
#include "monitor/ActivityLog.h"
#include "monitor/FormatLogText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class CopyingWindow : public quill::monitor::LogWindow {
public:
    void showText(std::string_view text) override { m_last = text; }
    void appendText(std::string_view line) override { m_last = line; }

private:
    std::string m_last;
};

double nanosecondsPerLine(std::size_t linesBefore) {
    constexpr int kRuns = 5;
    constexpr int kLines = 10000;
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run) {
        quill::monitor::ActivityLog log;
        CopyingWindow window;
        log.openWindow(window);
        std::mutex lock;
        const std::string line = quill::monitor::FormatLogText(
            "[T] JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"%s\"", {"Quarterly report.pdf"});
        for (std::size_t i = 0; i < linesBefore; ++i) log.write(line, &lock);

        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i) log.write(line, &lock);
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        runs.push_back(elapsed.count() / kLines);
    }
    std::sort(runs.begin(), runs.end());
    return runs[kRuns / 2];
}

} // namespace

int main() {
    for (std::size_t before : {std::size_t{10}, std::size_t{100000}})
        std::printf("log of %zu lines: %.0f ns per line\n", before, nanosecondsPerLine(before));
    return 0;
}
