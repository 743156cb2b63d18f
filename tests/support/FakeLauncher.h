#pragma once

#include "platform/Launcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quill::test {

// Records what would be started. A watched start's "program" ends when the test closes
// its end descriptor.
class FakeLauncher final : public platform::Launcher {
public:
    struct Start {
        std::string file, parameters;
        int showCommand;
        int end = -1; // a watched start's: closing it ends the started program
    };
    ~FakeLauncher() override {
        for (const auto& start : starts)
            if (start.end >= 0) ::close(start.end);
    }
    void ShellExecuteA(const std::string& file, const std::string& parameters, int showCommand) override {
        starts.push_back({file, parameters, showCommand});
    }
    int ShellExecuteWatched(const std::string& file, const std::string& parameters, int showCommand) override {
        ShellExecuteA(file, parameters, showCommand);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
        starts.back().end = ends[1];
        return ends[0];
    }
    // The watched start `index` says `said` (as the helper's outcome line) and ends.
    void End(std::size_t index, const std::string& said = "") {
        Start& start = starts.at(index);
        if (!said.empty()) {
            [[maybe_unused]] const ssize_t written = ::write(start.end, said.data(), said.size());
        }
        ::close(start.end);
        start.end = -1;
    }
    std::vector<Start> starts;
};

} // namespace quill::test
