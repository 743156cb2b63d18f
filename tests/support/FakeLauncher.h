#pragma once

#include "platform/Launcher.h"

#include <string>
#include <vector>

namespace quill::test {

// Records what would be started.
class FakeLauncher final : public platform::Launcher {
public:
    struct Start {
        std::string file, parameters;
        int showCommand;
    };
    void ShellExecuteA(const std::string& file, const std::string& parameters, int showCommand) override {
        starts.push_back({file, parameters, showCommand});
    }
    std::vector<Start> starts;
};

} // namespace quill::test
